// The server's HTTP front end against what a stranger on the network can
// send: a Range asking for a picture hundreds of times, heads without end,
// callers that stall, bodies cut short or framed twice, HEAD on a page that
// deletes, a Host not ours, a forged X-Forwarded-For, floods of connections
// that send nothing and of bodies; connections kept open between requests;
// and https with a certificate made for the test: its suites, its resumed
// sessions, and the certificate read again while serving.

#include "RawConnection.h"
#include "ServerFixture.h"

#include "common/FormEncoding.h"
#include "support/Patience.h"
#include "support/TestCertificates.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include <openssl/ssl.h>
#include <openssl/x509.h>

using namespace servertest;
using testsupport::patient;

namespace {

QByteArray get(const QByteArray &target, const QByteArray &extra = {})
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

QByteArray post(const QByteArray &path, const QByteArray &fields, const QByteArray &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        + fields + "\r\n" + body;
}

QByteArray length(qsizetype n)
{
    return "Content-Length: " + QByteArray::number(n) + "\r\n";
}

// An https connection to 127.0.0.1, verified against the test's authority.
bool encrypted(QSslSocket &socket, const QString &caFile, int port)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(caFile));
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), quint16(port));
    return socket.waitForEncrypted(patient(10000));
}

// An active administrator "boss" (password "pw") with one user "ann" ("pw").
alertserver::UserFields annOfBoss(RunningServer &s)
{
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("boss");
    reg.password = QStringLiteral("pw");
    const int admin = s.store->admins().registerAdmin(reg).id;
    s.store->admins().activateByName(reg.username);
    alertserver::UserFields u;
    u.username = QStringLiteral("ann");
    u.password = QStringLiteral("pw");
    s.store->users().add(admin, u);
    return u;
}

// A TLS client of OpenSSL's own on a loopback connection, for what
// QSslSocket does not let a test choose: the one version and the suites it
// offers, and the session it resumes.
class TlsClient
{
public:
    using Session = std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>;

    TlsClient(int port, int version, const char *suites = nullptr, SSL_SESSION *resume = nullptr)
        : m_connection(port, patient(15000))
    {
        SSL_CTX_set_min_proto_version(m_context.get(), version);
        SSL_CTX_set_max_proto_version(m_context.get(), version);
        if (suites)
            SSL_CTX_set_cipher_list(m_context.get(), suites);
        m_ssl.reset(SSL_new(m_context.get()));
        SSL_set_fd(m_ssl.get(), m_connection.descriptor());
        if (resume)
            SSL_set_session(m_ssl.get(), resume);
        m_ready = m_connection.connected() && SSL_connect(m_ssl.get()) == 1;
    }
    // Ended as if shut down cleanly (without sending), or OpenSSL would
    // mark the session as one not to resume.
    ~TlsClient()
    {
        SSL_set_quiet_shutdown(m_ssl.get(), 1);
        SSL_shutdown(m_ssl.get());
    }
    TlsClient(const TlsClient &) = delete;
    TlsClient &operator=(const TlsClient &) = delete;

    bool ready() const { return m_ready; }
    bool resumed() const { return SSL_session_reused(m_ssl.get()) == 1; }
    // The server's certificate (DER).
    QByteArray certificate() const
    {
        X509 *peer = SSL_get1_peer_certificate(m_ssl.get());
        unsigned char *der = nullptr;
        const int n = peer ? i2d_X509(peer, &der) : 0;
        QByteArray bytes(reinterpret_cast<const char *>(der), n > 0 ? n : 0);
        OPENSSL_free(der);
        X509_free(peer);
        return bytes;
    }
    // Sends the request and answers its reply, read by its length.
    QByteArray exchange(const QByteArray &request)
    {
        QByteArray reply;
        if (!m_ready || SSL_write(m_ssl.get(), request.constData(), int(request.size())) != int(request.size()))
            return reply;
        char buffer[4096];
        int n;
        while (!RawConnection::completeReply(reply) && (n = SSL_read(m_ssl.get(), buffer, sizeof buffer)) > 0)
            reply.append(buffer, n);
        return reply;
    }
    Session session() const { return {SSL_get1_session(m_ssl.get()), &SSL_SESSION_free}; }

private:
    RawConnection m_connection;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_context{SSL_CTX_new(TLS_client_method()), &SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> m_ssl{nullptr, &SSL_free};
    bool m_ready = false;
};

QByteArray derOf(const QString &certificateFile)
{
    return QSslCertificate::fromPath(certificateFile).value(0).toDer();
}

// A front end whose every request is noted and answered with a small page.
class Recorder
{
public:
    Recorder()
        : front([this](const alertserver::HttpRequest &r) {
              QMutexLocker lock(&m_mutex);
              m_last = r;
              return alertserver::HttpReply{200, "text/plain", "noted"};
          })
    {
    }
    ~Recorder() { front.stop(); }
    bool start()
    {
        if (!front.bind(QStringLiteral("127.0.0.1"), 0))
            return false;
        front.start();
        return true;
    }
    alertserver::HttpRequest last()
    {
        QMutexLocker lock(&m_mutex);
        return m_last;
    }
    // The caller's address the service saw for one request.
    QByteArray peerOf(const QByteArray &request, const char *from)
    {
        m_last = {};
        const QByteArray reply = exchange(front.port(), request, from);
        return reply.startsWith("HTTP/1.1 200") ? last().peer : "<no reply>";
    }

