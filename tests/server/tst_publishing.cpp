// Publishing alerts over HTTP: tokens, the two body forms, the refusals, the
// limit per token, on both back ends.
#include "RawConnection.h"
#include "ServerFixture.h"

#include "server/store/PasswordHash.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace servertest;

namespace {

const QByteArray kJson = "application/json";
const QByteArray kForm = "application/x-www-form-urlencoded"; // what curl -d sends

struct Reply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// `authorization` is the whole field value; a null one sends no field.
Reply request(int port, const QByteArray &method, const QByteArray &target, const QByteArray &authorization,
              const QByteArray &type, const QByteArray &body)
{
    QByteArray r = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!authorization.isNull())
        r += "Authorization: " + authorization + "\r\n";
    if (!type.isEmpty())
        r += "Content-Type: " + type + "\r\n";
    r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    const QByteArray raw = exchange(port, r);
    Reply reply;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    reply.status = raw.startsWith("HTTP/1.1 ") ? raw.mid(9, 3).toInt() : 0;
    reply.head = raw.left(end);
    reply.body = bodyOf(raw);
    return reply;
}

QByteArray bearer(const QByteArray &token)
{
    return "Bearer " + token;
}

} // namespace

class TestPublishing : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { TVX_SKIP_WITHOUT_DATABASE(); }
    void init();
    void cleanup() { m_server.reset(); }

    void tokensPublishUntilRevoked();
    void refusalsStoreNothing_data();
    void refusalsStoreNothing();
    void limitPerTokenIsSharedByServers();
    void storeOfVersionThreeGainsTokens();

private:
    // With the test's token unless told otherwise (a null value: no field at all).
    Reply post(const QByteArray &target, const QByteArray &type, const QByteArray &body,
               const std::optional<QByteArray> &authorization = std::nullopt)
    {
        return request(m_server->front->port(), "POST", target, authorization.value_or(bearer(m_token)), type, body);
    }
    qint64 alerts() const { return m_server->count("SELECT count(*) FROM alerts"); }

    std::unique_ptr<RunningServer> m_server;
    int m_boss = 0;
    QByteArray m_token;
};

void TestPublishing::init()
{
    m_server = std::make_unique<RunningServer>();
    alertserver::Store &store = *m_server->store;
    for (const char *name : {"boss", "rival"}) {
        alertserver::AdminRegistration reg;
        reg.username = QLatin1String(name);
        reg.password = QStringLiteral("pw");
        const int id = store.admins().registerAdmin(reg).id;
        QVERIFY(id > 0 && store.admins().activateByName(reg.username));
        const QStringList users = reg.username == QLatin1String("boss") ? QStringList{"dana", "eve"} : QStringList{"mallory"};
        for (const QString &user : users)
            QCOMPARE(store.users().add(id, {user, QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}).first,
                     alertserver::Users::Addition::Added);
        if (reg.username == QLatin1String("boss"))
            m_boss = id;
    }
    const auto made = store.tokens().create(m_boss);
    QCOMPARE(made.outcome, alertserver::Tokens::Creation::Created);
    m_token = made.token;
}

