// The publisher console's sign-in and its guard over HTTP, on both back ends:
// cookies, CSRF tokens, Origin, the https rule, sessions shared and ended
// across servers, and the security headers of every HTML page.
#include "RawConnection.h"
#include "ServerFixture.h"

#include "server/cli/Options.h"
#include "server/cli/StoreCommands.h"
#include "server/console/ConsoleGuard.h"
#include "server/store/Database.h"
#include "server/store/PasswordHash.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace servertest;

namespace {

struct Reply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    QString json(const char *key) const { return QJsonDocument::fromJson(body).object().value(QLatin1String(key)).toString(); }
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n'))
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        return {};
    }
};

Reply call(int port, const QByteArray &method, const QByteArray &target, const QByteArrayList &fields = {},
           const QByteArray &body = {}, const char *from = nullptr)
{
    QByteArray r = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const QByteArray &field : fields)
        if (!field.isEmpty())
            r += field + "\r\n";
    if (method == "POST")
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    const QByteArray raw = exchange(port, r + "\r\n" + body, from);
    Reply reply;
    reply.status = raw.startsWith("HTTP/1.1 ") ? raw.mid(9, 3).toInt() : 0;
    reply.head = raw.left(raw.indexOf("\r\n\r\n"));
    reply.body = bodyOf(raw);
    return reply;
}

const QByteArray kJson = "Content-Type: application/json";
const QByteArray kOrigin = "Origin: http://localhost";

// A signed-in browser: its cookie and CSRF token.
struct Browser
{
    QByteArray cookie;
    QByteArray csrf;
    QByteArray cookieField() const { return "Cookie: console=" + cookie; }
    QByteArray csrfField() const { return "X-CSRF-Token: " + csrf; }
};

} // namespace

class TestConsoleAuth : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { TVX_SKIP_WITHOUT_DATABASE(); }
    void init();
    void cleanup() { m_server.reset(); }

    void signInKeepsOnlyTheCookiesHash();
    void hostileRequestsAreRefused();
    void sessionsAreSharedAndEndEverywhere();
    void failedSignInsAreLimited();
    void plainHttpOnlyToThisMachine();
    void everyHtmlPageCarriesTheSecurityHeaders();

private:
    int port() const { return m_server->front->port(); }
    Reply signIn(const QString &name, const QString &password)
    {
        const QByteArray body = QJsonDocument(QJsonObject{{"name", name}, {"password", password}}).toJson();
        return call(port(), "POST", "/console/api/signin", {kJson, kOrigin}, body);
    }
    Browser signedIn(const QString &name, const QString &password)
    {
        const Reply r = signIn(name, password);
        const QByteArray set = r.header("Set-Cookie");
        return {set.mid(8, set.indexOf(';') - 8), r.json("csrf").toLatin1()};
    }
    Reply signOut(const Browser &b, int at = 0)
    {
        return call(at ? at : port(), "POST", "/console/api/signout", {kJson, kOrigin, b.cookieField(), b.csrfField()}, "{}");
    }
    int session(const Browser &b, int at = 0)
    {
        return call(at ? at : port(), "GET", "/console/api/session", {b.cookieField()}).status;
    }
    int storeCommand(const char *command, const QString &name)
    {
        return alertserver::cli::runStoreCommand(QLatin1String(command), {name}, {}, m_server->database.location()).value_or(-2);
    }

    std::unique_ptr<RunningServer> m_server;
    int m_boss = 0;
};

void TestConsoleAuth::init()
{
    m_server = std::make_unique<RunningServer>();
    auto &admins = m_server->store->admins();
    for (const char *name : {"boss", "ann", "newbie"}) {
        alertserver::AdminRegistration reg;
        reg.username = QLatin1String(name);
        reg.password = QStringLiteral("secret ") + QLatin1String(name);
        reg.email = QLatin1String(name) + QStringLiteral("@example.org");
        const int id = admins.registerAdmin(reg).id;
        if (reg.username != QLatin1String("newbie"))
            admins.approve(reg.username);
        if (reg.username == QLatin1String("boss"))
            m_boss = id;
    }
}

