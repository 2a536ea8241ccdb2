// The session's window-free logic: settings mapping, request addresses, reply
// reading, the session's rules, the blink counter and the bridge's method names.
#include "client/session/AlertSession.h"
#include "client/session/LoginBridge.h"
#include "client/session/SessionRequests.h"
#include "client/session/SessionSettings.h"
#include "client/session/TrayBlink.h"
#include "common/HttpExchange.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

using namespace client;

namespace {

common::HttpResult reply(const QByteArray &body, bool ok = true)
{
    common::HttpResult r;
    r.ok = ok;
    r.status = 200;
    r.body = body;
    return r;
}

QByteArray xmlWith(const QByteArray &first)
{
    return "<?xml version=\"1.0\"?>\n<reply><answer>" + first + "</answer><x>9</x></reply>";
}

// What the session asked of the window, in order.
struct RecordingHost : SessionHost
{
    QStringList calls;
    void sendLogin(const QString &a) override { calls << "send login " + QUrl(a).query(); }
    void sendStatus(const QString &a) override
    {
        calls << "send status " + QUrl(a).query();
        if (failAtOnce)
            failAtOnce->statusAnswered(std::nullopt);
    }
    void dropLogin() override { calls << "drop login"; }
    void openLoginPage() override { calls << "open login page"; }
    void bindLoginPage() override { calls << "bind"; }
    void openAlertPage(const QString &, bool reload) override { calls << (reload ? "reload alert page" : "open alert page"); }
    void renewBrowser() override { calls << "new page"; }
    void setBrowserEnabled(bool on) override { calls << (on ? "enable" : "disable"); }
    void showBrowser() override { calls << "show box"; }
    void setLogoutVisible(bool on) override { calls << (on ? "show logout" : "hide logout"); }
    void setProfileVisible(bool on) override { calls << (on ? "show profile" : "hide profile"); }
    void blink() override { calls << "blink"; }
    void popUp(bool bringUp) override { calls << (bringUp ? "pop up" : "top right"); }
    void playSound() override { calls << "sound"; }
    void rememberAutoLogin() override { calls << "remember"; }

    // A status request that fails before sendStatus() returns.
    AlertSession *failAtOnce = nullptr;
};

// One event as the window would hand it to the session.
void deliver(AlertSession &session, RecordingHost &host, const QString &event)
{
    static const QHash<QString, LoginAnswer> answers = {
        {"login 1", LoginAnswer::Accepted}, {"login 0", LoginAnswer::Refused},
        {"login ERROR", LoginAnswer::ServerError}, {"login other", LoginAnswer::Other},
        {"login unreadable", LoginAnswer::Unreadable}};
    if (event == "auto-login") {
        session.preferences().AutoLog = 1;
        session.preferences().UserName = "ann";
        session.preferences().Password = "pw";
    } else if (event == "show login page" || event == "retry") {
        session.ShowLoginPage();
    } else if (event == "click") {
        session.Loguser({QString("bob"), QString("pw"), false});
    } else if (answers.contains(event)) {
        session.loginAnswered(answers.value(event));
    } else if (event == "tick") {
        session.alertcheck_Timer();
    } else if (event == "tick failing at once") {
        host.failAtOnce = &session;
        session.alertcheck_Timer();
        host.failAtOnce = nullptr;
    } else if (event == "status unreadable") {
        session.statusAnswered(std::nullopt);
    } else if (event.startsWith("status ")) {
        session.statusAnswered(std::int16_t(event.mid(7).toInt()));
    } else if (event == "login page loaded" || event == "alert page loaded") {
        session.pageLoaded(event.startsWith("login"), true);
    } else if (event == "renderer gone") {
        session.rendererGone();
    } else if (event == "stall") {
        session.pageStall_Timer();
    } else if (event == "logout") {
        session.Logout();
    } else if (event == "close") {
        session.close();
    } else {
        QFAIL(qPrintable("no such event: " + event));
    }
}

QString stateOf(const AlertSession &session)
{
    QStringList state{session.loggedIn() ? "in" : "out"};
    if (session.alertcheck()->isActive())
        state << "polling";
    if (session.loginFormReady())
        state << "form";
    if (session.loginRetry()->isActive())
        state << "retry";
    if (session.pageStall()->isActive())
        state << "watching";
    return state.join(' ');
}

} // namespace

class TestSessionLogic : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void settingsDefaultsAndPopupModeAlwaysOn();
    void settingsReadLeadingNumbers();
    void settingsWrittenAsTextAndReadBack();
    void loginAddressEncodesBothValues();
    void otherAddresses();
    void loginAnswers_data();
    void loginAnswers();
    void statusValues_data();
    void statusValues();
    void sessionInterleavings_data();
    void sessionInterleavings();
    void blinkCycleWhileHiddenAndStopWhenSeen();
    void bridgeMethodsMatchedWithoutCase();
};

