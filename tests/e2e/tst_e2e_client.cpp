// The alert client end to end: the built tarvex copied into a folder of its
// own, the built alertserver with a real store, a real X display with a tray.
// A user logs in by typing into the login page, an alert raised on the server
// pops the window up at the top-right and reloads the alert page, a logout on
// the server brings the login page back, and polling survives a server restart.
//
// The steps run in order against one client process: every start of the
// browser engine costs seconds, and each step starts from where the previous
// one left the client.
#include "server/store/SqliteDb.h"
#include "support/ClientLogin.h"
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ServerProcess.h"
#include "support/X11Windows.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using namespace testsupport;

namespace {

const QString kTitle = QStringLiteral("E2E Alerts");
const QString kWindowClass = QStringLiteral("ThunderRT6FormDC");
const QString kUser = QStringLiteral("ann");
const QString kPassword = QStringLiteral("open sesame&1");
// As the server's request log shows it: the password's value is hidden there.
const QByteArray kLoginQuery = "username=ann&password=[hidden]";
// The server's default skin: a 320 x 300 window with the browser box at (6, 36).
const QSize kWindowSize(320, 300);
const QPoint kBrowserBox(6, 36);

const QByteArray kLogin = "/alertsystem/login.php";
const QByteArray kStatus = "/alertsystem/status.php";
const QByteArray kAlertPage = "/alertsystem/alerts.php";

} // namespace

class TestClientEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void loginThroughThePage();
    void alertPopsUpAtTopRightAndReloadsThePage();
    void serverLogoutReturnsToTheLoginPage();
    void pollingResumesAfterServerRestart();
    void serverLogoutWithAutoLoginLogsInAgain();

private:
    std::optional<X11Window> clientWindow() const;
    bool logInThroughThePage(bool remember);
    qint64 userColumn(alertserver::Sql sql);

    QTemporaryDir m_serverDir;
    QTemporaryDir m_install;
    QTemporaryDir m_home;
    std::unique_ptr<ServerProcess> m_server;
    QProcess m_client;
    QSize m_screen;
};

void TestClientEndToEnd::initTestCase()
{
    m_screen = x11ScreenSize();
    if (m_screen.isEmpty())
        QSKIP("needs an X display (runs under Xvfb through CTest)");

    m_server = std::make_unique<ServerProcess>(m_serverDir.path());
    QVERIFY(m_server->start());
    QCOMPARE(m_server->command({"seed-admin", "boss", "secret", "boss@example.com"}).exitCode, 0);
    QCOMPARE(m_server->command({"add-user", "boss", kUser, kPassword, "--email", "ann@example.com"}).exitCode, 0);

    QVERIFY(startCopiedClient(m_client, m_install.path(), m_home.path(), kTitle, m_server->baseUrl()));

    // The skin comes from the server, and the main window opens at the top-right.
    QTRY_VERIFY_WITH_TIMEOUT(clientWindow().has_value(), patient(40000));
    QCOMPARE(m_server->requestsFor("/alertsystem/notifytype.php").value(0).query, QByteArray("id=1"));
    QCOMPARE(clientWindow()->geometry, QRect(QPoint(m_screen.width() - kWindowSize.width(), 0), kWindowSize));
}

void TestClientEndToEnd::cleanupTestCase()
{
    endProgram(m_client);
}

std::optional<X11Window> TestClientEndToEnd::clientWindow() const
{
    return viewableX11Window(kWindowClass, kTitle);
}

bool TestClientEndToEnd::logInThroughThePage(bool remember)
{
    return testsupport::logInThroughThePage(*m_server, [this] { return clientWindow(); }, kBrowserBox, kUser,
                                            kPassword, remember);
}

qint64 TestClientEndToEnd::userColumn(alertserver::Sql sql)
{
    alertserver::SqliteConnection db(m_server->dbPath());
    alertserver::Query q = db.query(sql, kUser);
    return q.next() ? q.integer(0) : -1;
}