void TestPublishing::tokensPublishUntilRevoked()
{
    RunningServer &s = *m_server;
    alertserver::Store &store = *s.store;
    // Long and random; only its SHA-256 is kept. Labels are unique per administrator.
    QVERIFY(m_token.size() >= 43);
    QCOMPARE(store.tokens().create(m_boss, QStringLiteral("ci")).outcome, alertserver::Tokens::Creation::Created);
    QCOMPARE(store.tokens().create(m_boss, QStringLiteral("ci")).outcome, alertserver::Tokens::Creation::LabelTaken);
    QCOMPARE(store.tokens().create(*store.admins().idByName(QStringLiteral("rival")), QStringLiteral("ci")).outcome,
             alertserver::Tokens::Creation::Created);
    QStringList labels;
    for (const alertserver::ApiToken &t : store.tokens().of(m_boss))
        labels << t.label;
    labels.sort();
    QCOMPARE(labels, (QStringList{"ci", "token-1"}));
    {
        auto db = s.inspect();
        auto q = db->query("SELECT token_hash FROM api_tokens WHERE label = 'token-1'");
        QVERIFY(q.next());
        QCOMPARE(q.blob(0), alertserver::sha256(m_token));
    }

    // JSON to named users, names as the users are stored; the answer names each alert.
    Reply r = post("/api/v1/alerts", kJson, R"({"text":"Disk full","users":["dana","EVE","dana"]})");
    QCOMPARE(r.status, 200);
    QVERIFY(r.head.contains("Content-Type: application/json"));
    const QJsonArray raised = r.json().value(QLatin1String("alerts")).toArray();
    QCOMPARE(raised.size(), 2);
    QCOMPARE(raised.at(1).toObject().value(QLatin1String("user")).toString(), QStringLiteral("eve"));
    const auto eve = store.sessions().alertsOf(store.users().byName(QStringLiteral("eve"))->id, 10);
    QCOMPARE(eve.size(), 1);
    QCOMPARE(eve.first().id, qint64(raised.at(1).toObject().value(QLatin1String("id")).toInteger()));

    // curl -d: the body is the text as sent, never form-decoded.
    r = post("/api/v1/alerts?user=dana", kForm, "Disk 100% full & a+b");
    QCOMPARE(r.status, 200);
    const auto dana = store.users().byName(QStringLiteral("dana"))->id;
    QCOMPARE(store.sessions().alertsOf(dana, 1).first().text, QStringLiteral("Disk 100% full & a+b"));
    // Everyone of the administrator, and 4096 bytes of UTF-8 exactly.
    r = post("/api/v1/alerts", kJson, "{\"all\":true,\"text\":\"" + QByteArray(2048, 'x').replace("x", "\xc3\xa9") + "\"}");
    QCOMPARE(r.status, 200);
    QCOMPARE(r.json().value(QLatin1String("alerts")).toArray().size(), 2);

    // Markup in the text is shown as text on the alert page.
    QCOMPARE(post("/api/v1/alerts?user=dana", "text/plain", "<script>alert(1)</script> & <b>").status, 200);
    QVERIFY(store.sessions().login(QStringLiteral("dana"), QStringLiteral("pw"), QStringLiteral("127.0.0.1")));
    const QByteArray page = s.client(QStringLiteral("/alertsystem/alerts.php?username=dana")).body;
    QVERIFY(page.contains("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &lt;b&gt;"));
    QVERIFY(!page.contains("<script>") && !page.contains("<b>"));

    // A user of another administrator and a name nobody has get the same refusal.
    const qint64 before = alerts();
    r = post("/api/v1/alerts?user=mallory", kForm, "x");
    QCOMPARE(r.status, 403);
    QCOMPARE(post("/api/v1/alerts?user=nobody", kForm, "x").body.replace("nobody", "mallory"), r.body);
    QCOMPARE(alerts(), before);

    // Revoked through another server on the store: refused at the next request.
    {
        alertserver::Store other(s.database.location(), 1000);
        QVERIFY(other.tokens().revoke(m_boss, QStringLiteral("token-1")));
        QVERIFY(!other.tokens().revoke(m_boss, QStringLiteral("token-1")));
    }
    r = post("/api/v1/alerts?user=dana", kForm, "after the revocation");
    QCOMPARE(r.status, 401);
    QVERIFY(r.head.contains("WWW-Authenticate: Bearer realm=\"alertserver\", error=\"invalid_token\""));
    QCOMPARE(alerts(), before);
}

void TestPublishing::refusalsStoreNothing_data()
{
    QTest::addColumn<QByteArray>("authorization"); // "" for the test's token
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    const QByteArray api = "/api/v1/alerts";
    const QByteArray toDana = api + "?user=dana";
    QTest::newRow("no token") << QByteArray("-") << toDana << kForm << QByteArray("x") << 401;
    QTest::newRow("wrong token") << bearer("dGhpcyBpcyBub3Qgb3Vycw") << toDana << kForm << QByteArray("x") << 401;
    QTest::newRow("basic credentials") << QByteArray("Basic Ym9zczpwdw==") << toDana << kForm << QByteArray("x") << 401;
    QTest::newRow("malformed JSON") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","users":["dana")") << 400;
    QTest::newRow("JSON list") << QByteArray() << api << kJson << QByteArray(R"(["x","dana"])") << 400;
    QTest::newRow("text a number") << QByteArray() << api << kJson << QByteArray(R"({"text":5,"users":["dana"]})") << 400;
    QTest::newRow("no text") << QByteArray() << api << kJson << QByteArray(R"({"users":["dana"]})") << 400;
    QTest::newRow("users a string") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","users":"dana"})") << 400;
    QTest::newRow("user a number") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","users":["dana",7]})") << 400;
    QTest::newRow("all a string") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","all":"yes"})") << 400;
    QTest::newRow("all false") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","all":false})") << 400;
    QTest::newRow("users and all") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","users":["dana"],"all":true})") << 400;
    QTest::newRow("unknown field") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","user":"dana"})") << 400;
    QTest::newRow("empty user name") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","users":[""]})") << 400;
    QTest::newRow("blank text") << QByteArray() << api << kJson << QByteArray(R"({"text":" \n ","users":["dana"]})") << 400;
    QTest::newRow("control character") << QByteArray() << api << kJson << QByteArray(R"({"text":"a\u0007b","users":["dana"]})") << 400;
    QTest::newRow("lone surrogate") << QByteArray() << api << kJson << QByteArray(R"({"text":"a\ud800b","users":["dana"]})") << 400;
    QTest::newRow("bad UTF-8 in JSON") << QByteArray() << api << kJson << QByteArray("{\"text\":\"a\xff\",\"users\":[\"dana\"]}") << 400;
    QTest::newRow("bad UTF-8 as text") << QByteArray() << toDana << kForm << QByteArray("caf\xc3") << 400;
    QTest::newRow("text without a user") << QByteArray() << api << kForm << QByteArray("x") << 400;
    QTest::newRow("unknown query field") << QByteArray() << api + "?users=dana" << kForm << QByteArray("x") << 400;
    QTest::newRow("JSON with a query") << QByteArray() << toDana << kJson << QByteArray(R"({"text":"x","all":true})") << 400;
    QTest::newRow("text over 4 KiB") << QByteArray() << toDana << kForm << QByteArray(4097, 'a') << 413;
    QTest::newRow("body over the cap") << QByteArray() << api << kJson
                                       << QByteArray(R"({"text":"x","users":[")" + QByteArray(300 * 1024, 'a') + "\"]}") << 413;
    QTest::newRow("another's user") << QByteArray() << api << kJson << QByteArray(R"({"text":"x","users":["dana","mallory"]})") << 403;
}