void TestSessionLogic::settingsDefaultsAndPopupModeAlwaysOn()
{
    QTemporaryDir dir;
    QSettings store(dir.filePath("s.ini"), QSettings::IniFormat);
    openSettingsGroup(store);
    SessionPreferences p = readSettings(store);
    QCOMPARE(p.PopupMode, 1);
    QCOMPARE(p.AlertMode, 1);
    QCOMPARE(p.AudioAlert, 1);
    QCOMPARE(p.WindowOnTop, 1);
    QCOMPARE(p.Transparency, 100);
    QCOMPARE(p.AutoLog, 0);
    QCOMPARE(p.UserName, QString());
    QCOMPARE(p.Password, QString());

    store.setValue("POPUPMODE", "0");
    p = readSettings(store);
    QCOMPARE(p.PopupMode, 1);
}

void TestSessionLogic::settingsReadLeadingNumbers()
{
    QTemporaryDir dir;
    QSettings store(dir.filePath("s.ini"), QSettings::IniFormat);
    openSettingsGroup(store);
    store.setValue("ALERTMODE", "abc");     // no number: 0, not the default
    store.setValue("AUDIOALERT", " 1xyz");  // leading number after blanks
    store.setValue("WINDOWONTOP", "0.5");   // halves to even
    store.setValue("TRANSPARENCY", "99999"); // out of 16-bit range reads as 0
    store.setValue("AUTOLOG", "1.5");
    store.setValue("USERNAME", "  keeps blanks ");
    const SessionPreferences p = readSettings(store);
    QCOMPARE(p.AlertMode, 0);
    QCOMPARE(p.AudioAlert, 1);
    QCOMPARE(p.WindowOnTop, 0);
    QCOMPARE(p.Transparency, 0);
    QCOMPARE(p.AutoLog, 2);
    QCOMPARE(p.UserName, QString("  keeps blanks "));
}

void TestSessionLogic::settingsWrittenAsTextAndReadBack()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    SessionPreferences p;
    p.PopupMode = 0;
    p.AlertMode = 0;
    p.AudioAlert = 1;
    p.WindowOnTop = 0;
    p.Transparency = 40;
    p.AutoLog = 1;
    p.UserName = QString::fromUtf8("Zoë & co");
    p.Password = "p=w#d 1";
    {
        QSettings store(path, QSettings::IniFormat);
        openSettingsGroup(store);
        writeSettings(store, p);
    }
    QSettings store(path, QSettings::IniFormat);
    openSettingsGroup(store);
    const QStringList keys = store.childKeys();
    QCOMPARE(keys.size(), 8);
    for (const QString &key : keys)
        QCOMPARE(store.value(key).typeId(), QMetaType::QString);
    QCOMPARE(store.value("POPUPMODE").toString(), QString("0"));
    QCOMPARE(store.value("TRANSPARENCY").toString(), QString("40"));
    const SessionPreferences back = readSettings(store);
    QCOMPARE(back.PopupMode, 1);
    QCOMPARE(back.AlertMode, 0);
    QCOMPARE(back.WindowOnTop, 0);
    QCOMPARE(back.Transparency, 40);
    QCOMPARE(back.AutoLog, 1);
    QCOMPARE(back.UserName, p.UserName);
    QCOMPARE(back.Password, p.Password);
}

void TestSessionLogic::loginAddressEncodesBothValues()
{
    QCOMPARE(loginAddress("http://h:1", QString::fromUtf8("a&b=c #é"), QString::fromUtf8("p&w=d#x y€")),
             QString("http://h:1/alertsystem/login.php?username=a%26b%3Dc+%23%C3%A9"
                     "&password=p%26w%3Dd%23x+y%E2%82%AC"));
    // The base is used unchanged, a trailing "/" included.
    QCOMPARE(loginAddress("http://h/", "", ""), QString("http://h//alertsystem/login.php?username=&password="));
}

void TestSessionLogic::otherAddresses()
{
    QCOMPARE(statusAddress("http://h:1", "a b&c"), QString("http://h:1/alertsystem/status.php?username=a+b%26c"));
    QCOMPARE(alertPageAddress("http://h/alerts.php", "12072026043325", "a b&c"),
             QString("http://h/alerts.php?_vartime=12072026043325&username=a+b%26c"));
    QCOMPARE(profileAddress("http://h/profile.php", QString::fromUtf8("Zoë=1")),
             QString("http://h/profile.php?id=Zo%C3%AB%3D1"));
}