void TestConsoleAuth::signInKeepsOnlyTheCookiesHash()
{
    const Reply r = signIn(QStringLiteral("BOSS"), QStringLiteral("secret boss"));
    QCOMPARE(r.status, 200);
    QCOMPARE(r.json("admin"), QStringLiteral("boss"));
    QCOMPARE(r.header("Cache-Control"), QByteArray("no-store"));
    const QByteArray set = r.header("Set-Cookie");
    QVERIFY2(set.startsWith("console=") && set.contains("; Path=/console/; HttpOnly; SameSite=Strict") && !set.contains("Secure"),
             set.constData());
    const Browser b = signedIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    QVERIFY(alertserver::ConsoleSessions::plausible(b.cookie));
    const Reply again = call(port(), "GET", "/console/api/session", {b.cookieField()});
    QCOMPARE(again.status, 200);
    QCOMPARE(again.json("csrf").toLatin1(), b.csrf);
    // The store holds the hash, never the cookie.
    auto db = m_server->inspect();
    QVERIFY(db->exists("SELECT 1 FROM console_sessions WHERE key_hash = ?", alertserver::sha256(b.cookie)));
    QVERIFY(!db->exists("SELECT 1 FROM console_sessions WHERE key_hash = ?", b.cookie));

    QCOMPARE(signIn(QStringLiteral("boss"), QStringLiteral("wrong")).status, 401);
    QCOMPARE(signIn(QStringLiteral("nobody"), QStringLiteral("secret boss")).status, 401);
    QCOMPARE(signIn(QStringLiteral("newbie"), QStringLiteral("secret newbie")).status, 403);
    QCOMPARE(call(port(), "POST", "/console/api/signin", {kJson, kOrigin}, "{\"name\": 1}").status, 400);
    // Signing in sets nothing of the wizard's.
    QCOMPARE(db->scalar<qint64>("SELECT count(*) FROM admin_sessions").value_or(-1), 0);
}

void TestConsoleAuth::hostileRequestsAreRefused()
{
    const Browser boss = signedIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    const Browser ann = signedIn(QStringLiteral("ann"), QStringLiteral("secret ann"));
    const QByteArray bossOnly = boss.cookieField();
    // No cookie, a made-up one, one sent twice.
    QCOMPARE(call(port(), "GET", "/console/api/session").status, 401);
    QCOMPARE(session({alertserver::randomToken(32), {}}), 401);
    QCOMPARE(call(port(), "GET", "/console/api/session", {bossOnly + "; console=" + ann.cookie}).status, 401);
    QCOMPARE(call(port(), "POST", "/console/api/signout", {kJson, kOrigin, boss.csrfField()}, "{}").status, 401);
    // Another administrator's cookie acts as that administrator alone, and
    // its token does not go with another session.
    QCOMPARE(call(port(), "GET", "/console/api/session", {ann.cookieField()}).json("admin"), QStringLiteral("ann"));
    QCOMPARE(signOut({boss.cookie, ann.csrf}).status, 403);
    QCOMPARE(signOut({boss.cookie, alertserver::ConsoleGuard::csrfOf(alertserver::randomToken(32))}).status, 403);
    QCOMPARE(call(port(), "POST", "/console/api/signout", {kJson, kOrigin, bossOnly}, "{}").status, 403);
    // Origin: another site, none, "null", an address the server is not
    // reached at; a body that is no JSON.
    for (const QByteArray &origin : QByteArrayList{"Origin: http://evil.example", "", "Origin: null",
                                                   "Origin: http://10.0.0.1", "Origin: http://localhost.evil.example"}) {
        QCOMPARE(call(port(), "POST", "/console/api/signout", {kJson, bossOnly, boss.csrfField(), origin}, "{}").status, 403);
        QCOMPARE(call(port(), "POST", "/console/api/signin", {kJson, origin},
                      R"({"name": "boss", "password": "secret boss"})").status, 403);
    }
    QCOMPARE(call(port(), "POST", "/console/api/signout",
                  {"Content-Type: application/x-www-form-urlencoded", kOrigin, bossOnly, boss.csrfField()}, "a=b").status,
             415);
    QCOMPARE(call(port(), "POST", "/console/api/signout", {kJson, "Origin: http://127.0.0.1:1", bossOnly, boss.csrfField()}, "{}").status,
             200); // the address the server listens on is its own
    QCOMPARE(session(boss), 401);
    QCOMPARE(session(ann), 200);
    // Refusals of the area are JSON and never cached.
    const Reply unknown = call(port(), "GET", "/console/api/nothing");
    QCOMPARE(unknown.status, 404);
    QCOMPARE(unknown.header("Cache-Control"), QByteArray("no-store"));
    QVERIFY(unknown.body.startsWith("{\"error\""));
}

