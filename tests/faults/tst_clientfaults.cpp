// The client against a scripted server that misbehaves: polling goes on
// through every fault (the main window in this process, at short intervals)
// with bounded memory and the settings intact (the installed program as a
// process), and a start-up that meets a fault ends silently.
#include "FaultFixture.h"
#include "support/Patience.h"

#include "client_session/SessionFixture.h"
#include "client_startup/SkinFixture.h"

#include <QTemporaryDir>

#include <csignal>

using namespace faulttest;
using testsupport::ScriptedServer;

class TestClientFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pollingSurvivesEveryFault();
    void hugeReplyLeavesTheProcessBounded();
    void startupEndsSilently_data();
    void startupEndsSilently();
};

namespace {

const QByteArray kSkinPath = "/alertsystem/notifytype.php";
const QByteArray kLoginPath = "/alertsystem/login.php";
const QByteArray kStatusPath = "/alertsystem/status.php";
const QByteArray kAlertPath = "/alertsystem/alerts.php";
const QByteArray kSettings = "[Settings]\nAUTOLOG=1\nUSERNAME=fault user\nPASSWORD=pw\nALERTMODE=1\nAUDIOALERT=0\n";

// The client installed in a folder of its own, its settings in another, and
// a scripted server that serves a whole skin and accepts the login.
struct ClientRun
{
    QTemporaryDir install;
    QTemporaryDir home;
    ScriptedServer server;
    QProcess client;

    bool prepare()
    {
        if (!server.listen() || !copyFolder(QStringLiteral(TVX_BUILD_DIR "/tarvex"), install.path()))
            return false;
        QStringList skin = skinfixture::skinChildren();
        skin[11] = server.baseUrl() + "/alertsystem/alerts.php";
        server.setReply(kSkinPath, ScriptedReply::xmlChildren(skin));
        const skinfixture::SkinPaths paths;
        for (const QString &path : {paths.close, paths.menu, paths.background, paths.icon, paths.page})
            server.setReply(("/" + path).toUtf8(), ScriptedReply::picture(skinfixture::png(Qt::darkCyan), "image/png"));
        server.setReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
        server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
        server.setReply(kAlertPath, ScriptedReply::html("<html><body>alerts</body></html>"));
        return writeFile(install.filePath("system.xml"),
                         "<?xml version=\"1.0\"?>\n<c><t>Fault Client</t><s>" + server.baseUrl().toUtf8()
                             + "</s><i>1</i></c>\n")
            && writeFile(settingsPath(), kSettings);
    }

    QString settingsPath() const { return home.filePath("config/Tarvex Vantorel.conf"); }

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("XDG_CACHE_HOME", home.filePath("cache"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        client.setProcessEnvironment(env);
        client.setProgram(install.filePath("tarvex"));
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start();
        return client.waitForStarted();
    }

    ~ClientRun()
    {
        if (client.state() == QProcess::NotRunning)
            return;
        client.terminate();
        if (!client.waitForFinished(testsupport::patient(15000)))
            client.kill();
        client.waitForFinished(testsupport::patient(5000));
    }
};

} // namespace

// The main window in this process, at short intervals and a 1 s request
// deadline: every fault is answered by the next poll.
void TestClientFaults::pollingSurvivesEveryFault()
{
    sessiontest::clearSettings();
    sessiontest::storeSettings({{"AUTOLOG", "1"}, {"USERNAME", "fault user"}, {"PASSWORD", "pw"},
                                {"ALERTMODE", "1"}, {"AUDIOALERT", "0"}});
    sessiontest::Session s;
    s.desktop.requestTimeoutMs = 1000;
    const int poll = s.desktop.pollMs;
    ScriptedServer &server = s.server;
    server.setReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
    server.setReply(kAlertPath, ScriptedReply::html("<html><body>alerts</body></html>"));
    QVERIFY(s.start());
    // Polling, and the login's alert page requested (it may come after polls).
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kStatusPath) >= 2 && server.countFor(kAlertPath) == 1,
                             testsupport::patient(20000));

    // The faulty reply answers the next poll; the poll after it must come.
    auto survives = [&](const char *what, const ScriptedReply &fault) {
        const int before = server.countFor(kStatusPath);
        server.queueReply(kStatusPath, fault);
        if (!QTest::qWaitFor([&] { return server.countFor(kStatusPath) >= before + 2; },
                             testsupport::patient(10000))) {
            qWarning("no poll after the fault: %s", what);
            return false;
        }
        return s.form->loggedIn();
    };
    const ScriptedReply zero = ScriptedReply::xmlChildren({"0"});
    const int pagesBefore = server.countFor(kAlertPath);
    // Half an alert is no alert.
    QVERIFY(survives("cut mid-body", cutWhereItStillParses(ScriptedReply::xmlChildren({"1"}))));
    QCOMPARE(server.countFor(kAlertPath), pagesBefore);
    QVERIFY(survives("reset after the head", zero.as(ScriptedReply::Kind::ResetAfterHead)));
    QVERIFY(survives("deeply nested XML", ScriptedReply::xml(deeplyNestedXml())));

    // Dripping in: the poll gives up at its deadline, not when the last byte
    // would come, and the next one follows.
    const int dripped = server.countFor(kStatusPath);
    ScriptedReply drip = zero.as(ScriptedReply::Kind::Drip);
    drip.dripIntervalMs = 200;
    QVERIFY(survives("a byte every 200 ms", drip));
    // From the reply before it: a poll interval, the whole deadline (a coarse
    // timer, up to 5 % early) and a poll interval at least; and the next poll
    // long before the dripping reply could have ended.
    const QList<testsupport::RecordedRequest> polls = server.requestsFor(kStatusPath);
    const qint64 sincePrevious = polls.at(dripped + 1).arrivedMs - polls.at(dripped - 1).answeredMs;
    const qint64 sinceDrip = polls.at(dripped + 1).arrivedMs - polls.at(dripped).arrivedMs;
    QVERIFY2(sincePrevious >= 950 + 2 * poll - 5, qPrintable(QString::number(sincePrevious)));
    QVERIFY2(sinceDrip < drip.body.size() * drip.dripIntervalMs, qPrintable(QString::number(sinceDrip)));

    // The server goes away between two polls and comes back on the same port.
    const quint16 port = server.port();
    server.close();
    QTest::qWait(testsupport::patient(4 * poll));
    QVERIFY(s.form->loggedIn());
    const int beforeReturn = server.countFor(kStatusPath);
    QVERIFY(server.listen(port));
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kStatusPath) > beforeReturn, testsupport::patient(5000));

    // Still a working client: an alert brings the alert page.
    const int pages = server.countFor(kAlertPath);
    server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"1"}));
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kAlertPath) > pages, testsupport::patient(5000));
    QCOMPARE(server.countFor(kLoginPath), 1);

    // No settings key was lost on the way.
    s.form->close();
    const QHash<QString, QString> stored = sessiontest::storedSettingsText();
    QCOMPARE(stored.value("AUTOLOG"), QString("1"));
    QCOMPARE(stored.value("USERNAME"), QString("fault user"));
    QCOMPARE(stored.value("PASSWORD"), QString("pw"));
    QCOMPARE(stored.value("ALERTMODE"), QString("1"));
    QCOMPARE(stored.value("AUDIOALERT"), QString("0"));
}