void TestSessionLogic::loginAnswers_data()
{
    QTest::addColumn<common::HttpResult>("result");
    QTest::addColumn<int>("answer");
    QTest::newRow("accepted") << reply(xmlWith("1")) << int(LoginAnswer::Accepted);
    QTest::newRow("refused") << reply(xmlWith("0")) << int(LoginAnswer::Refused);
    QTest::newRow("error") << reply(xmlWith("ERROR")) << int(LoginAnswer::ServerError);
    QTest::newRow("lower-case error is no known word") << reply(xmlWith("error")) << int(LoginAnswer::Other);
    QTest::newRow("blank around 1 is compared exactly") << reply(xmlWith(" 1")) << int(LoginAnswer::Other);
    QTest::newRow("root without children") << reply("<?xml version=\"1.0\"?><r/>") << int(LoginAnswer::Other);
    QTest::newRow("no declaration: no second node")
        << reply("<r><a>1</a></r>") << int(LoginAnswer::Other);
    QTest::newRow("not xml") << reply("<html>500 oops") << int(LoginAnswer::Unreadable);
    QTest::newRow("transport failure") << reply(xmlWith("1"), false) << int(LoginAnswer::Unreadable);
}

void TestSessionLogic::loginAnswers()
{
    QFETCH(common::HttpResult, result);
    QFETCH(int, answer);
    QCOMPARE(int(readLoginAnswer(result)), answer);
}

void TestSessionLogic::statusValues_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("status"); // -1: unreadable
    QTest::newRow("alert") << xmlWith("1") << true << 1;
    QTest::newRow("logged out") << xmlWith("2") << true << 2;
    QTest::newRow("1 then letters") << xmlWith("1abc") << true << 1;
    QTest::newRow("letters") << xmlWith("abc") << true << 0;
    QTest::newRow("empty") << xmlWith("") << true << 0;
    QTest::newRow("1.5 rounds to 2") << xmlWith("1.5") << true << 2;
    QTest::newRow("out of range") << xmlWith("70000") << true << 0;
    QTest::newRow("not xml") << QByteArray("1") << true << -1;
    QTest::newRow("failed") << xmlWith("1") << false << -1;
}

void TestSessionLogic::statusValues()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(int, status);
    const std::optional<std::int16_t> read = readStatus(reply(body, ok));
    QCOMPARE(read.has_value(), status != -1);
    if (read)
        QCOMPARE(int(*read), status);
}

void TestSessionLogic::sessionInterleavings_data()
{
    // Events whose effects are not compared, then the events, what the window
    // was asked meanwhile, and the state after them.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("state");
    const QStringList bound{"bind", "hide logout", "enable"};
    const QStringList loggedIn{"click", "login 1", "tick"}; // a status request is out

    QTest::newRow("login accepted")
        << QStringList{"click"} << QStringList{"login 1"}
        << QStringList{"enable", "remember", "open alert page", "show box", "show profile"} << "in polling";
    QTest::newRow("refused: the form again")
        << QStringList{"auto-login", "show login page"} << QStringList{"login 0", "login page loaded"}
        << QStringList{"open login page"} + bound << "out form";
    QTest::newRow("ERROR keeps the page")
        << QStringList{"show login page", "login page loaded", "click"} << QStringList{"login ERROR"}
        << QStringList{"enable"} << "out form";
    QTest::newRow("unknown answer: the form again")
        << QStringList{"click"} << QStringList{"login other", "login page loaded"}
        << QStringList{"enable", "open login page"} + bound << "out form";
    QTest::newRow("unreadable automatic login: tried again after a pause")
        << QStringList{"auto-login", "show login page"} << QStringList{"login unreadable"}
        << QStringList{"enable"} << "out retry";
    QTest::newRow("status 1") << loggedIn << QStringList{"status 1"}
                              << QStringList{"blink", "reload alert page", "pop up", "sound"} << "in polling";
    QTest::newRow("unreadable status: next poll") << loggedIn << QStringList{"status unreadable"}
                                                 << QStringList{} << "in polling";
    QTest::newRow("a poll failing on the spot: next poll")
        << QStringList{"click", "login 1"} << QStringList{"tick failing at once"}
        << QStringList{"send status username=bob"} << "in polling";
    QTest::newRow("status 2 while the alert page loads")
        << loggedIn << QStringList{"status 2", "login page loaded"} << QStringList{"open login page"} + bound
        << "out form";
    QTest::newRow("the alert page's late report does not bind")
        << loggedIn + QStringList{"status 2"} << QStringList{"alert page loaded"} << QStringList{}
        << "out watching";
    QTest::newRow("status 2 with automatic login: logs in at once")
        << QStringList{"auto-login", "show login page", "login 1", "tick"} << QStringList{"status 2"}
        << QStringList{"send login username=ann&password=pw"} << "in";
    QTest::newRow("logout while a status request is out")
        << QStringList{"auto-login", "show login page", "login 1", "tick"} << QStringList{"logout", "status 1"}
        << QStringList{"open login page"} << "out watching";
    QTest::newRow("logout between polls: one more poll, its reply dropped")
        << QStringList{"auto-login", "show login page", "login 1", "tick", "status 0"}
        << QStringList{"logout", "login page loaded", "tick", "status 1"}
        << QStringList{"open login page"} + bound + QStringList{"send status username="} << "out form";
    QTest::newRow("logout while an automatic login is out")
        << QStringList{"auto-login", "show login page"} << QStringList{"logout", "login 1"}
        << QStringList{"drop login", "open login page"} << "out watching";
    QTest::newRow("every load of the login page is bound")
        << QStringList{"show login page"} << QStringList{"logout", "login page loaded", "login page loaded"}
        << QStringList{"open login page"} + bound + bound << "out form";
    QTest::newRow("close while the login page loads")
        << QStringList{"show login page"} << QStringList{"close", "login page loaded", "tick", "renderer gone"}
        << QStringList{} << "out";
    QTest::newRow("renderer gone while the login page loads")
        << QStringList{"show login page"} << QStringList{"renderer gone", "login page loaded"}
        << QStringList{"new page", "open login page"} + bound << "out form";
    QTest::newRow("renderer gone again before a page loaded: next try after the stall bound")
        << QStringList{"show login page", "renderer gone"} << QStringList{"renderer gone", "stall", "login page loaded"}
        << QStringList{"new page", "new page", "open login page"} + bound << "out form";
    QTest::newRow("renderer gone under the alert page")
        << QStringList{"click", "login 1"} << QStringList{"renderer gone", "alert page loaded"}
        << QStringList{"new page", "open alert page"} << "in polling";
    QTest::newRow("a login page that never loads is opened again on a new page")
        << QStringList{"show login page"} << QStringList{"stall", "login page loaded"}
        << QStringList{"new page", "open login page"} + bound << "out form";
}