void TestConsoleAuth::sessionsAreSharedAndEndEverywhere()
{
    RunningServer &s = *m_server;
    // A second server on the same store, as a second process would be.
    alertserver::Store otherStore(s.database.location(), 1000);
    alertserver::AlertService otherService(otherStore, *s.delivery, *s.skins, QString());
    alertserver::HttpFrontEnd otherFront(otherService, 2);
    QVERIFY(otherFront.bind(QStringLiteral("127.0.0.1"), 0));
    otherService.setFallbackBase(QStringLiteral("http://127.0.0.1:%1").arg(otherFront.port()));
    otherFront.start();
    const int other = otherFront.port();

    Browser b = signedIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    QCOMPARE(session(b, other), 200);
    QCOMPARE(signOut(b, other).status, 200);
    QCOMPARE(session(b), 401);

    // Half an hour unused, or twelve hours old: over, and swept away. A
    // session in use is written back at most once a minute, so a look-up
    // stays a read.
    auto db = s.inspect();
    const auto age = [&](const Browser &x, qint64 unused, qint64 opened) {
        const qint64 t = QDateTime::currentSecsSinceEpoch();
        db->exec("UPDATE console_sessions SET last_used = ?, created_at = ? WHERE key_hash = ?", t - unused, t - opened,
                 alertserver::sha256(x.cookie));
    };
    const auto lastUsed = [&](const Browser &x) {
        return QDateTime::currentSecsSinceEpoch()
            - db->scalar<qint64>("SELECT last_used FROM console_sessions WHERE key_hash = ?", alertserver::sha256(x.cookie)).value_or(0);
    };
    const Browser idle = signedIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    const Browser old = signedIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    b = signedIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    age(idle, 30 * 60 + 1, 30 * 60 + 1);
    age(old, 0, 12 * 3600 + 1);
    QCOMPARE(session(idle), 401);
    QCOMPARE(session(old, other), 401);
    age(b, 30, 600);
    QCOMPARE(session(b), 200);
    QVERIFY(lastUsed(b) >= 30);
    age(b, 29 * 60, 600);
    QCOMPARE(session(b, other), 200);
    QVERIFY(lastUsed(b) < 60);
    const auto live = [&] { return s.count("SELECT count(*) FROM console_sessions"); };
    QCOMPARE(live(), 3);
    s.store->sweep();
    QCOMPARE(live(), 1);

    // A new password, an expiry, a deleted account end the sessions, on
    // every server.
    const Browser ann = signedIn(QStringLiteral("ann"), QStringLiteral("secret ann"));
    QVERIFY(s.store->admins().setPassword(QStringLiteral("boss"), QStringLiteral("new secret")));
    QCOMPARE(session(b, other), 401);
    QCOMPARE(session(ann, other), 200);
    b = signedIn(QStringLiteral("boss"), QStringLiteral("new secret"));
    QCOMPARE(session(b), 200);
    QCOMPARE(storeCommand("expire-admin", QStringLiteral("boss")), 0);
    QCOMPARE(session(b), 401);
    QCOMPARE(live(), 1);
    QCOMPARE(storeCommand("delete-admin", QStringLiteral("ann")), 0);
    QCOMPARE(session(ann), 401);
    QCOMPARE(live(), 0);
    otherFront.stop();
}

