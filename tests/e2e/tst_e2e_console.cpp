// The publisher console end to end: the built alertserver with two users, the
// built tarvex logged in as one of them, and the console's pages in a browser
// engine page. An administrator signs in, picks both users, sends an
// emergency; the client pops up, its user acknowledges on the alert page, and
// the console's row for that user turns acknowledged while the other's stays
// open.
#include "support/ClientLogin.h"
#include "support/ConsoleDriver.h"
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ServerProcess.h"
#include "support/X11Windows.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QtTest>

#include <optional>

using namespace testsupport;

namespace {

const QString kTitle = QStringLiteral("Console E2E");
const QString kWindowClass = QStringLiteral("ThunderRT6FormDC");
// The server's default skin: a 320 x 300 window with the browser box at (6, 36).
const QSize kWindowSize(320, 300);
const QPoint kBrowserBox(6, 36);
const QByteArray kAcknowledge = "/alertsystem/acknowledge.php";
const QString kText = QStringLiteral("Evacuate building B <b>now</b>");
const QString kMarkupName = QStringLiteral("<img src=x onerror=\"document.title='owned'\">");

} // namespace

class TestConsoleEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void sendThroughTheConsoleAndWatchItAcknowledged();
    void tokensAndSignOut();

private:
    std::optional<X11Window> clientWindow() const { return viewableX11Window(kWindowClass, kTitle); }
    bool acknowledgeOnTheAlertPage();
    QString receipt(const QString &user, const QString &column);

    QTemporaryDir m_serverDir;
    QTemporaryDir m_install;
    QTemporaryDir m_home;
    std::unique_ptr<ServerProcess> m_server;
    QProcess m_client;
    QSize m_screen;
    QWebEngineProfile *m_profile = nullptr;
    QWebEnginePage *m_page = nullptr;
};

void TestConsoleEndToEnd::initTestCase()
{
    m_screen = x11ScreenSize();
    if (m_screen.isEmpty())
        QSKIP("needs an X display (runs under Xvfb through CTest)");

    m_server = std::make_unique<ServerProcess>(m_serverDir.path());
    QVERIFY(m_server->start());
    QCOMPARE(m_server->command({"seed-admin", "boss", "long secret", "boss@example.com"}).exitCode, 0);
    QCOMPARE(m_server->command({"add-user", "boss", "ann", "ann pw", "--first", "Ann"}).exitCode, 0);
    // Markup in a user's details stays text in the console's list.
    QCOMPARE(m_server->command({"add-user", "boss", "bob", "bob pw", "--last", kMarkupName}).exitCode, 0);

    QVERIFY(startCopiedClient(m_client, m_install.path(), m_home.path(), kTitle, m_server->baseUrl()));
    QTRY_VERIFY_WITH_TIMEOUT(clientWindow().has_value(), patient(40000));
    QVERIFY(logInThroughThePage(*m_server, [this] { return clientWindow(); }, kBrowserBox, "ann", "ann pw", false));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor("/alertsystem/status.php") >= 1, patient(10000));

    // A profile of its own that keeps nothing on disk: the session cookie dies with it.
    m_profile = new QWebEngineProfile(this);
    m_page = new QWebEnginePage(m_profile, this);
}

void TestConsoleEndToEnd::cleanupTestCase()
{
    delete m_page;
    endProgram(m_client);
}

QString TestConsoleEndToEnd::receipt(const QString &user, const QString &column)
{
    return ConsoleDriver(*m_page)
        .text(QStringLiteral("#receipts tr[data-user=%1] td.%2").arg(ConsoleDriver::literal(user), column))
        .value_or(QStringLiteral("(no row)"));
}

