// The installed client as a process against a scripted server that misbehaves:
// polling goes on through every fault with bounded memory and the settings
// intact, and a start-up that meets a fault ends silently.
#include "FaultFixture.h"
#include "support/Patience.h"

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

void TestClientFaults::pollingSurvivesEveryFault()
{
    ClientRun run;
    QVERIFY(run.prepare());
    QVERIFY(run.start());
    ScriptedServer &server = run.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kStatusPath) >= 2, testsupport::patient(60000));
    const qint64 pid = run.client.processId();
    const qint64 peakBefore = procStatusKb(pid, "VmHWM");
    QVERIFY(peakBefore > 0);

    // The faulty reply answers the next poll; the poll after it must come.
    auto survives = [&](const char *what, const ScriptedReply &fault, int withinMs) {
        const int before = server.countFor(kStatusPath);
        server.queueReply(kStatusPath, fault);
        if (!QTest::qWaitFor([&] { return server.countFor(kStatusPath) >= before + 2; }, withinMs)) {
            qWarning("no poll after the fault: %s", what);
            return false;
        }
        return run.client.state() == QProcess::Running;
    };
    const ScriptedReply zero = ScriptedReply::xmlChildren({"0"});
    const int pagesBefore = server.countFor(kAlertPath);
    // Half an alert is no alert.
    QVERIFY(survives("cut mid-body", cutWhereItStillParses(ScriptedReply::xmlChildren({"1"})), 10000));
    QCOMPARE(server.countFor(kAlertPath), pagesBefore);
    QVERIFY(survives("reset after the head", zero.as(ScriptedReply::Kind::ResetAfterHead), 10000));
    QVERIFY(survives("deeply nested XML", ScriptedReply::xml(deeplyNestedXml()), 20000));
    QVERIFY(survives("50 MB body", ScriptedReply::xml(hugeXml(50)), 30000));
    // A 16 MB cap on bodies: reading all 50 MB would at least double the
    // footprint of a client that peaks at well under 100 MB otherwise.
    const qint64 peakAfter = procStatusKb(pid, "VmHWM");
    qInfo("client peak memory %lld kB, %+lld kB after the 50 MB reply", peakBefore, peakAfter - peakBefore);
    QVERIFY2(peakAfter - peakBefore < 40 * 1024,
             qPrintable(QStringLiteral("peak grew by %1 kB (from %2 kB)").arg(peakAfter - peakBefore).arg(peakBefore)));

    // One byte a second: the poll gives up at its deadline and the next one follows.
    const int dripped = server.countFor(kStatusPath);
    QVERIFY(survives("one byte a second", zero.as(ScriptedReply::Kind::Drip), 45000));
    const qint64 waited = server.requestsFor(kStatusPath).at(dripped + 1).arrivedMs
        - server.requestsFor(kStatusPath).at(dripped).arrivedMs;
    QVERIFY2(waited >= 29000 && waited < 40000, qPrintable(QString::number(waited)));

    // The server goes away between two polls and comes back on the same port.
    const quint16 port = server.port();
    server.close();
    QTest::qWait(testsupport::patient(5000));
    QCOMPARE(run.client.state(), QProcess::Running);
    const int beforeReturn = server.countFor(kStatusPath);
    QVERIFY(server.listen(port));
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kStatusPath) > beforeReturn, testsupport::patient(6000));

    // Still a working client: an alert brings the alert page.
    const int pages = server.countFor(kAlertPath);
    server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"1"}));
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor(kAlertPath) > pages, testsupport::patient(10000));
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

QTEST_GUILESS_MAIN(TestClientFaults)
#include "tst_clientfaults.moc"