void TestConsoleAuth::failedSignInsAreLimited()
{
    alertserver::Policy policy;
    policy.loginFailuresPerName = 2;
    policy.loginFailuresPerAddress = 3;
    m_server->store->setPolicy(policy);
    QCOMPARE(signIn(QStringLiteral("boss"), QStringLiteral("guess 1")).status, 401);
    QCOMPARE(signIn(QStringLiteral("boss"), QStringLiteral("guess 2")).status, 401);
    // Now the right password waits too.
    const Reply limited = signIn(QStringLiteral("boss"), QStringLiteral("secret boss"));
    QCOMPARE(limited.status, 429);
    const int wait = limited.header("Retry-After").toInt();
    QVERIFY2(wait >= 1 && wait <= 15 * 60, limited.head.constData());
    // Per address: another name from here is refused after one more failure.
    QCOMPARE(signIn(QStringLiteral("ann"), QStringLiteral("guess")).status, 401);
    QCOMPARE(signIn(QStringLiteral("ann"), QStringLiteral("secret ann")).status, 429);
}

void TestConsoleAuth::plainHttpOnlyToThisMachine()
{
    RunningServer &s = *m_server;
    // Any caller on this machine may use plain http, whatever its address.
    QCOMPARE(call(port(), "GET", "/console/", {}, {}, "127.0.0.2").status, 200);
    const Reply fromHere = call(port(), "POST", "/console/api/signin", {kJson, kOrigin},
                                R"({"name": "boss", "password": "secret boss"})", "127.0.0.2");
    QCOMPARE(fromHere.status, 200);

    // Behind a trusted proxy on this machine every TCP peer is loopback;
    // the caller is what the proxy forwards, and how it reached the proxy
    // only the public address says.
    const auto behindProxy = [&](const QString &publicBase) {
        auto service = std::make_unique<alertserver::AlertService>(*s.store, *s.delivery, *s.skins, s.base);
        if (!publicBase.isEmpty())
            service->setPublicBase(publicBase);
        auto front = std::make_unique<alertserver::HttpFrontEnd>(*service, 2);
        front->setTrustedProxies({QStringLiteral("127.0.0.3")});
        front->bind(QStringLiteral("127.0.0.1"), 0);
        front->start();
        return std::make_pair(std::move(service), std::move(front));
    };
    const QByteArray body = R"({"name": "boss", "password": "secret boss"})";
    {
        auto plain = behindProxy({});
        const int p = plain.second->port();
        for (const QByteArray &forwarded : {QByteArray("198.51.100.7"), QByteArray("127.0.0.1"), QByteArray("unknown")}) {
            const QByteArray xff = "X-Forwarded-For: " + forwarded;
            QCOMPARE(call(p, "GET", "/console/", {xff}, {}, "127.0.0.3").status, 403);
            QCOMPARE(call(p, "GET", "/console/console.js", {xff}, {}, "127.0.0.3").status, 403);
            QCOMPARE(call(p, "POST", "/console/api/signin", {kJson, kOrigin, xff}, body, "127.0.0.3").status, 403);
            QCOMPARE(call(p, "GET", "/console/api/session", {xff, "Cookie: console=" + fromHere.header("Set-Cookie").mid(8, 43)},
                          {}, "127.0.0.3").status,
                     403);
        }
        // The same server straight from this machine.
        QCOMPARE(call(p, "GET", "/console/", {}, {}, "127.0.0.2").status, 200);
        plain.second->stop();
    }
    auto https = behindProxy(QStringLiteral("https://alerts.example.org"));
    const int p = https.second->port();
    const QByteArray xff = "X-Forwarded-For: 198.51.100.7";
    QCOMPARE(call(p, "GET", "/console/", {xff}, {}, "127.0.0.3").status, 200);
    QCOMPARE(call(p, "POST", "/console/api/signin", {kJson, kOrigin, xff}, body, "127.0.0.3").status, 200);
    const Reply r = call(p, "POST", "/console/api/signin", {kJson, "Origin: https://alerts.example.org", xff}, body, "127.0.0.3");
    QCOMPARE(r.status, 200);
    // Over https the cookie is Secure and bound to this very host.
    const QByteArray set = r.header("Set-Cookie");
    QVERIFY2(set.startsWith("__Host-console=") && set.contains("; Path=/; Secure; HttpOnly; SameSite=Strict"), set.constData());
    const QByteArray cookie = set.mid(15, 43);
    QCOMPARE(call(p, "GET", "/console/api/session", {xff, "Cookie: __Host-console=" + cookie}, {}, "127.0.0.3").status, 200);
    QCOMPARE(call(p, "GET", "/console/api/session", {xff, "Cookie: console=" + cookie}, {}, "127.0.0.3").status, 401);
    https.second->stop();
}