    alertserver::HttpFrontEnd front;

private:
    QMutex m_mutex;
    alertserver::HttpRequest m_last;
};

} // namespace

class TestFrontEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void rangeIsIgnored();
    void headsAreBounded();
    void stalledCallersHoldNoWorker();
    void passwordHashesHoldNoWorker();
    void bodiesCutShortOrFramedTwiceAreNeverCarriedOut();
    void headChangesNothing();
    void linksNeverComeFromTheHostHeader();
    void hostMustNameThisServer();
    void healthNeedsNoCredentials();
    void wedgedWorkersAreNotReportedAlive();
    void forwardedForOnlyFromTrustedProxies();
    void callersWithoutAForwardedAddressAreNobody();
    void connectionsServeRequestsUntilTheirEnd();
    void newcomersTakeThePlaceOfTheStalest();
    void pollsGetThroughAFloodOfSilentConnections();
    void bodiesCostWhatTheirPathAllows();
    void servesHttpsWithTheGivenCertificate();
    void tls12OffersForwardSecrecyOnly();
    void reconnectingClientsResumeTheirSession();
    void certificateIsReadAgainWithoutCuttingConnections();
    void keepsHttpsConnectionsOpen();
};

void TestFrontEnd::rangeIsIgnored()
{
    RunningServer s;
    const auto picture = s.skins->picture(QStringLiteral("1"), QStringLiteral("background.bmp"));
    QVERIFY(picture && picture->bytes.size() > 1000);
    QByteArray ranges = "Range: bytes=0-";
    for (int i = 1; i < 850; ++i)
        ranges += ",0-";
    const QByteArray reply = exchange(s.front->port(), get("/alertsystem/skins/1/background.bmp", ranges + "\r\n"));
    // The whole picture once, not 850 parts of it.
    QVERIFY2(reply.startsWith("HTTP/1.1 200"), reply.left(100).constData());
    QCOMPARE(bodyOf(reply), picture->bytes);
}

