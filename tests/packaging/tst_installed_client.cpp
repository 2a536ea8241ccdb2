// The packages end to end: the three .deb files of the build unpacked into a
// temporary root, the unpacked alertserver serving with its own defaults, and
// the unpacked client started as an ordinary user the way the desktop's
// autostart entry starts it, through the launcher, with the browser engine's
// sandbox on. The user logs in through the login page, an alert published
// with curl and a token of the administrator brings the window back to the
// top-right corner.
#include "support/ClientLogin.h"
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ServerProcess.h"
#include "support/X11Windows.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>
#include <pwd.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kTitle = QStringLiteral("Installed Alerts");
const QString kUser = QStringLiteral("ann");
const QString kPassword = QStringLiteral("pw 1");
const QSize kWindowSize(320, 300); // the server's default skin
const QPoint kBrowserBox(6, 36);
const QByteArray kAlertPage = "/alertsystem/alerts.php";

QString procText(qint64 pid, const char *name)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll().replace('\0', ' ')) : QString();
}

QString statusField(qint64 pid, const QString &field)
{
    for (const QString &line : procText(pid, "status").split(u'\n')) {
        if (line.startsWith(field + u':'))
            return line.mid(field.size() + 1).trimmed();
    }
    return {};
}

// The browser engine's processes below `pid` (its children and theirs).
QList<qint64> engineProcessesBelow(qint64 pid)
{
    QList<qint64> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 p = entry.toLongLong(&ok);
        if (!ok || !procText(p, "cmdline").contains(QLatin1String("QtWebEngineProcess")))
            continue;
        qint64 up = p;
        for (int depth = 0; depth < 8 && up > 1 && up != pid; ++depth)
            up = statusField(up, QStringLiteral("PPid")).toLongLong();
        if (up == pid)
            found.append(p);
    }
    return found;
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, args);
    return p.waitForFinished(patient(60000)) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

class TestInstalledClient : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void serverKeepsItsStateInVarLib();
    void clientRunsFromTheUsersOwnFolder();
    void browserEngineIsSandboxed();
    void alertReachesTheScreen();

private:
    std::optional<X11Window> clientWindow() const;
    QString own(const QString &file) const { return m_home.filePath(".local/share/tarvex/" + file); }
    QString root(const QString &file) const { return m_root.filePath(file); }

    QTemporaryDir m_root;
    QTemporaryDir m_home;
    QElapsedTimer m_sinceUnpacking;
    std::unique_ptr<ServerProcess> m_server;
    QProcess m_client;
    passwd m_user{};
    QSize m_screen;
};