void TestConsoleAuth::everyHtmlPageCarriesTheSecurityHeaders()
{
    RunningServer &s = *m_server;
    QCOMPARE(s.store->users().add(m_boss, {QStringLiteral("dana"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}).first,
             alertserver::Users::Addition::Added);
    QVERIFY(s.store->sessions().login(QStringLiteral("dana"), QStringLiteral("pw"), QStringLiteral("127.0.0.1")));
    alertserver::Publication emergency;
    emergency.text = QStringLiteral("Evacuate <now>");
    emergency.priority = alertserver::Priority::Emergency;
    QVERIFY(s.store->sessions().raise(QStringLiteral("dana"), emergency));

    const Reply alertPage = call(port(), "GET", "/alertsystem/alerts.php?_vartime=20261210000000&username=dana");
    QCOMPARE(alertPage.status, 200);
    QVERIFY(alertPage.body.contains("EMERGENCY") && alertPage.body.contains("/alertsystem/pages.css"));
    // The policy blocks inline style and script: the pages carry none.
    QVERIFY(!QString::fromUtf8(alertPage.body).contains(QRegularExpression(QStringLiteral("<style|<script|\\s(style|on[a-z]+)\\s*="))));
    const Reply sheet = call(port(), "GET", "/alertsystem/pages.css");
    QCOMPARE(sheet.header("Content-Type"), QByteArray("text/css; charset=UTF-8"));
    QVERIFY(sheet.body.contains(".emergency{"));

    QList<Reply> pages{alertPage, call(port(), "GET", "/alertsystem/pages/help.php"),
                       call(port(), "GET", "/alertsystem/admin/activate.php?code=00"), call(port(), "GET", "/console/"),
                       call(port(), "HEAD", "/console/")};
    for (const Reply &page : pages) {
        QVERIFY2(page.header("Content-Type").startsWith("text/html"), page.head.constData());
        QCOMPARE(page.header("Content-Security-Policy"),
                 QByteArray("default-src 'self'; frame-ancestors 'none'; form-action 'self'; base-uri 'none'"));
        QCOMPARE(page.header("X-Content-Type-Options"), QByteArray("nosniff"));
        QCOMPARE(page.header("X-Frame-Options"), QByteArray("DENY"));
        QCOMPARE(page.header("Referrer-Policy"), QByteArray("no-referrer"));
    }

    // The console's files, whatever the package holds, with their types.
    QFile index(QStringLiteral(":/console/index.html"));
    QVERIFY(index.open(QIODevice::ReadOnly));
    QCOMPARE(pages[3].body, index.readAll());
    QVERIFY(pages[4].body.isEmpty());
    for (const QString &name : QDir(QStringLiteral(":/console")).entryList(QDir::Files))
        QCOMPARE(call(port(), "GET", "/console/" + name.toUtf8()).status, 200);
    const Reply script = call(port(), "GET", "/console/console.js");
    QCOMPARE(script.header("Content-Type"), QByteArray("text/javascript; charset=UTF-8"));
    QCOMPARE(script.header("X-Content-Type-Options"), QByteArray("nosniff"));
    QCOMPARE(call(port(), "GET", "/console/console.css").header("Content-Type"), QByteArray("text/css; charset=UTF-8"));
    for (const QByteArray &missing : {QByteArray("/console/nothing.js"), QByteArray("/console/static/console.js"),
                                      QByteArray("/console/../alertserver.db")})
        QCOMPARE(call(port(), "GET", missing).status, 404);
    QCOMPARE(call(port(), "POST", "/console/", {kJson, kOrigin}).status, 405);
}

QTEST_MAIN(TestConsoleAuth)
#include "tst_console_auth.moc"
