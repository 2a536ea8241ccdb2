// Sends an alert through the alert console as an administrator would, in a
// browser engine window, for the demo: signs in, picks the users, types the
// text, and after sending stays on the alert's receipts until every recipient
// has been shown it. With --shots DIR it saves the window while composing and
// once the receipts say shown.
//   console_drive BASE NAME PASSWORD TEXT [--user NAME]... [--priority P] [--shots DIR]
// Exits 0 when all went through, 1 with the step that failed.

#include "ConsoleDriver.h"
#include "Patience.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QScreen>
#include <QTest>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <cstdio>

namespace {

// Waits for the page's next frames to be drawn, so that a screenshot shows
// what the page now holds.
bool drawn(testsupport::ConsoleDriver &console)
{
    console.evaluate("window.consoleDrawn=false;requestAnimationFrame(function(){"
                     "requestAnimationFrame(function(){window.consoleDrawn=true;});});");
    const bool ok = console.waitUntil("window.consoleDrawn");
    QTest::qWait(testsupport::patient(200)); // the frame's way to the X server
    return ok;
}

bool shoot(testsupport::ConsoleDriver &console, QWebEngineView &view, const QString &dir, const QString &name)
{
    if (dir.isEmpty())
        return true;
    if (!drawn(console))
        return false;
    const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
    const bool ok = view.screen()->grabWindow(view.winId()).save(path);
    if (ok)
        std::printf("demo: screenshot %s\n", qPrintable(path));
    return ok;
}

int fail(const char *step, testsupport::ConsoleDriver &console)
{
    std::fprintf(stderr, "console_drive: %s failed%s%s\n", step, console.errorLine().isEmpty() ? "" : ": ",
                 qPrintable(console.errorLine()));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument("base", "the server's address");
    parser.addPositionalArgument("name", "the administrator");
    parser.addPositionalArgument("password", "the administrator's password");
    parser.addPositionalArgument("text", "the alert's text");
    parser.addOption({"user", "a recipient (repeatable)", "name"});
    parser.addOption({"priority", "normal, high or emergency", "priority", "normal"});
    parser.addOption({"shots", "the folder for the screenshots", "dir"});
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 4 || parser.values("user").isEmpty()) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }
    const QString shots = parser.value("shots");

    QWebEngineProfile profile; // off the record: nothing stays on disk
    QWebEngineView view;
    QWebEnginePage *page = new QWebEnginePage(&profile, &view);
    view.setPage(page);
    view.setWindowTitle(QStringLiteral("Alert console"));
    view.resize(920, 720); // clear of the client at the top-right of the demo's 1280-wide screen
    view.move(20, 40);
    view.show();

    testsupport::ConsoleDriver console(*page);
    if (!console.open(QUrl(args.at(0) + QStringLiteral("/console/"))))
        return fail("loading the console", console);
    if (!console.signIn(args.at(1), args.at(2)))
        return fail("signing in", console);
    for (const QString &user : parser.values("user"))
        if (!console.pickUser(user))
            return fail("picking a user", console);
    if (!console.fill("#text", args.at(3)) || !console.fill("#priority", parser.value("priority")))
        return fail("composing", console);
    if (!shoot(console, view, shots, QStringLiteral("5-console-composing")))
        return fail("the composing screenshot", console);
    if (!console.click("#send")
        || !console.waitUntil("!document.getElementById('alert').hidden && "
                              "document.querySelector('#receipts tr')"))
        return fail("sending", console);
    std::printf("demo: alert sent through the console (%s)\n",
                qPrintable(console.text("#alert-id").value_or(QString())));
    std::fflush(stdout);
    // The view refreshes itself; the client shows the alert within a poll or two.
    if (!console.waitUntil("document.querySelectorAll('#receipts td.shown.none').length === 0", 30000))
        return fail("waiting for the receipts", console);
    if (!shoot(console, view, shots, QStringLiteral("6-console-receipts")))
        return fail("the receipts screenshot", console);
    delete page;
    return 0;
}
