// Two alertserver processes on one PostgreSQL database, as behind a load
// balancer, with the built tarvex under Xvfb. The administrator's side goes
// through one server: the user is added there and the alerts and the logout
// are raised beside it. The client knows only the other: it logs in there,
// polls there, and is told of the alert and the logout by it.
#include "support/ClientLogin.h"
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ServerProcess.h"
#include "support/TestDatabase.h"
#include "support/X11Windows.h"

#include <QEventLoop>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;

namespace {

const QString kTitle = QStringLiteral("Two Servers");
const QString kUser = QStringLiteral("ann");
const QString kPassword = QStringLiteral("pw of ann");
const QPoint kBrowserBox(6, 36);
const QString kStamp = QStringLiteral("?vartime=12072026043325");

const QByteArray kLogin = "/alertsystem/login.php";
const QByteArray kStatus = "/alertsystem/status.php";
const QByteArray kAlertPage = "/alertsystem/alerts.php";

// A POST as the wizard sends it, answering the reply's first child.
QString wizardPost(const ServerProcess &server, const QString &path, const QByteArray &body)
{
    common::HttpExchange exchange;
    QEventLoop loop;
    QObject::connect(&exchange, &common::HttpExchange::finished, &loop, &QEventLoop::quit);
    exchange.start("POST", server.baseUrl() + path, {{"Content-Type", "application/x-www-form-urlencoded"}}, body);
    loop.exec();
    const QByteArray reply = exchange.result().body;
    const qsizetype at = reply.indexOf("<status>");
    return at < 0 ? QString() : QString::fromUtf8(reply.mid(at + 8, reply.indexOf('<', at + 8) - at - 8));
}

} // namespace

class TestTwoServersEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void alertAndLogoutRaisedBesideOneReachTheClientOfTheOther();

private:
    std::optional<X11Window> clientWindow() const;

    QTemporaryDir m_adminDir, m_clientDir, m_install, m_home;
    std::unique_ptr<TestDatabase> m_database;
    std::unique_ptr<ServerProcess> m_admins; // the administrator's side
    std::unique_ptr<ServerProcess> m_polls;  // the client's
    QProcess m_client;
};

void TestTwoServersEndToEnd::initTestCase()
{
    const QSize screen = x11ScreenSize();
    if (screen.isEmpty())
        QSKIP("needs an X display (runs under Xvfb through CTest)");
    TVX_SKIP_WITHOUT_DATABASE();
    m_database = std::make_unique<TestDatabase>(m_adminDir.path());
    QVERIFY(m_database->isPostgres());
    m_admins = std::make_unique<ServerProcess>(m_adminDir.path());
    m_polls = std::make_unique<ServerProcess>(m_clientDir.path());
    for (ServerProcess *server : {m_admins.get(), m_polls.get()}) {
        server->setDatabase(m_database->location());
        QVERIFY(server->start());
    }

    // The user is added through the administrator's server, as the wizard does.
    const auto seeded = m_admins->command({"seed-admin", "boss", "secret", "boss@example.com"});
    QCOMPARE(seeded.exitCode, 0);
    QCOMPARE(wizardPost(*m_admins, "/alertsystem/admin/login.php" + kStamp, "username=boss&password=secret"),
             QStringLiteral("LOGINOK"));
    QCOMPARE(wizardPost(*m_admins, "/alertsystem/admin/adduser.php" + kStamp,
                        "username=ann&password=pw+of+ann&lastname=&firstname=&telnos=&email=&wirelessno="
                        "&serviceprovider=&mrgID=" + seeded.out.trimmed().toLatin1()),
             QStringLiteral("USERADDED"));

    QVERIFY(startCopiedClient(m_client, m_install.path(), m_home.path(), kTitle, m_polls->baseUrl()));
    QTRY_VERIFY_WITH_TIMEOUT(clientWindow().has_value(), patient(40000));
}

void TestTwoServersEndToEnd::cleanupTestCase()
{
    endProgram(m_client);
    m_polls.reset();
    m_admins.reset();
    m_database.reset();
}

std::optional<X11Window> TestTwoServersEndToEnd::clientWindow() const
{
    return viewableX11Window(QStringLiteral("ThunderRT6FormDC"), kTitle);
}

void TestTwoServersEndToEnd::alertAndLogoutRaisedBesideOneReachTheClientOfTheOther()
{
    QVERIFY(logInThroughThePage(*m_polls, [this] { return clientWindow(); }, kBrowserBox, kUser, kPassword, false));
    QTRY_VERIFY_WITH_TIMEOUT(m_polls->countFor(kStatus) >= 2, patient(10000));

    // Raised beside the administrator's server; the client's own server
    // reports it at the next poll, and the client fetches the alert page.
    int mark = int(m_polls->requests().size());
    QCOMPARE(m_admins->command({"alert", kUser, "Server room too hot"}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_polls->countFor(kAlertPage, mark) >= 1, patient(10000));
    QCOMPARE(m_polls->countFor(kLogin, mark), 0);

    // A logout likewise: the client stops polling and shows its login page.
    mark = int(m_polls->requests().size());
    QCOMPARE(m_admins->command({"logout", kUser}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_polls->countFor(kStatus, mark) >= 1, patient(5000));
    QVERIFY2(m_polls->fallsQuiet(kStatus), "the client goes on polling after the logout");

    // Every request of the client went to its own server.
    QCOMPARE(m_admins->countFor(kStatus) + m_admins->countFor(kLogin) + m_admins->countFor(kAlertPage), 0);
}

QTEST_GUILESS_MAIN(TestTwoServersEndToEnd)
#include "tst_e2e_twoservers.moc"