// A keyboard user's acknowledgement: a click on the page's header, Tab to
// the alert's only button, Return. The page may still be loading when the
// window comes up, which loses the keys, so they are sent again until the
// form reaches the server.
bool TestConsoleEndToEnd::acknowledgeOnTheAlertPage()
{
    const int mark = int(m_server->requests().size());
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::optional<X11Window> w = clientWindow();
        if (!w)
            return false;
        const QPoint spot = w->geometry.topLeft() + kBrowserBox + QPoint(250, 6);
        if (!xdotool({"mousemove", QString::number(spot.x()), QString::number(spot.y()), "click", "1"})
            || !xdotool({"key", "Tab", "Return"}))
            return false;
        if (QTest::qWaitFor([&] { return m_server->countFor(kAcknowledge, mark) > 0; }, patient(6000)))
            return m_server->requestsFor(kAcknowledge, mark).constFirst().status == 303;
        qInfo("the alert page was not ready; pressing again (attempt %d)", attempt + 2);
    }
    return false;
}

void TestConsoleEndToEnd::sendThroughTheConsoleAndWatchItAcknowledged()
{
    ConsoleDriver console(*m_page);
    QVERIFY(console.open(QUrl(m_server->baseUrl() + "/console/")));
    QVERIFY2(console.signIn("boss", "long secret"), qPrintable(console.errorLine()));

    // Two users picked from the searched list, an emergency, and the count
    // of the text's bytes as it is typed.
    QVERIFY(console.pickUser("ann"));
    QVERIFY(console.pickUser("bob"));
    QCOMPARE(console.text("#picked"), QStringLiteral("ann, bob"));
    const QString listed = console.text("#users li").value_or(QString());
    QVERIFY2(listed.contains(kMarkupName), qPrintable(listed));
    QVERIFY(console.evaluate("!document.querySelector('img') && document.title === 'Alert console'").value_or(false).toBool());
    QVERIFY(console.fill("#text", kText));
    QCOMPARE(console.text("#count"), QString::number(kText.toUtf8().size()));
    QVERIFY(console.fill("#priority", "emergency"));

    // The client away from its corner first, so that coming back is the alert's doing.
    const std::optional<X11Window> before = clientWindow();
    QVERIFY(before);
    QVERIFY(xdotool({"windowmove", QString::number(before->id), "100", "300"}));
    QTRY_COMPARE_WITH_TIMEOUT(clientWindow().value_or(X11Window()).geometry.topLeft(), QPoint(100, 300), patient(5000));

    QVERIFY(console.click("#send"));
    // The alert's own view with a row per recipient; the text shown as typed.
    QVERIFY2(console.waitUntil("!document.getElementById('alert').hidden && "
                               "document.querySelectorAll('#receipts tr').length === 2"),
             qPrintable(console.errorLine()));
    QCOMPARE(console.text("#alert-text"), kText);
    QCOMPARE(console.text("#alert-priority"), QStringLiteral("EMERGENCY"));
    QCOMPARE(receipt("ann", "acknowledged"), QStringLiteral("\u2014"));

    // The client pops up at the top-right with the alert page.
    QTRY_COMPARE_WITH_TIMEOUT(clientWindow().value_or(X11Window()).geometry,
                              QRect(QPoint(m_screen.width() - kWindowSize.width(), 0), kWindowSize), patient(10000));
    QVERIFY(console.waitUntil("document.querySelector('#receipts tr[data-user=\"ann\"] td.shown:not(.none)')"));
    QVERIFY(acknowledgeOnTheAlertPage());

    // The console's view refreshes by itself: ann's row turns acknowledged, bob's stays open.
    QVERIFY(console.waitUntil("document.querySelector('#receipts tr[data-user=\"ann\"].acknowledged')"));
    QVERIFY(receipt("ann", "acknowledged") != QStringLiteral("\u2014"));
    QCOMPARE(receipt("bob", "acknowledged"), QStringLiteral("\u2014"));
    QCOMPARE(receipt("bob", "shown"), QStringLiteral("\u2014"));

    // The list of recent alerts counts the same.
    QVERIFY(console.click("nav a[href='#alerts']"));
    QVERIFY(console.waitUntil("document.querySelector('#alerts-rows tr[data-id] td.acknowledged')"));
    QCOMPARE(console.text("#alerts-rows tr[data-id] td.acknowledged"), QStringLiteral("1"));
    QCOMPARE(console.text("#alerts-rows tr[data-id] td.shown"), QStringLiteral("1"));
    QVERIFY(console.evaluate("!document.querySelector('main b, main img')").value_or(false).toBool());
    QCOMPARE(console.errorLine(), QString());
}

