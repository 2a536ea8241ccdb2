#include "ClientLogin.h"

#include "Patience.h"

#include <QTest>

namespace testsupport {

namespace {

const QByteArray kLogin = "/alertsystem/login.php";

bool typeLogin(const X11Window &w, QPoint browserBox, const QString &user, const QString &password, bool remember)
{
    const QPoint spot = w.geometry.topLeft() + browserBox + QPoint(250, 6);
    bool ok = xdotool({"mousemove", QString::number(spot.x()), QString::number(spot.y()), "click", "1"});
    ok = ok && xdotool({"key", "Tab", "ctrl+a"}) && xdotool({"type", "--delay", "10", user});
    ok = ok && xdotool({"key", "Tab", "ctrl+a"}) && xdotool({"type", "--delay", "10", password});
    ok = ok && xdotool({"key", "Tab"});
    if (remember)
        ok = ok && xdotool({"key", "space"});
    return ok && xdotool({"key", "Tab", "Return"});
}

} // namespace

bool logInThroughThePage(ServerProcess &server, const std::function<std::optional<X11Window>()> &window,
                         QPoint browserBox, const QString &user, const QString &password, bool remember)
{
    const int mark = int(server.requests().size());
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0)
            qInfo("the login page was not ready; typing again (attempt %d)", attempt + 1);
        const std::optional<X11Window> w = window();
        if (!w || !typeLogin(*w, browserBox, user, password, remember))
            return false;
        if (QTest::qWaitFor([&] { return server.countFor(kLogin, mark) > 0; }, patient(6000)))
            return server.requestsFor(kLogin, mark).size() == 1;
    }
    return false;
}

} // namespace testsupport