void TestFrontEnd::headsAreBounded()
{
    RunningServer s;
    const QByteArray poll = "/alertsystem/status.php?username=nobody";
    QByteArray fields;
    for (int i = 1; i < alertserver::HttpFrontEnd::kMaxFields; ++i)
        fields += "X-F" + QByteArray::number(i) + ": a\r\n";
    // The Host line and 99 more: served. One more field, or a line that takes
    // the head past 16 KiB, or header lines without end: refused.
    QVERIFY(exchange(s.front->port(), get(poll, fields)).startsWith("HTTP/1.1 200"));
    QVERIFY(exchange(s.front->port(), get(poll, fields + "X-F100: a\r\n")).startsWith("HTTP/1.1 431"));
    QVERIFY(exchange(s.front->port(), get(poll, "X-Long: " + QByteArray(17 * 1024, 'a') + "\r\n")).startsWith("HTTP/1.1 431"));
    RawConnection flood(s.front->port());
    QVERIFY(flood.send("GET " + poll + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    const QByteArray lines = QByteArray("X-A: aaaa\r\n").repeated(6000);
    for (int i = 0; i < 16 && flood.send(lines); ++i) {
    }
    flood.send("\r\n");
    QVERIFY(flood.receiveAll().startsWith("HTTP/1.1 431"));
}

void TestFrontEnd::stalledCallersHoldNoWorker()
{
    // Two workers and ten callers that send half a head and then nothing.
    RunningServer s(2);
    std::vector<std::unique_ptr<RawConnection>> stalled;
    for (int i = 0; i < 10; ++i) {
        stalled.push_back(std::make_unique<RawConnection>(s.front->port()));
        QVERIFY(stalled.back()->send("GET /alertsystem/status.php?username=nobody HTTP/1.1\r\nHost: a\r\nX-Pad: "));
    }
    // A poll is answered while every one of them is still waiting on its own
    // deadline, not after they have been cut.
    const auto r = s.client(QStringLiteral("/alertsystem/status.php?username=nobody"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(replyChildren(r.body), QStringList{QStringLiteral("2")});
    for (const auto &c : stalled)
        QVERIFY(!c->closedByServer(0));
}

void TestFrontEnd::passwordHashesHoldNoWorker()
{
    // One worker, and forty administrator logins at once (a slow hash each):
    // a poll sent once the first is answered is answered before the others.
    RunningServer s(1);
    std::vector<std::unique_ptr<common::HttpExchange>> logins;
    for (int i = 0; i < 40; ++i) {
        logins.push_back(std::make_unique<common::HttpExchange>());
        logins.back()->start("POST", s.base + "/alertsystem/admin/login.php", {{"Content-Type", "application/x-www-form-urlencoded"}},
                             "username=nobody" + QByteArray::number(i) + "&password=guess");
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(logins.cbegin(), logins.cend(), [](const auto &e) { return e->isFinished(); }),
                             patient(60000));
    const auto poll = s.client(QStringLiteral("/alertsystem/status.php?username=ann"));
    QCOMPARE(poll.status, 200);
    QVERIFY(!std::all_of(logins.cbegin(), logins.cend(), [](const auto &e) { return e->isFinished(); }));
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(logins.cbegin(), logins.cend(), [](const auto &e) { return e->isFinished(); }),
                             patient(60000));
}

void TestFrontEnd::bodiesCutShortOrFramedTwiceAreNeverCarriedOut()
{
    RunningServer s(8, std::chrono::milliseconds(patient(1000)));
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("boss");
    reg.password = QStringLiteral("pw");
    reg.email = QStringLiteral("boss@example.com");
    const int admin = s.store->admins().registerAdmin(reg).id;
    QVERIFY(s.store->admins().activateByName(reg.username));
    // Logged in from here, as the wizard would be.
    const QByteArray login = "username=boss&password=pw";
    QVERIFY(exchange(s.front->port(), post("/alertsystem/admin/login.php", length(login.size()), login)).contains("LOGINOK"));
    for (int i = 1; i <= 12; ++i) {
        alertserver::UserFields u;
        u.username = QStringLiteral("user%1").arg(i);
        u.password = QStringLiteral("pw");
        QCOMPARE(s.store->users().add(admin, u).second, i);
    }
    auto passwords = [&] {
        return s.count("SELECT count(*) FROM users WHERE password = 'pw'");
    };
    // Cut one byte short, "id=12" reads "id=1".
    const QByteArray edit = "password=changed&lastname=&firstname=&telnos=&email=&wirelessno=&serviceprovider=&id=12";
    const QByteArray cut = post("/alertsystem/admin/edituser.php", length(edit.size()), edit.chopped(1));
    {
        RawConnection c(s.front->port());
        QVERIFY(c.send(cut));
        c.halfClose();
        QVERIFY(c.closedByServer(patient(5000)));
    }
    {
        RawConnection c(s.front->port());
        QVERIFY(c.send(cut));
        QVERIFY(c.closedByServer(patient(10000))); // its body deadline
    }
    QCOMPARE(passwords(), 12);

    // Without a length, with two lengths, with a length and a transfer coding.
    const QByteArray add = "username=eve&password=pw&lastname=&firstname=&telnos=&email=&wirelessno=&serviceprovider=&mrgID="
        + QByteArray::number(admin);
    const QByteArray path = "/alertsystem/admin/adduser.php";
    const QByteArray chunked = QByteArray::number(add.size(), 16) + "\r\n" + add + "\r\n0\r\n\r\n";
    QVERIFY(exchange(s.front->port(), post(path, {}, add)).startsWith("HTTP/1.1 411"));
    QVERIFY(exchange(s.front->port(), post(path, length(add.size()) + length(add.size() - 4), add)).startsWith("HTTP/1.1 400"));
    QVERIFY(exchange(s.front->port(), post(path, length(add.size()) + "Transfer-Encoding: chunked\r\n", chunked))
                .startsWith("HTTP/1.1 400"));
    QVERIFY(exchange(s.front->port(), post(path, "Transfer-Encoding: chunked\r\n" + length(add.size()), chunked))
                .startsWith("HTTP/1.1 400"));
    QVERIFY(exchange(s.front->port(), post(path, "Transfer-Encoding: chunked\r\n", chunked)).startsWith("HTTP/1.1 411"));
    QCOMPARE(s.count("SELECT count(*) FROM users"), 12);
    // Framed once, the same request is carried out.
    QVERIFY(exchange(s.front->port(), post(path, length(add.size()), add)).contains("USERADDED"));
    QCOMPARE(s.count("SELECT count(*) FROM users"), 13);
}

void TestFrontEnd::headChangesNothing()
{
    RunningServer s;
    const alertserver::UserFields u = annOfBoss(s);
    const int id = s.store->users().byName(u.username)->id;
    QVERIFY(s.store->sessions().login(u.username, u.password, QStringLiteral("127.0.0.1")));
    QVERIFY(s.store->sessions().raise(u.username, QStringLiteral("kept for the real poll")));

    auto head = [&](const QByteArray &target) {
        return exchange(s.front->port(), "HEAD " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    };
    QVERIFY(head("/alertsystem/admin/deleteuser.php?id=" + QByteArray::number(id)).startsWith("HTTP/1.1 405"));
    QVERIFY(head("/alertsystem/status.php?username=ann").startsWith("HTTP/1.1 405"));
    QCOMPARE(s.count("SELECT count(*) FROM users"), 1);
    QCOMPARE(replyChildren(s.client(QStringLiteral("/alertsystem/status.php?username=ann")).body), QStringList{"1"});

    // A page that changes nothing answers as GET would, without the body.
    const QByteArray skin = "/alertsystem/notifytype.php?id=1";
    const QByteArray reply = head(skin);
    QVERIFY(reply.startsWith("HTTP/1.1 200"));
    QVERIFY(reply.endsWith("\r\n\r\n"));
    QVERIFY(reply.contains("Content-Length: " + QByteArray::number(bodyOf(exchange(s.front->port(), get(skin))).size())));
}

void TestFrontEnd::linksNeverComeFromTheHostHeader()
{
    RunningServer s;
    const int port = s.front->port();
    // A name the server answers to, but not the one its links are made of.
    auto forged = [](QByteArray request) { return request.replace("Host: 127.0.0.1", "Host: localhost"); };
    const QByteArray skin = bodyOf(exchange(port, forged(get("/alertsystem/notifytype.php?id=1"))));
    QCOMPARE(replyChildren(skin).value(11), s.base + QStringLiteral("/alertsystem/alerts.php"));
    QVERIFY(!skin.contains("localhost"));

    // The activation mail and the download mail.
    const QByteArray registration = "username=boss&password=pw&firstname=A&lastname=B&affiliate=&address=&email=1"
                                    "&regtype=0&email=boss%40example.com&country=&state=&city=&postalcode=&telno=1"
                                    "&MM_insert=form1";
    QVERIFY(exchange(port, forged(post("/alertsystem/admin/register.php", length(registration.size()), registration)))
                .startsWith("HTTP/1.1 200"));
    QVERIFY(s.store->admins().activateByName(QStringLiteral("boss")));
    const QByteArray login = "username=boss&password=pw";
    const QByteArray loggedIn = exchange(port, forged(post("/alertsystem/admin/login.php", length(login.size()), login)));
    const QString admin = replyChildren(bodyOf(loggedIn)).value(1);
    alertserver::UserFields u;
    u.username = QStringLiteral("ann");
    u.password = QStringLiteral("pw");
    u.email = QStringLiteral("ann@example.com");
    QCOMPARE(s.store->users().add(admin.toInt(), u).first, alertserver::Users::Addition::Added);
    const QByteArray mail = "v1=q804&mails[]=ann%40example.com&mrgID=" + admin.toLatin1();
    QVERIFY(exchange(port, forged(post("/alertsystem/admin/sendemail.php?id=0", length(mail.size()), mail)))
                .startsWith("HTTP/1.1 200"));
    const QStringList mails = s.outboxFiles();
    QCOMPARE(mails.size(), 2);
    for (const QString &name : mails) {
        const QString text = s.mail(name);
        QVERIFY2(text.contains(s.base + QStringLiteral("/alertsystem/")) && !text.contains(QStringLiteral("localhost")),
                 qPrintable(text));
    }
}

void TestFrontEnd::hostMustNameThisServer()
{
    RunningServer s;
    s.service->setPublicBase(QStringLiteral("https://Alerts.Example.org:8443"));
    QVERIFY(s.service->names().add(QStringLiteral("alerts.internal.")));
    QVERIFY(!s.service->names().add(QStringLiteral("bad name")));
    const alertserver::UserFields u = annOfBoss(s);
    QVERIFY(s.store->sessions().login(u.username, u.password, QStringLiteral("127.0.0.1")));
    QVERIFY(s.store->sessions().raise(u.username, QStringLiteral("for ann")));
    const int port = s.front->port();
    auto statusWith = [port](const QByteArray &hostLines, const QByteArray &version = "HTTP/1.1") {
        const QByteArray reply = exchange(port, "GET /alertsystem/status.php?username=nobody " + version + "\r\n"
                                                    + hostLines + "\r\n");
        return reply.mid(9, 3).toInt();
    };
    // Ours: the public name, a --server-name, localhost, any address; the
    // port and a final dot aside, and in any case.
    for (const QByteArray host : {"alerts.example.org", "ALERTS.example.ORG.:443", "alerts.internal", "localhost:8080",
                                  "127.0.0.1", "10.9.8.7:80", "[::1]:8080", "[2001:db8::1]"})
        QVERIFY2(statusWith("Host: " + host + "\r\n") == 200, host.constData());
    // Not ours.
    for (const QByteArray host : {"evil.example", "alerts.example.org.evil.example", "127.0.0.1.nip.io", "alerts",
                                  "[not-an-address]"})
        QVERIFY2(statusWith("Host: " + host + "\r\n") == 421, host.constData());
    // Malformed: none on HTTP/1.1, two, a bare v6 address, a port of letters.
    for (const QByteArray &lines : {QByteArray(), QByteArray("Host: localhost\r\nHost: evil.example\r\n"),
                                   QByteArray("Host: ::1\r\n"), QByteArray("Host: localhost:http\r\n")})
        QVERIFY2(statusWith(lines) == 400, lines.constData());
    // HTTP/1.0 may go without.
    QCOMPARE(statusWith({}, "HTTP/1.0"), 200);

    // Turned away before anything happens: ann's alert and her user stay.
    auto evil = [](QByteArray request) { return request.replace("Host: 127.0.0.1", "Host: rebind.attacker.example"); };
    QVERIFY(exchange(port, evil(get("/alertsystem/status.php?username=ann"))).startsWith("HTTP/1.1 421"));
    const QByteArray login = "username=boss&password=pw";
    QVERIFY(exchange(port, evil(post("/alertsystem/admin/login.php", length(login.size()), login)))
                .startsWith("HTTP/1.1 421"));
    QCOMPARE(s.count("SELECT count(*) FROM admin_sessions"), 0);
    QCOMPARE(replyChildren(s.client(QStringLiteral("/alertsystem/status.php?username=ann")).body), QStringList{"1"});
}

void TestFrontEnd::healthNeedsNoCredentials()
{
    RunningServer s;
    s.service->countConnectionsWith([&s] { return s.front->openConnections(); });
    const QByteArray reply = exchange(s.front->port(), get("/healthz"));
    QVERIFY2(reply.startsWith("HTTP/1.1 200"), reply.constData());
    const QJsonObject report = QJsonDocument::fromJson(bodyOf(reply)).object();
    QCOMPARE(report.value(QLatin1String("store")).toString(), QStringLiteral("ok"));
    QCOMPARE(report.value(QLatin1String("mail_queued")).toInt(-1), 0);
    QVERIFY(report.value(QLatin1String("connections")).toInt() >= 1); // this one
    QCOMPARE(report.size(), 3); // counts only: no path, address or name
    const QByteArray head = exchange(s.front->port(), "HEAD /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(head.startsWith("HTTP/1.1 200") && head.endsWith("\r\n\r\n"));

    // A store that fails its query: 503, for the balancer to turn elsewhere.
    s.inspect()->exec("DROP TABLE mail_queue");
    const QByteArray broken = exchange(s.front->port(), get("/healthz"));
    QVERIFY2(broken.startsWith("HTTP/1.1 503"), broken.constData());
    QCOMPARE(QJsonDocument::fromJson(bodyOf(broken)).object().value(QLatin1String("store")).toString(),
             QStringLiteral("unreachable"));
}

void TestFrontEnd::forwardedForOnlyFromTrustedProxies()
{
    Recorder r;
    QVERIFY(r.front.setTrustedProxies({QStringLiteral("127.0.0.2"), QStringLiteral("198.51.100.0/24")}));
    QVERIFY(r.start());
    const QByteArray chain = get("/", "X-Forwarded-For: 203.0.113.9, 10.1.2.3\r\nX-Forwarded-For: 198.51.100.7\r\n");
    // From a trusted proxy: the nearest hop that is not a trusted proxy.
    QCOMPARE(r.peerOf(chain, "127.0.0.2"), QByteArray("10.1.2.3"));
    QVERIFY(r.last().proxied && !r.last().secure);
    QCOMPARE(r.peerOf(chain, "127.0.0.3"), QByteArray("127.0.0.3"));
    QVERIFY(!r.last().proxied);
    QCOMPARE(r.peerOf(get("/", "X-Forwarded-For: 198.51.100.7, [2001:db8::5]\r\n"), "127.0.0.2"), QByteArray("2001:db8::5"));
    // A proxy that forwards nothing, or garbage, hands over no caller's
    // address at all, never its own.
    QCOMPARE(r.peerOf(get("/"), "127.0.0.2"), QByteArray());
    QCOMPARE(r.peerOf(get("/", "X-Forwarded-For: 203.0.113.9, not-an-address\r\n"), "127.0.0.2"), QByteArray());
    // What is plainly an address is read as one; nothing else is.
    const QList<std::pair<QByteArray, QByteArray>> hops{
        {"203.0.113.5:50123", "203.0.113.5"}, {"[2001:db8::7]", "2001:db8::7"}, {"[2001:db8::7]:5", "2001:db8::7"},
        {"unknown", ""}, {"[::1]x", ""}, {"203.0.113.5:0", ""}, {"203.0.113.5:70000", ""}, {"[203.0.113.5]", ""},
        {"fe80::1%eth0", ""}, {"198.51.100.7", ""}};
    for (const auto &[hop, caller] : hops)
        QCOMPARE(r.peerOf(get("/", "X-Forwarded-For: " + hop + "\r\n"), "127.0.0.2"), caller);
    // From anyone else the header is ignored.
    QCOMPARE(r.peerOf(chain, "127.0.0.3"), QByteArray("127.0.0.3"));

    QVERIFY(!r.front.setTrustedProxies({QStringLiteral("10.0.0.0/33")}));
    QVERIFY(!r.front.setTrustedProxies({QStringLiteral("proxy.example")}));
}

void TestFrontEnd::callersWithoutAForwardedAddressAreNobody()
{
    RunningServer s;
    QVERIFY(s.front->setTrustedProxies({QStringLiteral("127.0.0.2")}));
    const QByteArray pw = "password=pw";
    const alertserver::UserFields ann = annOfBoss(s);
    const int boss = s.store->users().byName(ann.username)->adminId;
    // Signed in through the proxy as 203.0.113.5, and bound to the proxy
    // itself as servers before this one did for an empty header.
    QCOMPARE(replyChildren(s.from("127.0.0.2", "POST", "/alertsystem/admin/login.php", "username=boss&" + pw, "X-Forwarded-For: 203.0.113.5\r\n").body).value(0),
             QStringLiteral("LOGINOK"));
    s.store->admins().bind(boss, QStringLiteral("127.0.0.2"));
    const QString list = "/alertsystem/admin/getusers.php?mrgID=" + QString::number(boss);
    QCOMPARE(userChildren(s.from("127.0.0.2", "GET", list, {}, "X-Forwarded-For: 203.0.113.5:50123\r\n").body, 0).value(1), ann.username);
    const qint64 bindings = s.count("SELECT count(*) FROM admin_sessions");
    for (const QByteArray &header : {QByteArray(), QByteArray("X-Forwarded-For: unknown\r\n"), QByteArray("X-Forwarded-For: [::1]:5, x\r\n")}) {
        // Administrator pages refuse it, and a login binds nothing.
        const auto refused = s.from("127.0.0.2", "GET", list, {}, header);
        QCOMPARE(refused.status, 403);
        QCOMPARE(replyChildren(refused.body), QStringList{QStringLiteral("<not well-formed>")});
        QCOMPARE(replyChildren(s.from("127.0.0.2", "POST", "/alertsystem/admin/login.php", "username=boss&" + pw, header).body).value(0),
                 QStringLiteral("INVALID"));
        // Client pages treat it as a stranger: no session to log into or poll.
        QCOMPARE(replyChildren(s.from("127.0.0.2", "GET", "/alertsystem/login.php?username=ann&" + pw, {}, header).body),
                 QStringList{QStringLiteral("<not well-formed>")});
        QCOMPARE(replyChildren(s.from("127.0.0.2", "GET", "/alertsystem/status.php?username=ann", {}, header).body).value(0),
                 QStringLiteral("2"));
    }
    QCOMPARE(s.count("SELECT count(*) FROM admin_sessions"), bindings);
    QCOMPARE(s.count("SELECT count(*) FROM client_sessions"), 0);
}

void TestFrontEnd::connectionsServeRequestsUntilTheirEnd()
{
    Recorder r;
    r.front.setKeepAlive(std::chrono::milliseconds(patient(300)), 3);
    QVERIFY(r.start());
    const int port = r.front.port();
    {
        // Three requests on one connection, the last one allowed closes it.
        RawConnection c(port);
        for (int i = 1; i <= 3; ++i) {
            QVERIFY(c.send(get("/" + QByteArray::number(i))));
            const QByteArray reply = c.receiveAll();
            QVERIFY2(reply.startsWith("HTTP/1.1 200") && bodyOf(reply) == "noted", reply.constData());
            QCOMPARE(r.last().target, "/" + QByteArray::number(i));
            QCOMPARE(reply.contains("Connection: close"), i == 3);
        }
        QVERIFY(c.closedByServer(patient(5000)));
    }
    // The caller's "Connection: close", HTTP/1.0, a refused request, and
    // silence past the idle time-out each end the connection after its reply.
    const QByteArray tooLong = get("/", "X-Long: " + QByteArray(17 * 1024, 'a') + "\r\n");
    for (const QByteArray &request : {get("/", "Connection: close\r\n"), QByteArray("GET / HTTP/1.0\r\n\r\n"), tooLong, get("/")}) {
        RawConnection c(port);
        QVERIFY(c.send(request));
        QVERIFY(c.receiveAll().startsWith(request == tooLong ? "HTTP/1.1 431" : "HTTP/1.1 200"));
        QVERIFY(c.closedByServer(patient(5000)));
    }
}

void TestFrontEnd::newcomersTakeThePlaceOfTheStalest()
{
    // Three connections in all; two pending a request per address, and in all.
    Recorder r;
    r.front.setConnectionCaps(3, 2, 2);
    QVERIFY(r.start());
    const int port = r.front.port();
    // Silent connections, each taken in before the next: the order of their
    // arrival decides which is the stalest.
    auto open = [&](const char *from, int pending) {
        auto c = std::make_unique<RawConnection>(port, patient(15000), from);
        return QTest::qWaitFor([&] { return r.front.pendingConnections() == pending; }, patient(5000)) ? std::move(c) : nullptr;
    };
    auto a1 = open("127.0.0.2", 1);
    auto a2 = open("127.0.0.2", 2);
    // A third from the same address takes the place of its stalest one; one
    // from elsewhere past the cap in all, that of the stalest of any address.
    auto a3 = open("127.0.0.2", 2);
    QVERIFY(a1 && a2 && a3 && a1->closedByServer(patient(5000)) && !a2->closedByServer(0));
    auto b1 = open("127.0.0.3", 2);
    QVERIFY(b1 && a2->closedByServer(patient(5000)) && !a3->closedByServer(0));
    a3->reset();
    b1->reset();
    // Two kept open after their request, one pending: the table is full, and
    // a newcomer takes the place of one idle between requests.
    RawConnection kept1(port, patient(15000), "127.0.0.5");
    QVERIFY(kept1.send(get("/")) && kept1.receiveAll().startsWith("HTTP/1.1 200"));
    QVERIFY(QTest::qWaitFor([&] { return r.front.openConnections() == 1 && r.front.pendingConnections() == 0; }, patient(5000)));
    RawConnection kept2(port, patient(15000), "127.0.0.6");
    QVERIFY(kept2.send(get("/")) && kept2.receiveAll().startsWith("HTTP/1.1 200"));
    QVERIFY(QTest::qWaitFor([&] { return r.front.openConnections() == 2 && r.front.pendingConnections() == 0; }, patient(5000)));
    auto p1 = open("127.0.0.7", 1);
    QVERIFY(p1 && r.front.openConnections() == 3);
    QCOMPARE(r.peerOf(get("/", "Connection: close\r\n"), "127.0.0.8"), QByteArray("127.0.0.8"));
    // (Which of the two went longest idle, the test cannot tell: the server
    // notes a connection idle just after its reply has left.)
    QVERIFY(QTest::qWaitFor([&] { return kept1.closedByServer(0) != kept2.closedByServer(0); }, patient(5000)));
    QVERIFY(!p1->closedByServer(0));
}

void TestFrontEnd::pollsGetThroughAFloodOfSilentConnections()
{
    RunningServer s;
    s.front->setConnectionCaps(0, 20, 60);
    annOfBoss(s);
    // Five addresses, each with more silent connections than its cap; every
    // one of them connected before the polls.
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (int a = 2; a <= 6; ++a)
        for (int i = 0; i < 30; ++i)
            flood.push_back(std::make_unique<RawConnection>(s.front->port(), patient(15000),
                                                            ("127.0.1." + QByteArray::number(a)).constData()));
    QTRY_COMPARE_WITH_TIMEOUT(s.front->pendingConnections(), 60, patient(5000));
    int answered = 0;
    for (int i = 0; i < 10; ++i)
        answered += replyChildren(s.client(QStringLiteral("/alertsystem/status.php?username=ann")).body) == QStringList{"2"};
    QVERIFY2(answered >= 9, qPrintable(QString::number(answered)));
}

void TestFrontEnd::bodiesCostWhatTheirPathAllows()
{
    RunningServer s;
    // A megabyte announced where none or a small form is taken: refused from
    // the head, before a byte of the body is sent.
    const QByteArray megabyte = length(1024 * 1024);
    QVERIFY(exchange(s.front->port(), get("/alertsystem/status.php?username=ann", megabyte)).startsWith("HTTP/1.1 413"));
    QVERIFY(exchange(s.front->port(), post("/alertsystem/admin/login.php", megabyte, {})).startsWith("HTTP/1.1 413"));
    QVERIFY(exchange(s.front->port(), post("/alertsystem/admin/edituser.php", length(9 * 1024), {})).startsWith("HTTP/1.1 413"));

    // One budget for all bodies on their way: three bodies of 100 KiB fill it;
    // a fourth is refused before anything of it is kept, until one is done.
    Recorder r;
    r.front.setBodyBudget(300 * 1024);
    QVERIFY(r.start());
    const QByteArray body(100 * 1024, 'b');
    std::vector<std::unique_ptr<RawConnection>> senders;
    for (int i = 0; i < 3; ++i) {
        senders.push_back(std::make_unique<RawConnection>(r.front.port(), patient(15000)));
        QVERIFY(senders.back()->send(post("/", length(body.size()), body.left(10))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(r.front.bodyBudgetLeft(), 0, patient(5000));
    QVERIFY(exchange(r.front.port(), post("/", length(body.size()), body)).startsWith("HTTP/1.1 503"));
    QVERIFY(senders[0]->send(body.mid(10)) && senders[0]->receiveAll().startsWith("HTTP/1.1 200"));
    QCOMPARE(r.last().body, body);
    QVERIFY(QTest::qWaitFor([&] { return exchange(r.front.port(), post("/", length(body.size()), body)).startsWith("HTTP/1.1 200"); },
                            patient(5000)));
}

void TestFrontEnd::servesHttpsWithTheGivenCertificate()
{
    QTemporaryDir dir;
    testsupport::TestCertificates ours, theirs;
    QVERIFY2(ours.make(dir.path(), QStringLiteral("ours")), qPrintable(ours.error));
    QVERIFY2(theirs.make(dir.path(), QStringLiteral("theirs")), qPrintable(theirs.error));
    Recorder r;
    QString error;
    QVERIFY(!r.front.useTls(ours.certificateFile, theirs.keyFile, &error));
    QVERIFY2(error.contains(ours.certificateFile), qPrintable(error));
    QVERIFY2(r.front.useTls(ours.certificateFile, ours.keyFile, &error), qPrintable(error));
    QVERIFY(r.start());

    // Verified against the test's own authority, the name 127.0.0.1 included.
    QSslSocket socket;
    QVERIFY2(encrypted(socket, ours.caFile, r.front.port()), qPrintable(socket.errorString()));
    socket.write(get("/alertsystem/status.php?username=ann", "Connection: close\r\n"));
    QByteArray reply;
    while (socket.waitForReadyRead(patient(5000)))
        reply += socket.readAll();
    QVERIFY2(reply.startsWith("HTTP/1.1 200"), reply.constData());
    QCOMPARE(bodyOf(reply), QByteArray("noted"));
    QCOMPARE(r.last().target, QByteArray("/alertsystem/status.php?username=ann"));
    // Plain http on the https port gets no reply.
    QVERIFY(!exchange(r.front.port(), get("/")).startsWith("HTTP/"));
}

void TestFrontEnd::wedgedWorkersAreNotReportedAlive()
{
    // One worker, held by a request until the test lets it go.
    std::atomic<bool> held{false}, release{false}, alive{false};
    alertserver::HttpFrontEnd front(
        [&](const alertserver::HttpRequest &) {
            held = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return alertserver::HttpReply{200, "text/plain", "done"};
        },
        1);
    QVERIFY(front.bind(QStringLiteral("127.0.0.1"), 0));
    front.start();
    std::thread caller([port = front.port()] { exchange(port, get("/")); });
    // Let go however the test ends, or stopping would wait on it for ever.
    const auto letGo = qScopeGuard([&] {
        release = true;
        caller.join();
    });
    QTRY_VERIFY_WITH_TIMEOUT(held, patient(10000));
    front.whenResponsive([&] { alive = true; });
    QVERIFY(!QTest::qWaitFor([&] { return alive.load(); }, patient(300)));
    release = true;
    QTRY_VERIFY_WITH_TIMEOUT(alive, patient(10000));
}

void TestFrontEnd::tls12OffersForwardSecrecyOnly()
{
    // An RSA key, so that static RSA suites could be chosen at all.
    QTemporaryDir dir;
    const QString cert = dir.filePath(QStringLiteral("rsa.crt")), key = dir.filePath(QStringLiteral("rsa.key"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                              QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
                                              QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-days"), QStringLiteral("1"),
                                              QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
    QVERIFY(openssl.waitForFinished(patient(30000)) && openssl.exitCode() == 0);
    Recorder r;
    QVERIFY(r.front.useTls(cert, key));
    QVERIFY(r.start());
    for (const char *weak : {"AES128-SHA", "AES256-GCM-SHA384", "ECDHE-RSA-AES128-SHA", "DHE-RSA-AES128-GCM-SHA256"})
        QVERIFY2(!TlsClient(r.front.port(), TLS1_2_VERSION, weak).ready(), weak);
    for (const char *strong : {"ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-CHACHA20-POLY1305"}) {
        TlsClient c(r.front.port(), TLS1_2_VERSION, strong);
        QVERIFY2(c.exchange(get("/")).startsWith("HTTP/1.1 200"), strong);
    }
    QVERIFY(TlsClient(r.front.port(), TLS1_3_VERSION).exchange(get("/")).startsWith("HTTP/1.1 200"));
}

void TestFrontEnd::reconnectingClientsResumeTheirSession()
{
    QTemporaryDir dir;
    testsupport::TestCertificates ours;
    QVERIFY2(ours.make(dir.path(), QStringLiteral("ours")), qPrintable(ours.error));
    Recorder r;
    QVERIFY(r.front.useTls(ours.certificateFile, ours.keyFile));
    QVERIFY(r.start());
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        TlsClient first(r.front.port(), version);
        QVERIFY(first.exchange(get("/")).startsWith("HTTP/1.1 200"));
        QVERIFY(!first.resumed());
        QVERIFY(r.last().secure);
        const TlsClient::Session ticket = first.session();
        auto resumes = [&] {
            TlsClient again(r.front.port(), version, nullptr, ticket.get());
            return again.exchange(get("/")).startsWith("HTTP/1.1 200") && again.resumed();
        };
        QVERIFY(resumes());
        // The previous key still opens the ticket; the one before it no more.
        r.front.rotateTicketKeys();
        QVERIFY(resumes());
        r.front.rotateTicketKeys();
        QVERIFY(!resumes());
    }
}

void TestFrontEnd::certificateIsReadAgainWithoutCuttingConnections()
{
    QTemporaryDir dir;
    testsupport::TestCertificates ours, theirs;
    QVERIFY2(ours.make(dir.path(), QStringLiteral("ours")), qPrintable(ours.error));
    QVERIFY2(theirs.make(dir.path(), QStringLiteral("theirs")), qPrintable(theirs.error));
    const QString cert = dir.filePath(QStringLiteral("live.crt")), key = dir.filePath(QStringLiteral("live.key"));
    auto install = [&](const testsupport::TestCertificates &c) {
        QFile::remove(cert);
        QFile::remove(key);
        return QFile::copy(c.certificateFile, cert) && QFile::copy(c.keyFile, key);
    };
    QVERIFY(install(ours));
    Recorder r;
    QVERIFY(r.front.useTls(cert, key));
    QVERIFY(r.start());
    TlsClient open(r.front.port(), TLS1_3_VERSION);
    QVERIFY(open.ready());

    // Renewed: new connections get the new certificate, the open one goes on.
    QVERIFY(install(theirs));
    QString error;
    QVERIFY2(r.front.reloadTls(&error), qPrintable(error));
    QCOMPARE(TlsClient(r.front.port(), TLS1_3_VERSION).certificate(), derOf(theirs.certificateFile));
    QCOMPARE(open.certificate(), derOf(ours.certificateFile));
    QVERIFY(open.exchange(get("/")).startsWith("HTTP/1.1 200"));

    // A key that does not fit: refused, and the certificate in use stays.
    QFile::remove(key);
    QVERIFY(QFile::copy(ours.keyFile, key));
    QVERIFY(!r.front.reloadTls(&error));
    QVERIFY2(error.contains(cert), qPrintable(error));
    TlsClient later(r.front.port(), TLS1_3_VERSION);
    QCOMPARE(later.certificate(), derOf(theirs.certificateFile));
    QVERIFY(later.exchange(get("/")).startsWith("HTTP/1.1 200"));
}

void TestFrontEnd::keepsHttpsConnectionsOpen()
{
    QTemporaryDir dir;
    testsupport::TestCertificates ours;
    QVERIFY2(ours.make(dir.path(), QStringLiteral("ours")), qPrintable(ours.error));
    Recorder r;
    QVERIFY(r.front.useTls(ours.certificateFile, ours.keyFile));
    r.front.setKeepAlive(std::chrono::milliseconds(patient(300)), 10);
    QVERIFY(r.start());
    QSslSocket socket;
    QVERIFY2(encrypted(socket, ours.caFile, r.front.port()), qPrintable(socket.errorString()));
    // Two requests in one write, then a third once they are answered: each
    // answered in turn on the same connection, which then idles out.
    const QByteArray reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nnoted";
    socket.write(get("/a") + get("/b"));
    QByteArray replies;
    while (replies.size() < 2 * reply.size() && socket.waitForReadyRead(patient(5000)))
        replies += socket.readAll();
    QCOMPARE(replies, reply + reply);
    socket.write(get("/c"));
    replies.clear();
    while (replies.size() < reply.size() && socket.waitForReadyRead(patient(5000)))
        replies += socket.readAll();
    QCOMPARE(replies, reply);
    QCOMPARE(r.last().target, QByteArray("/c"));
    QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(patient(5000)));
}

QTEST_GUILESS_MAIN(TestFrontEnd)
#include "tst_frontend.moc"