// A token made in the console asks the password again and is shown once;
// it works as the command line's do, and the console revokes it. Signing out
// ends the session: a reload asks to sign in again.
void TestConsoleEndToEnd::tokensAndSignOut()
{
    ConsoleDriver console(*m_page);
    QVERIFY(console.click("nav a[href='#tokens']"));
    QVERIFY(console.fill("#token-label", "monitoring"));
    QVERIFY(console.fill("#token-password", "not it"));
    QVERIFY(console.click("#token-form button[type=submit]"));
    QVERIFY(console.waitUntil("!document.getElementById('error').hidden"));
    QVERIFY(!m_server->command({"token", "list", "boss"}).out.contains("monitoring"));
    QVERIFY(console.fill("#token-password", "long secret"));
    QVERIFY(console.click("#token-form button[type=submit]"));
    QVERIFY(console.waitUntil("document.getElementById('token-value').value.length === 43 && "
                              "document.querySelector('#token-rows tr[data-label=\"monitoring\"]')"));
    QCOMPARE(console.evaluate("document.getElementById('token-password').value").value_or(QVariant()).toString(),
             QString());
    QCOMPARE(console.text("#token-rows tr[data-label=\"monitoring\"] td:nth-child(4)"), QStringLiteral("never"));
    QVERIFY(m_server->command({"token", "list", "boss"}).out.contains("monitoring"));

    // Revoking takes a second press.
    const QString revoke = QStringLiteral("#token-rows tr[data-label=\"monitoring\"] button");
    QVERIFY(console.click(revoke));
    QCOMPARE(console.text(revoke), QStringLiteral("Press again to revoke"));
    QVERIFY(console.click(revoke));
    QVERIFY(console.waitUntil("!document.querySelector('#token-rows tr[data-label=\"monitoring\"]')"));
    QVERIFY(!m_server->command({"token", "list", "boss"}).out.contains("monitoring"));

    QVERIFY(console.click("#signout"));
    QVERIFY(console.waitUntil("!document.getElementById('signin').hidden && document.getElementById('nav').hidden"));
    // Every route of the interface refuses the page now, whatever it asks.
    console.evaluate("window.probe = null; Promise.all(['GET users', 'GET alerts', 'GET alerts/1', 'GET tokens', "
                     "'POST alerts', 'POST tokens', 'POST tokens/revoke', 'POST signout'].map(function (m) {"
                     "  var post = m.indexOf('POST') === 0;"
                     "  return fetch('api/' + m.split(' ')[1], {method: post ? 'POST' : 'GET', credentials: 'same-origin',"
                     "    headers: post ? {'Content-Type': 'application/json', 'X-CSRF-Token': 'stale'} : {},"
                     "    body: post ? '{\"label\": \"x\", \"text\": \"x\", \"all\": true}' : undefined})"
                     "    .then(function (r) { return r.status; });"
                     "})).then(function (s) { window.probe = s.join(' '); });");
    QVERIFY(console.waitUntil("window.probe"));
    QCOMPARE(console.evaluate("window.probe").value_or(QVariant()).toString(),
             QStringLiteral("401 401 401 401 401 401 401 401"));
    QVERIFY(console.reload());
    QVERIFY(console.waitUntil("!document.getElementById('signin').hidden"));
    QCOMPARE(console.errorLine(), QString());
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    TestConsoleEndToEnd test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_console.moc"
