// The session's window-free logic: settings mapping, request addresses, reply
// reading, the blink counter and the bridge's method names.
#include "client/session/LoginBridge.h"
#include "client/session/SessionRequests.h"
#include "client/session/SessionSettings.h"
#include "client/session/TrayBlink.h"
#include "common/HttpExchange.h"

#include <QSettings>
#include <QTemporaryDir>
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