void TestPublishing::refusalsStoreNothing()
{
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    std::optional<QByteArray> sent;
    if (authorization == "-")
        sent = QByteArray();
    else if (!authorization.isEmpty())
        sent = authorization;
    const Reply r = post(target, type, body, sent);
    QCOMPARE(r.status, status);
    QVERIFY2(!r.json().value(QLatin1String("error")).toString().isEmpty(), r.body.constData());
    QCOMPARE(r.head.contains("WWW-Authenticate: Bearer"), status == 401);
    QCOMPARE(alerts(), 0);
    QCOMPARE(m_server->count("SELECT count(*) FROM limits"), 0);
}

void TestPublishing::limitPerTokenIsSharedByServers()
{
    RunningServer &s = *m_server;
    alertserver::Policy policy;
    policy.alertsPerToken = 2;
    s.store->setPolicy(policy);
    alertserver::Store other(s.database.location(), 1000);
    other.setPolicy(policy);
    // One request to two users counts once.
    QCOMPARE(other.tokens().publish(m_token, {QStringLiteral("dana"), QStringLiteral("eve")}, false, QStringLiteral("one")).outcome,
             alertserver::Tokens::Publication::Published);
    QCOMPARE(post("/api/v1/alerts?user=dana", kForm, "two").status, 200);
    const Reply r = post("/api/v1/alerts?user=dana", kForm, "three");
    QCOMPARE(r.status, 429);
    const qsizetype at = r.head.indexOf("Retry-After: ");
    QVERIFY(at > 0);
    const int wait = r.head.mid(at + 13, 3).trimmed().toInt();
    QVERIFY2(wait >= 1 && wait <= 60, r.head.constData());
    QCOMPARE(alerts(), 3);
    // Another token has a minute of its own.
    const QByteArray second = s.store->tokens().create(m_boss, QStringLiteral("second")).token;
    QCOMPARE(post("/api/v1/alerts?user=dana", kForm, "four", bearer(second)).status, 200);
    // Other methods are refused, in JSON, as is what the front end refuses
    // before the service sees it, and a second Authorization field.
    const Reply get = request(s.front->port(), "DELETE", "/api/v1/alerts", bearer(m_token), {}, {});
    QCOMPARE(get.status, 405);
    QVERIFY(get.head.contains("Allow: GET, POST"));
    const QByteArray unframed = bodyOf(exchange(s.front->port(), "POST /api/v1/alerts?user=dana HTTP/1.1\r\nHost: x\r\n"
                                                                  "Authorization: Bearer " + second + "\r\n\r\n"));
    QVERIFY2(QJsonDocument::fromJson(unframed).object().contains(QLatin1String("error")), unframed.constData());
    QCOMPARE(post("/api/v1/alerts?user=dana", kForm, "x", bearer(second) + "\r\nAuthorization: " + bearer(m_token)).status, 400);
    QCOMPARE(alerts(), 4);
}

void TestPublishing::storeOfVersionThreeGainsTokens()
{
    RunningServer &s = *m_server;
    const QString where = s.database.location();
    {
        auto db = s.inspect();
        undoVersionSix(*db);
        db->exec("DROP TABLE api_tokens");
        db->exec("ALTER TABLE admins DROP COLUMN origin"); // added after version 3 too
        db->execScript(s.database.isPostgres() ? "UPDATE store_version SET version = 3" : "PRAGMA user_version = 3");
    }
    alertserver::Store store(where, 1000);
    QCOMPARE(store.tokens().create(m_boss).outcome, alertserver::Tokens::Creation::Created);
    QCOMPARE(store.tokens().publish(m_token, {}, true, QStringLiteral("x")).outcome, alertserver::Tokens::Publication::NoToken);
    auto db = s.inspect();
    auto q = s.database.isPostgres() ? db->query("SELECT version FROM store_version") : db->query("PRAGMA user_version");
    QVERIFY(q.next());
    QCOMPARE(q.integer(0), qint64(alertserver::Store::kSchemaVersion));
}

QTEST_GUILESS_MAIN(TestPublishing)
#include "tst_publishing.moc"