void TestInstalledClient::initTestCase()
{
    m_screen = x11ScreenSize();
    if (m_screen.isEmpty())
        QSKIP("needs an X display (runs under Xvfb through CTest)");
    if (::geteuid() != 0)
        QSKIP("starts the client as another user, which needs root");
    const passwd *nobody = ::getpwnam("nobody");
    QVERIFY(nobody);
    m_user = *nobody;
    // The browser engine's sandbox puts its processes into user namespaces
    // of their own; Debian's Qt WebEngine has no setuid helper to fall back on.
    if (!run(QStringLiteral("setpriv"), {QStringLiteral("--reuid=%1").arg(m_user.pw_uid),
                                         QStringLiteral("--regid=%1").arg(m_user.pw_gid), "--clear-groups",
                                         "unshare", "--user", "true"}))
        QSKIP("an ordinary user cannot make a user namespace here (user.max_user_namespaces 0, or a container's "
              "seccomp filter), and the browser engine's sandbox needs one");

    // The packages as check-packages.sh left them: one of each.
    const QDir packages(QStringLiteral(TVX_BUILD_DIR "/packages"));
    m_sinceUnpacking.start();
    for (const char *name : {"tarvex", "kestrup", "alertserver"}) {
        const QStringList debs = packages.entryList({QLatin1String(name) + QStringLiteral("_*.deb")});
        QCOMPARE(debs.size(), 1);
        QVERIFY(run(QStringLiteral("dpkg-deb"), {"-x", packages.filePath(debs.first()), m_root.path()}));
    }
    // What the server's postinst makes; the folders an ordinary user walks through.
    QVERIFY(QDir().mkpath(root("var/lib/alertserver")));
    QVERIFY(QFile::setPermissions(m_root.path(), QFile::permissions(m_root.path()) | QFile::ExeOther | QFile::ReadOther));

    m_server = std::make_unique<ServerProcess>(root("usr/bin/alertserver"), root("var/lib/alertserver"));
    QVERIFY(m_server->start());
    QCOMPARE(m_server->command({"seed-admin", "boss", "secret", "boss@example.com"}).exitCode, 0);
    QCOMPARE(m_server->command({"add-user", "boss", kUser, kPassword}).exitCode, 0);

    // The administrator's edit of the conffile; the program folder's link to
    // /etc/tarvex/system.xml leads into this root instead.
    QVERIFY(writeFile(root("etc/tarvex/system.xml"),
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system><windowtitle>" + kTitle.toUtf8()
                          + "</windowtitle><serverbase>" + m_server->baseUrl().toUtf8()
                          + "</serverbase><notifytypeid>1</notifytypeid></system>\n"));
    QCOMPARE(QFile::symLinkTarget(root("usr/lib/tarvex/system.xml")), QStringLiteral("/etc/tarvex/system.xml"));
    QVERIFY(QFile::remove(root("usr/lib/tarvex/system.xml")));
    QVERIFY(QFile::link(root("etc/tarvex/system.xml"), root("usr/lib/tarvex/system.xml")));

    // The user's home: settings, a private runtime folder, the display's key.
    QVERIFY(writeFile(m_home.filePath(".config/Tarvex Vantorel.conf"),
                      "[Settings]\nAUTOLOG=0\nPOPUPMODE=1\nALERTMODE=1\nAUDIOALERT=0\nWINDOWONTOP=0\n"));
    QVERIFY(QDir().mkpath(m_home.filePath("run")));
    QFile::setPermissions(m_home.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString xauthority = qEnvironmentVariable("XAUTHORITY");
    if (!xauthority.isEmpty())
        QVERIFY(QFile::copy(xauthority, m_home.filePath(".Xauthority")));
    QVERIFY(run(QStringLiteral("chown"), {"-R", QStringLiteral("%1:%2").arg(m_user.pw_uid).arg(m_user.pw_gid),
                                          m_home.path()}));

    // The autostart entry's command, found through PATH as a session would.
    QFile entry(root("etc/xdg/autostart/tarvex.desktop"));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QString exec;
    for (const QByteArray &line : entry.readAll().split('\n')) {
        if (line.startsWith("Exec="))
            exec = QString::fromUtf8(line.mid(5));
    }
    QStringList command = QProcess::splitCommand(exec);
    QVERIFY(!command.isEmpty());

    // The test's environment without its sandbox switch and its settings folders.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QTWEBENGINE_DISABLE_SANDBOX", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                             "XDG_CACHE_HOME"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("USER"), QString::fromLocal8Bit(m_user.pw_name));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.filePath("run"));
    env.insert(QStringLiteral("XAUTHORITY"), m_home.filePath(".Xauthority"));
    env.insert(QStringLiteral("PATH"), root("usr/bin") + QStringLiteral(":/usr/bin:/bin"));
    m_client.setProcessEnvironment(env);
    m_client.setWorkingDirectory(m_home.path());
    m_client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_client.setProgram(QStringLiteral("setpriv"));
    m_client.setArguments(QStringList{QStringLiteral("--reuid=%1").arg(m_user.pw_uid),
                                      QStringLiteral("--regid=%1").arg(m_user.pw_gid), "--clear-groups",
                                      "--pdeathsig=TERM"}
                          + command);
    m_client.start();
    QVERIFY(m_client.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(clientWindow().has_value(), patient(40000));
    qInfo("unpacking to the client's window: %lld ms", m_sinceUnpacking.elapsed());
}

void TestInstalledClient::cleanupTestCase()
{
    endProgram(m_client);
}

std::optional<X11Window> TestInstalledClient::clientWindow() const
{
    return viewableX11Window(QStringLiteral("ThunderRT6FormDC"), kTitle);
}

void TestInstalledClient::serverKeepsItsStateInVarLib()
{
    QVERIFY(QFileInfo(root("var/lib/alertserver/alertserver.db")).isFile());
    QVERIFY(QFileInfo(root("var/lib/alertserver/skins/1/skin.ini")).isFile());
    QVERIFY(!QFileInfo::exists(root("usr/bin/alertserver.db")));
}

void TestInstalledClient::clientRunsFromTheUsersOwnFolder()
{
    // The process is the user's, started from the private copy of the program.
    const qint64 pid = m_client.processId();
    QCOMPARE(statusField(pid, QStringLiteral("Uid")).section(u'\t', 0, 0).toUInt(), m_user.pw_uid);
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget(), own("tarvex"));

    // The page background was written into the user's folder, the installed one is untouched.
    const QFileInfo background(own("html/images/background.bmp"));
    QVERIFY(background.isFile() && !background.isSymLink());
    QCOMPARE(background.ownerId(), m_user.pw_uid);
    QFile bmp(background.filePath());
    QVERIFY(bmp.open(QIODevice::ReadOnly));
    QCOMPARE(bmp.read(2), QByteArray("BM"));
    QVERIFY(QDir(root("usr/lib/tarvex/html/images")).isEmpty());
    QCOMPARE(QFile::symLinkTarget(own("html/login.htm")), root("usr/lib/tarvex/html/login.htm"));
}

void TestInstalledClient::browserEngineIsSandboxed()
{
    // A sandboxed renderer runs under a seccomp filter (mode 2) in a user
    // namespace of its own; with the sandbox off it has neither.
    const QString clientNamespace = QFile::symLinkTarget(QStringLiteral("/proc/%1/ns/user").arg(m_client.processId()));
    bool sandboxed = false;
    for (qint64 p : engineProcessesBelow(m_client.processId())) {
        QVERIFY2(!procText(p, "cmdline").contains(QLatin1String("--no-sandbox")), qPrintable(procText(p, "cmdline")));
        if (statusField(p, QStringLiteral("Seccomp")) == QLatin1String("2")
            && QFile::symLinkTarget(QStringLiteral("/proc/%1/ns/user").arg(p)) != clientNamespace)
            sandboxed = true;
    }
    QVERIFY2(sandboxed, "no browser engine process runs in the sandbox");
}

void TestInstalledClient::alertReachesTheScreen()
{
    QVERIFY(logInThroughThePage(*m_server, [this] { return clientWindow(); }, kBrowserBox, kUser, kPassword, false));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kAlertPage) >= 1, patient(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor("/alertsystem/status.php") >= 1, patient(10000));

    // Moved away, so that coming back to the corner is the alert's doing.
    const std::optional<X11Window> before = clientWindow();
    QVERIFY(before);
    QVERIFY(xdotool({"windowmove", QString::number(before->id), "100", "300"}));
    QTRY_COMPARE_WITH_TIMEOUT(clientWindow().value_or(X11Window()).geometry.topLeft(), QPoint(100, 300), patient(5000));
    // A poll sent after the move shows that the client's event loop has run
    // since, and so has seen its new place before the alert moves it.
    const int moved = int(m_server->requests().size());
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor("/alertsystem/status.php", moved) >= 1, patient(5000));

    const ServerProcess::CommandResult token = m_server->command({"token", "create", "boss"});
    QCOMPARE(token.exitCode, 0);
    const int mark = int(m_server->requests().size());
    QProcess curl;
    curl.start(QStringLiteral("curl"), {"-sS", "--fail-with-body", "-d", "Boiler pressure high", "-H",
                                        "Authorization: Bearer " + token.out.trimmed(),
                                        m_server->baseUrl() + "/api/v1/alerts?user=" + kUser});
    QVERIFY(curl.waitForFinished(patient(30000)));
    const QByteArray answer = curl.readAllStandardOutput();
    QVERIFY2(curl.exitCode() == 0 && answer.contains("\"user\":\"ann\""), (answer + curl.readAllStandardError()).constData());
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kAlertPage, mark) >= 1, patient(10000));
    QTRY_COMPARE_WITH_TIMEOUT(clientWindow().value_or(X11Window()).geometry,
                              QRect(QPoint(m_screen.width() - kWindowSize.width(), 0), kWindowSize), patient(5000));
    qInfo("unpacking to the first alert on screen: %lld ms", m_sinceUnpacking.elapsed());
}

QTEST_GUILESS_MAIN(TestInstalledClient)
#include "tst_installed_client.moc"
