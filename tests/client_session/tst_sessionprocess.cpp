// The installed client as a process: from the loading window to polling, and
// polling that picks up again by itself after the process was stopped.
#include "client_startup/SkinFixture.h"
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ScriptedServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace testsupport;

class TestSessionProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pollingResumesAfterStopAndContinue();
};

void TestSessionProcess::pollingResumesAfterStopAndContinue()
{
    QTemporaryDir install;
    QTemporaryDir home;
    QVERIFY(copyFolder(QStringLiteral(TVX_BUILD_DIR "/tarvex"), install.path()));

    ScriptedServer server;
    QVERIFY(server.listen());
    QStringList skin = skinfixture::skinChildren();
    skin[11] = server.baseUrl() + "/alertsystem/alerts.php"; // nothing leaves the machine
    server.setReply("/alertsystem/notifytype.php", ScriptedReply::xmlChildren(skin));
    const skinfixture::SkinPaths paths;
    for (const QString &path : {paths.close, paths.menu, paths.background, paths.icon, paths.page})
        server.setReply(("/" + path).toUtf8(), ScriptedReply::picture(skinfixture::png(Qt::darkCyan), "image/png"));
    server.setReply("/alertsystem/login.php", ScriptedReply::xmlChildren({"1"}));
    server.setReply("/alertsystem/status.php", ScriptedReply::xmlChildren({"0"}));
    server.setReply("/alertsystem/alerts.php", ScriptedReply::html("<html><body>alerts</body></html>"));

    QVERIFY(writeFile(install.filePath("system.xml"),
                      "<?xml version=\"1.0\"?>\n<c><t>Process Session</t><s>" + server.baseUrl().toUtf8()
                          + "</s><i>1</i></c>\n"));
    QVERIFY(writeFile(home.filePath("config/Tarvex Vantorel.conf"),
                      "[Settings]\nAUTOLOG=1\nUSERNAME=proc user\nPASSWORD=pw\n"));

    QProcess client;
    endWithThisProcess(client);
    QProcessEnvironment env = programEnvironment(home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    client.setProcessEnvironment(env);
    client.setProgram(install.filePath("tarvex"));
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start();
    QVERIFY(client.waitForStarted());
    const auto stopClient = qScopeGuard([&] {
        ::kill(pid_t(client.processId()), SIGCONT);
        client.terminate();
        if (!client.waitForFinished(testsupport::patient(10000)))
            client.kill();
        client.waitForFinished(testsupport::patient(5000));
    });

    // Logged in automatically after the hand-over, and polling.
    QTRY_COMPARE_WITH_TIMEOUT(server.countFor("/alertsystem/login.php"), 1, testsupport::patient(30000));
    QCOMPARE(server.requestsFor("/alertsystem/login.php").first().query, QByteArray("username=proc+user&password=pw"));
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor("/alertsystem/status.php") >= 2, testsupport::patient(15000));
    QCOMPARE(server.requestsFor("/alertsystem/status.php").first().query, QByteArray("username=proc+user"));

    // Stopped, the process sends nothing; continued, it polls again within one period.
    QVERIFY(::kill(pid_t(client.processId()), SIGSTOP) == 0);
    QTest::qWait(testsupport::patient(300));
    const int polls = server.countFor("/alertsystem/status.php");
    // Longer than one poll period, so that at least one poll fell due meanwhile.
    QTest::qWait(testsupport::patient(2500));
    QVERIFY(server.countFor("/alertsystem/status.php") <= polls + 1);
    const int atContinue = server.countFor("/alertsystem/status.php");
    const qint64 continued = server.elapsedMs();
    QVERIFY(::kill(pid_t(client.processId()), SIGCONT) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor("/alertsystem/status.php") > atContinue, testsupport::patient(5000));
    const qint64 resumedAfter = server.requestsFor("/alertsystem/status.php").at(atContinue).arrivedMs - continued;
    QVERIFY2(resumedAfter <= 2000 + testsupport::patient(500), qPrintable(QString::number(resumedAfter)));
    // And it keeps its rhythm afterwards.
    QTRY_VERIFY_WITH_TIMEOUT(server.countFor("/alertsystem/status.php") > atContinue + 1, testsupport::patient(5000));
    QCOMPARE(client.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestSessionProcess)
#include "tst_sessionprocess.moc"
