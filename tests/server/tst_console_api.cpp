// The publisher console's JSON interface, called as the guard calls it (a
// checked administrator) on a real store, both back ends: the same answers as
// the publishing interface, only the caller's own, strict bodies, the
// console's send limit, tokens, and an administrator of 32,767 users.
#include "ServerFixture.h"

#include "server/console/ConsoleApi.h"
#include "server/controllers/Publishing.h"
#include "server/web/Router.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

using namespace alertserver;

namespace {

struct Answer
{
    int status = 0;
    QJsonObject json;
    QByteArray retryAfter;
};

const QString kScript = QStringLiteral("<script>alert(\"x\")</script> & <b>'%_\\");

QJsonArray array(const Answer &a, const char *key)
{
    return a.json.value(QLatin1String(key)).toArray();
}

} // namespace

class TestConsoleApi : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { TVX_SKIP_WITHOUT_DATABASE(); }
    void init();
    void cleanup()
    {
        m_api.reset();
        m_publishing.reset();
        m_server.reset();
    }

    void sendsAndReadsAsThePublishingInterface();
    void consoleSendsHaveALimitOfTheirOwn();
    void tokensNeedThePasswordAgain();
    void manyUsersArePagedAndSearched();

private:
    // A request as the router hands it on: `target` is path and query,
    // `rest` what follows a route ending in "/".
    template <typename Page>
    Answer call(Page page, const QByteArray &method, const QByteArray &target, const QByteArray &body = {},
                const QByteArray &token = {}, const QByteArray &rest = {})
    {
        HttpRequest http;
        http.method = method;
        http.target = target;
        http.body = body;
        http.host = "127.0.0.1";
        http.peer = "127.0.0.2";
        http.headers = {{"Host", "127.0.0.1"}, {"Content-Type", "application/json"}};
        if (!token.isEmpty())
            http.headers.append({"Authorization", "Bearer " + token});
        const qsizetype q = target.indexOf('?');
        PageRequest r{http, target.left(q), rest, q < 0 ? QByteArray() : target.mid(q + 1), {}, {}};
        const HttpReply reply = page(r);
        Answer a{reply.status, QJsonDocument::fromJson(reply.body).object(), {}};
        for (const auto &[name, value] : reply.headers)
            if (name == "Retry-After")
                a.retryAfter = value;
        return a;
    }
    Answer console(HttpReply (ConsoleApi::*page)(PageRequest &, const ConsoleCaller &), const QByteArray &method,
                   const QByteArray &target, const QByteArray &body = {}, const QByteArray &rest = {})
    {
        return call([&](PageRequest &r) { return (m_api.get()->*page)(r, m_caller); }, method, target, body, {}, rest);
    }
    qint64 alerts() { return m_server->count("SELECT count(*) FROM alerts"); }

    std::unique_ptr<servertest::RunningServer> m_server;
    Store *m_store = nullptr;
    std::unique_ptr<Publishing> m_publishing;
    std::unique_ptr<ConsoleApi> m_api;
    ConsoleCaller m_caller;
    int m_rival = 0;
};

void TestConsoleApi::init()
{
    m_server = std::make_unique<servertest::RunningServer>(1);
    m_store = m_server->store.get();
    m_publishing = std::make_unique<Publishing>(*m_store, *m_server->delivery);
    m_api = std::make_unique<ConsoleApi>(*m_store, *m_server->delivery);
    for (const QString &name : {QStringLiteral("boss"), QStringLiteral("rival")}) {
        AdminRegistration reg;
        reg.username = name;
        reg.password = QStringLiteral("pw");
        const int id = m_store->admins().registerAdmin(reg).id;
        QVERIFY(id > 0 && m_store->admins().activateByName(name));
        const QStringList users = name == QLatin1String("boss") ? QStringList{"dana", "eve", "fay"} : QStringList{"mallory"};
        for (const QString &user : users)
            QCOMPARE(m_store->users().add(id, {user, QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}).first,
                     Users::Addition::Added);
        if (name == QLatin1String("boss"))
            m_caller = {id, name, "session"};
        else
            m_rival = id;
    }
}