// The installed program as a process, its real 2000 ms polls, against a
// 50 MB reply: the body cap keeps its memory bounded.
void TestClientFaults::hugeReplyLeavesTheProcessBounded()
{
    ClientRun run;
    QVERIFY(run.prepare());
    QVERIFY(run.start());
    ScriptedServer &server = run.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kStatusPath) >= 2, testsupport::patient(60000));
    const qint64 pid = run.client.processId();
    const qint64 peakBefore = procStatusKb(pid, "VmHWM");
    QVERIFY(peakBefore > 0);

    const int before = server.countFor(kStatusPath);
    server.queueReply(kStatusPath, ScriptedReply::xml(hugeXml(50)));
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kStatusPath) >= before + 2, testsupport::patient(30000));
    QCOMPARE(run.client.state(), QProcess::Running);
    // A 16 MB cap on bodies: reading all 50 MB would at least double the
    // footprint of a client that peaks at well under 100 MB otherwise.
    const qint64 peakAfter = procStatusKb(pid, "VmHWM");
    qInfo("client peak memory %lld kB, %+lld kB after the 50 MB reply", peakBefore, peakAfter - peakBefore);
    QVERIFY2(peakAfter - peakBefore < 40 * 1024,
             qPrintable(QStringLiteral("peak grew by %1 kB (from %2 kB)").arg(peakAfter - peakBefore).arg(peakBefore)));
    QCOMPARE(server.countFor(kLoginPath), 1);

    // No settings key was lost on the way.
    const QByteArray settings = readFile(run.settingsPath());
    for (const char *key : {"AUTOLOG=1", "USERNAME=fault user", "PASSWORD=pw", "ALERTMODE=1", "AUDIOALERT=0"})
        QVERIFY2(settings.contains(key), settings.constData());
}

void TestClientFaults::startupEndsSilently_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<ScriptedReply>("reply");
    QStringList skin = skinfixture::skinChildren();
    const ScriptedReply whole = ScriptedReply::xmlChildren(skin);
    QTest::newRow("skin cut mid-body") << kSkinPath << cutWhereItStillParses(whole);
    QTest::newRow("skin reset after the head") << kSkinPath << whole.as(ScriptedReply::Kind::ResetAfterHead);
    QTest::newRow("skin deeply nested") << kSkinPath << ScriptedReply::xml(deeplyNestedXml());
    QTest::newRow("skin of 50 MB") << kSkinPath << ScriptedReply::xml(hugeXml(50));
    const QByteArray gif = skinfixture::stripedGif(64, 64);
    QTest::newRow("icon a truncated gif") << ("/" + skinfixture::SkinPaths().icon.toUtf8())
                                           << ScriptedReply::picture(gif.left(gif.size() * 6 / 10), "image/gif");
    QTest::newRow("server gone") << QByteArray() << ScriptedReply();
}

void TestClientFaults::startupEndsSilently()
{
    QFETCH(QByteArray, path);
    QFETCH(ScriptedReply, reply);
    ClientRun run;
    QVERIFY(run.prepare());
    if (path.isEmpty())
        run.server.close();
    else
        run.server.setReply(path, reply);
    QVERIFY(run.start());

    QTRY_COMPARE_WITH_TIMEOUT(run.client.state(), QProcess::NotRunning, testsupport::patient(40000));
    QCOMPARE(run.client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.client.exitCode(), 0);
    QCOMPARE(run.server.countFor(kLoginPath), 0);
    QCOMPARE(readFile(run.settingsPath()), kSettings);
}

QTEST_MAIN(TestClientFaults)
#include "tst_clientfaults.moc"