void TestClientEndToEnd::loginThroughThePage()
{
    QVERIFY(logInThroughThePage(false));
    QCOMPARE(m_server->requestsFor(kLogin).constLast().query, kLoginQuery);
    QCOMPARE(userColumn("SELECT logged_in FROM users WHERE username = ?"), 1);

    // The alert page replaces the login page, and polling starts.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->countFor(kAlertPage), 1, patient(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kStatus) >= 2, patient(10000));
    QCOMPARE(m_server->requestsFor(kStatus).constFirst().query, QByteArray("username=ann"));
}

void TestClientEndToEnd::alertPopsUpAtTopRightAndReloadsThePage()
{
    // Dragged away first, so that coming back to the corner is the alert's doing.
    const std::optional<X11Window> before = clientWindow();
    QVERIFY(before);
    QVERIFY(xdotool({"windowmove", QString::number(before->id), "100", "300"}));
    QTRY_COMPARE_WITH_TIMEOUT(clientWindow().value_or(X11Window()).geometry.topLeft(), QPoint(100, 300), patient(5000));
    QTest::qWait(testsupport::patient(300)); // let the client see its new place before the alert moves it

    const int mark = int(m_server->requests().size());
    QCOMPARE(m_server->command({"alert", kUser, "Boiler pressure high"}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kAlertPage, mark) >= 1, patient(10000));
    const QByteArray query = m_server->requestsFor(kAlertPage, mark).constFirst().query;
    QVERIFY2(QRegularExpression("^_vartime=\\d{14}&username=ann$").match(QString::fromUtf8(query)).hasMatch(),
             query.constData());
    QCOMPARE(m_server->countFor(kLogin, mark), 0); // reloaded by the poll, not by a new login

    QTRY_COMPARE_WITH_TIMEOUT(clientWindow().value_or(X11Window()).geometry,
                              QRect(QPoint(m_screen.width() - kWindowSize.width(), 0), kWindowSize), patient(5000));
    // The alert was reported once: the server holds nothing more for the next poll.
    QCOMPARE(userColumn("SELECT pending_alerts FROM users WHERE username = ?"), 0);
}

void TestClientEndToEnd::serverLogoutReturnsToTheLoginPage()
{
    const int mark = int(m_server->requests().size());
    QCOMPARE(m_server->command({"logout", kUser}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kStatus, mark) >= 1, patient(5000));
    QVERIFY2(m_server->fallsQuiet(kStatus), "the client goes on polling after the server logged it out");
    QCOMPARE(m_server->countFor(kLogin, mark), 0); // automatic login is off

    // The login page is back and works: this time with automatic login ticked.
    QVERIFY(logInThroughThePage(true));
    QCOMPARE(m_server->requestsFor(kLogin, mark).constFirst().query, kLoginQuery);
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kStatus, mark) >= 2, patient(10000));
}

void TestClientEndToEnd::pollingResumesAfterServerRestart()
{
    const int port = m_server->port();
    QVERIFY(m_server->stop());
    // Down for longer than a poll period: the client's polls meet a closed port.
    QTest::qWait(testsupport::patient(2500));
    const int mark = int(m_server->requests().size());
    QVERIFY(m_server->start());
    QCOMPARE(m_server->port(), port);

    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kStatus, mark) >= 2, patient(8000));
    // The session outlived the restart: no new login was needed.
    QCOMPARE(m_server->countFor(kLogin, mark), 0);
    QCOMPARE(m_client.state(), QProcess::Running);
}

void TestClientEndToEnd::serverLogoutWithAutoLoginLogsInAgain()
{
    const int mark = int(m_server->requests().size());
    QCOMPARE(m_server->command({"logout", kUser}).exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->countFor(kLogin, mark), 1, patient(8000));
    QCOMPARE(m_server->requestsFor(kLogin, mark).constFirst().query, kLoginQuery);
    QCOMPARE(userColumn("SELECT logged_in FROM users WHERE username = ?"), 1);
    // And polls again after that login.
    const int login = int(m_server->requests().size());
    QTRY_VERIFY_WITH_TIMEOUT(m_server->countFor(kStatus, login) >= 1, patient(8000));
}

QTEST_GUILESS_MAIN(TestClientEndToEnd)
#include "tst_e2e_client.moc"