void TestConsoleApi::sendsAndReadsAsThePublishingInterface()
{
    // Script in the text and the user's fields comes back as the same string.
    QVERIFY(m_store->users().edit(m_store->users().byName(QStringLiteral("eve"))->id,
                                  {QStringLiteral("eve"), QStringLiteral("pw"), kScript, kScript, {}, {}, {}, {}}));
    const QJsonObject send{{QStringLiteral("text"), kScript},
                           {QStringLiteral("priority"), QStringLiteral("emergency")},
                           {QStringLiteral("users"), QJsonArray{QStringLiteral("dana"), QStringLiteral("EVE")}}};
    const Answer sent = console(&ConsoleApi::alerts, "POST", "/console/api/alerts", QJsonDocument(send).toJson());
    QCOMPARE(sent.status, 200);
    QCOMPARE(array(sent, "alerts").size(), 2);
    QCOMPARE(array(sent, "alerts").at(1).toObject().value(QLatin1String("user")).toString(), QStringLiteral("eve"));
    const qint64 id = array(sent, "alerts").at(0).toObject().value(QLatin1String("id")).toInteger();
    // Dana's client is told of it: figures that are not all zero.
    QVERIFY(m_store->sessions().login(QStringLiteral("dana"), QStringLiteral("pw"), QStringLiteral("127.0.0.3")));
    QCOMPARE(m_store->sessions().poll(QStringLiteral("dana"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.3")), 1);

    // The list and the detail are the publishing interface's, figures and all.
    const QByteArray token = m_store->tokens().create(m_caller.adminId).token;
    const auto viaToken = [&](const QByteArray &target, const QByteArray &rest = {}) {
        return call([&](PageRequest &r) { return rest.isEmpty() ? m_publishing->list(r) : m_publishing->one(r); }, "GET",
                    target, {}, token, rest);
    };
    const Answer listed = console(&ConsoleApi::alerts, "GET", "/console/api/alerts?limit=5");
    QCOMPARE(listed.status, 200);
    QCOMPARE(listed.json, viaToken("/api/v1/alerts?limit=5").json);
    const QJsonObject first = array(listed, "alerts").at(0).toObject();
    QCOMPARE(first.value(QLatin1String("text")).toString(), kScript);
    QCOMPARE(first.value(QLatin1String("recipients")).toInt(), 2);
    QCOMPARE(first.value(QLatin1String("told")).toInt(), 1);
    const QByteArray publication = QByteArray::number(first.value(QLatin1String("id")).toInteger());
    const Answer detail = console(&ConsoleApi::alert, "GET", "/console/api/alerts/" + publication, {}, publication);
    QCOMPARE(detail.status, 200);
    QCOMPARE(detail.json, viaToken("/api/v1/alerts/" + publication, publication).json);
    QCOMPARE(array(detail, "recipients").at(0).toObject().value(QLatin1String("id")).toInteger(), id);

    const Answer found = console(&ConsoleApi::users, "GET", "/console/api/users?q=%3Cscript");
    QCOMPARE(array(found, "users").size(), 1);
    QCOMPARE(array(found, "users").at(0).toObject().value(QLatin1String("firstname")).toString(), kScript);

    // Another administrator's user or alert reads as none; nothing raised.
    const qint64 before = alerts();
    const Answer theirs = console(&ConsoleApi::send, "POST", "/console/api/alerts",
                                  R"({"text":"x","users":["dana","mallory"]})");
    QCOMPARE(theirs.status, 403);
    QCOMPARE(console(&ConsoleApi::send, "POST", "/console/api/alerts", R"({"text":"x","users":["nobody"]})")
                 .json.value(QLatin1String("error")).toString().replace(QLatin1String("nobody"), QLatin1String("mallory")),
             theirs.json.value(QLatin1String("error")).toString());
    Publication rivals;
    rivals.text = QStringLiteral("theirs");
    QCOMPARE(m_store->tokens().publishAs(m_rival, {QStringLiteral("mallory")}, false, rivals).alerts.size(), 1);
    const QByteArray rivalPublication =
        QByteArray::number(m_server->count("SELECT max(id) FROM alerts"));
    QCOMPARE(console(&ConsoleApi::alert, "GET", "/console/api/alerts/" + rivalPublication, {}, rivalPublication).status, 404);
    QCOMPARE(array(console(&ConsoleApi::alerts, "GET", "/console/api/alerts"), "alerts").size(), 1);

    // Bodies are read as the publishing interface reads them.
    QCOMPARE(console(&ConsoleApi::send, "POST", "/console/api/alerts", R"({"text":"x","all":true,"label":"y"})").status,
             400);
    QCOMPARE(alerts(), before + 1);
}

void TestConsoleApi::consoleSendsHaveALimitOfTheirOwn()
{
    Policy policy;
    policy.consoleAlertsPerAdmin = 2;
    policy.alertsPerToken = 1;
    m_store->setPolicy(policy);
    const QByteArray token = m_store->tokens().create(m_caller.adminId).token;
    const QByteArray toAll = R"({"text":"fire","all":true})";
    // The token's minute is its own: a token send does not count here.
    QCOMPARE(call([&](PageRequest &r) { return m_publishing->publish(r); }, "POST", "/api/v1/alerts", toAll, token).status,
             200);
    QCOMPARE(console(&ConsoleApi::send, "POST", "/console/api/alerts", toAll).status, 200);
    QCOMPARE(console(&ConsoleApi::send, "POST", "/console/api/alerts", toAll).status, 200);
    const qint64 before = alerts();
    const Answer limited = console(&ConsoleApi::send, "POST", "/console/api/alerts", toAll);
    QCOMPARE(limited.status, 429);
    QVERIFY2(limited.retryAfter.toInt() >= 1 && limited.retryAfter.toInt() <= 60, limited.retryAfter.constData());
    QCOMPARE(alerts(), before);
    // Another administrator has a minute of its own.
    m_caller = {m_rival, QStringLiteral("rival"), "other"};
    QCOMPARE(console(&ConsoleApi::send, "POST", "/console/api/alerts", toAll).status, 200);
}

void TestConsoleApi::tokensNeedThePasswordAgain()
{
    Policy policy;
    policy.loginFailuresPerName = 2;
    m_store->setPolicy(policy);
    // A wrong password is refused and counted against the name, as a failed login.
    QCOMPARE(console(&ConsoleApi::tokens, "POST", "/console/api/tokens", R"({"password":"wrong"})").status, 403);
    QVERIFY(m_store->tokens().of(m_caller.adminId).isEmpty());
    for (const QByteArray &body :
         {QByteArray(R"({"password":"pw","scope":"read"})"), QByteArray(R"({"password":"pw","label":"<b>"})"),
          QByteArray(R"({"password":"pw","extra":1})"), QByteArray(R"({"password":1})")})
        QCOMPARE(console(&ConsoleApi::tokens, "POST", "/console/api/tokens", body).status, 400);

    const Answer made = console(&ConsoleApi::tokens, "POST", "/console/api/tokens",
                                R"({"password":"pw","label":"ci","scope":"all"})");
    QCOMPARE(made.status, 201);
    QCOMPARE(made.json.value(QLatin1String("label")).toString(), QStringLiteral("ci"));
    const QByteArray token = made.json.value(QLatin1String("token")).toString().toLatin1();
    QCOMPARE(console(&ConsoleApi::tokens, "POST", "/console/api/tokens", R"({"password":"pw","label":"ci"})").status, 409);
    QCOMPARE(console(&ConsoleApi::tokens, "POST", "/console/api/tokens", R"({"password":"pw","scope":"webhook"})").status,
             201);
    const auto publish = [&] {
        return call([&](PageRequest &r) { return m_publishing->publish(r); }, "POST", "/api/v1/alerts",
                    R"({"text":"x","users":["dana"]})", token)
            .status;
    };
    QCOMPARE(publish(), 200);
    const QJsonArray listed = array(console(&ConsoleApi::tokens, "GET", "/console/api/tokens"), "tokens");
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed.at(0).toObject().value(QLatin1String("label")).toString(), QStringLiteral("ci"));
    QVERIFY(listed.at(0).toObject().value(QLatin1String("last_used")).isString());
    QCOMPARE(listed.at(1).toObject().value(QLatin1String("scope")).toString(), QStringLiteral("webhook"));
    QVERIFY(listed.at(1).toObject().value(QLatin1String("last_used")).isNull());

    QCOMPARE(console(&ConsoleApi::revokeToken, "POST", "/console/api/tokens/revoke", R"({"label":"ci"})").status, 200);
    QCOMPARE(publish(), 401);
    QCOMPARE(console(&ConsoleApi::revokeToken, "POST", "/console/api/tokens/revoke", R"({"label":"ci"})").status, 404);
    // Another administrator's label is none of the caller's.
    m_store->tokens().create(m_rival, QStringLiteral("theirs"));
    QCOMPARE(console(&ConsoleApi::revokeToken, "POST", "/console/api/tokens/revoke", R"({"label":"theirs"})").status, 404);

    // The second wrong password reaches the wizard's limit: then even the right one waits.
    QCOMPARE(console(&ConsoleApi::tokens, "POST", "/console/api/tokens", R"({"password":"wrong"})").status, 403);
    const Answer limited = console(&ConsoleApi::tokens, "POST", "/console/api/tokens", R"({"password":"pw"})");
    QCOMPARE(limited.status, 429);
    QVERIFY(limited.retryAfter.toInt() >= 1);
    QVERIFY(!m_store->limits().spend(Limit::AdminLoginName, QStringLiteral("BOSS")));
}

void TestConsoleApi::manyUsersArePagedAndSearched()
{
    // Every id the server has, all of one administrator's, in one statement.
    {
        const auto db = m_server->inspect();
        db->exec("DELETE FROM users");
        db->exec("INSERT INTO users(id, admin_id, username, name_key, password, firstname, lastname, tel, email, "
                 "wirelessno, carrier, created_at) "
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32767) "
                 "SELECT i, ?, 'u' || i, 'u' || i, 'pw', 'First' || i, 'Last', '', 'u' || i || '@example.org', '', '', 0 "
                 "FROM n",
                 m_caller.adminId);
        db->exec("UPDATE users SET firstname = ?, email = 'x%_\\y@example.org' WHERE id = 777", kScript);
    }
    QStringList names;
    for (int i = 1; i <= 32767; ++i)
        names << QStringLiteral("u%1").arg(i);
    names.sort();
    const auto page = [&](const QByteArray &query) { return console(&ConsoleApi::users, "GET", "/console/api/users?" + query); };
    const auto namesOf = [](const Answer &a) {
        QStringList out;
        for (const QJsonValue &u : array(a, "users"))
            out << u.toObject().value(QLatin1String("name")).toString();
        return out;
    };

    Answer a = page("offset=32700&limit=200");
    QCOMPARE(a.json.value(QLatin1String("total")).toInt(), 32767);
    QCOMPARE(namesOf(a), names.mid(32700));
    a = page("");
    QCOMPARE(namesOf(a), names.mid(0, 50));
    QCOMPARE(a.json.value(QLatin1String("limit")).toInt(), 50);
    // Case-insensitive, in any of the four fields.
    a = page("q=FIRST3276&limit=3");
    QCOMPARE(a.json.value(QLatin1String("total")).toInt(), 9);
    QCOMPARE(namesOf(a), (QStringList{"u3276", "u32760", "u32761"}));
    // Wildcards are themselves; script is searched for as text.
    QCOMPARE(namesOf(page("q=%25_%5C")), QStringList{"u777"});
    QCOMPARE(page("q=_").json.value(QLatin1String("total")).toInt(), 1);
    a = page("q=%3Cscript%3Ealert");
    QCOMPARE(namesOf(a), QStringList{"u777"});
    QCOMPARE(array(a, "users").at(0).toObject().value(QLatin1String("firstname")).toString(), kScript);
    // Another administrator sees none of them.
    m_caller = {m_rival, QStringLiteral("rival"), "other"};
    QCOMPARE(page("q=u").json.value(QLatin1String("total")).toInt(), 0);
    for (const QByteArray &bad : {QByteArray("limit=0"), QByteArray("limit=201"), QByteArray("offset=-1"),
                                  QByteArray("q=a&q=b"), QByteArray("sort=name"), "q=" + QByteArray(65, 'a')})
        QCOMPARE(page(bad).status, 400);
}

QTEST_GUILESS_MAIN(TestConsoleApi)
#include "tst_console_api.moc"