void TestSessionLogic::sessionInterleavings()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, events);
    QFETCH(QStringList, calls);
    QFETCH(QString, state);
    RecordingHost host;
    AlertSession session(host, {"http://h", "http://h/alerts.php", [] { return QDateTime::currentDateTime(); }});
    for (const QString &event : before)
        deliver(session, host, event);
    host.calls.clear();
    for (const QString &event : events)
        deliver(session, host, event);
    QCOMPARE(host.calls, calls);
    QCOMPARE(stateOf(session), state);
}

void TestSessionLogic::blinkCycleWhileHiddenAndStopWhenSeen()
{
    using F = TrayBlink::Frame;
    TrayBlink blink;
    blink.start();
    QList<F> frames;
    for (int i = 0; i < 10; ++i)
        frames << blink.tick(true);
    QCOMPARE(frames, (QList<F>{F::Image2, F::Image1, F::Image2, F::Image1, F::Image2, F::Image1, F::Image2,
                                F::Image1, F::Image2, F::Image1}));
    // Check tick while hidden: a new cycle, no picture change.
    QCOMPARE(blink.tick(true), F::Unchanged);
    QVERIFY(blink.isRunning());
    QCOMPARE(blink.tick(false), F::Image2); // counter restarted at 1
    for (int i = 0; i < 9; ++i)
        blink.tick(false);
    // The window is in sight at the check tick: back to rest, blinking over.
    QCOMPARE(blink.tick(false), F::Rest);
    QVERIFY(!blink.isRunning());
    QCOMPARE(blink.counter(), 21);

    // A restart begins at the first frame again.
    blink.start();
    QCOMPARE(blink.tick(false), F::Image2);
}

void TestSessionLogic::bridgeMethodsMatchedWithoutCase()
{
    QCOMPARE(LoginBridge::resolveMethod("LogUser"), QString("Loguser"));
    QCOMPARE(LoginBridge::resolveMethod("SUBREGISTER"), QString("subRegister"));
    QCOMPARE(LoginBridge::resolveMethod("subgetpassword"), QString("subGetpassword"));
    // Nothing else of the object is reachable by name.
    QCOMPARE(LoginBridge::resolveMethod("deleteLater"), QString());
    QCOMPARE(LoginBridge::resolveMethod("SendLogin"), QString());
    QCOMPARE(LoginBridge::resolveMethod(""), QString());

    // Calls are refused while the gate is closed, and reach the window while open.
    bool open = false;
    QStringList calls;
    LoginBridge bridge({[&](const QString &x) { calls << "login:" + x; },
                        [&](const QString &x) { calls << "register:" + x; },
                        [&](const QString &x) { calls << "password:" + x; }, [&] { return open; }});
    bridge.Loguser("x");
    QVERIFY(calls.isEmpty());
    open = true;
    bridge.Loguser("x");
    bridge.subRegister("x");
    bridge.subGetpassword("x");
    QCOMPARE(calls, (QStringList{"login:x", "register:x", "password:x"}));
}

QTEST_GUILESS_MAIN(TestSessionLogic)
#include "tst_sessionlogic.moc"
