// Who saw an alert: receipts written by the poll, the alert page and its
// acknowledgement form, read through the publishing interface; on both back
// ends, with two servers on one store.
#include "ServerFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <thread>

using namespace servertest;
using alertserver::HttpReply;
using alertserver::HttpRequest;

namespace {

HttpReply call(alertserver::AlertService &service, const char *peer, const QByteArray &method, const QByteArray &target,
               const QByteArray &body = {}, const QByteArray &token = {}, const QByteArray &type = {})
{
    HttpRequest r;
    r.method = method;
    r.target = target;
    r.body = body;
    r.peer = peer;
    r.host = "127.0.0.1";
    if (!type.isEmpty())
        r.headers.append({"Content-Type", type});
    if (!token.isEmpty())
        r.headers.append({"Authorization", "Bearer " + token});
    return service.handle(r);
}

QJsonObject json(const HttpReply &r)
{
    return QJsonDocument::fromJson(r.body).object();
}

// The acknowledgement form of alert `id` on an alert page, as its fields.
QByteArray formOf(const QByteArray &page, qint64 id)
{
    const QRegularExpression form(QStringLiteral("<form method=\"post\" action=\"acknowledge.php\">"
                                                 "<input type=\"hidden\" name=\"username\" value=\"([^\"]*)\">"
                                                 "<input type=\"hidden\" name=\"id\" value=\"%1\">"
                                                 "<input type=\"hidden\" name=\"token\" value=\"([^\"]*)\">")
                                      .arg(id));
    const auto m = form.match(QString::fromUtf8(page));
    if (!m.hasMatch())
        return {};
    return "username=" + m.captured(1).toUtf8() + "&id=" + QByteArray::number(id) + "&token=" + m.captured(2).toUtf8();
}

QByteArray headerOf(const HttpReply &r, const QByteArray &name)
{
    for (const auto &[key, value] : r.headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

} // namespace

class TestReceipts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { TVX_SKIP_WITHOUT_DATABASE(); }
    void init();
    void cleanup() { m_server.reset(); }

    void receiptsSayWhoSawTheAlert();
    void receiptsGoWithTheirUserAndTheirTime();
    void priorityAndExpiry();
    void monitoringWebhooksRaiseEachAlertOnce();
    void copiesGoOnlyForTheOperatorsAdministrators();
    void versionFiveStoreGainsReceipts();

private:
    std::unique_ptr<RunningServer> m_server;
    int m_boss = 0;
    QByteArray m_token;
};

void TestReceipts::init()
{
    m_server = std::make_unique<RunningServer>();
    alertserver::Store &store = *m_server->store;
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("boss");
    reg.password = QStringLiteral("pw");
    m_boss = store.admins().registerAdmin(reg).id;
    QVERIFY(m_boss > 0 && store.admins().approve(reg.username));
    for (const char *user : {"ann", "bob", "cy"})
        QCOMPARE(store.users().add(m_boss, {QLatin1String(user), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}).first,
                 alertserver::Users::Addition::Added);
    m_token = store.tokens().create(m_boss).token;
    QVERIFY(!m_token.isEmpty());
}

void TestReceipts::receiptsSayWhoSawTheAlert()
{
    RunningServer &s = *m_server;
    // A second server on the same store: ann's client talks to one, bob's
    // to the other.
    alertserver::Store otherStore(s.database.location());
    alertserver::AlertService other(otherStore, *s.delivery, *s.skins, s.base);
    alertserver::AlertService &first = *s.service;

    QVERIFY(call(first, "127.0.0.2", "GET", "/alertsystem/login.php?username=ann&password=pw").body.contains("<answer>1<"));
    QVERIFY(call(other, "127.0.0.3", "GET", "/alertsystem/login.php?username=bob&password=pw").body.contains("<answer>1<"));

    const HttpReply published = call(first, "127.0.0.9", "POST", "/api/v1/alerts",
                                     R"({"text": "Evacuate building B", "users": ["ann", "bob", "cy"]})", m_token,
                                     "application/json");
    QCOMPARE(published.status, 200);
    const QJsonArray raised = json(published).value(QLatin1String("alerts")).toArray();
    QCOMPARE(raised.size(), 3);
    const qint64 annAlert = raised.at(0).toObject().value(QLatin1String("id")).toInteger();
    const qint64 bobAlert = raised.at(1).toObject().value(QLatin1String("id")).toInteger();

    QVERIFY(call(first, "127.0.0.2", "GET", "/alertsystem/status.php?username=ann").body.contains("<answer>1<"));
    QVERIFY(call(other, "127.0.0.3", "GET", "/alertsystem/status.php?username=bob").body.contains("<answer>1<"));
    // HEAD shows nothing; a GET to a caller without a session neither.
    QCOMPARE(call(other, "127.0.0.3", "HEAD", "/alertsystem/alerts.php?username=bob").status, 200);
    QVERIFY(!call(first, "127.0.0.7", "GET", "/alertsystem/alerts.php?username=bob").body.contains("Evacuate"));
    QVERIFY(!otherStore.receipts().of(bobAlert, m_boss)->recipients.at(1).shownAt);

    const QByteArray annPage = call(first, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    const QByteArray bobPage = call(other, "127.0.0.3", "GET", "/alertsystem/alerts.php?username=bob").body;
    const QByteArray annForm = formOf(annPage, annAlert);
    QVERIFY2(!annForm.isEmpty(), annPage.constData());
    QVERIFY(!formOf(bobPage, bobAlert).isEmpty());

    // Ann's form from bob's address, for another alert, or with a token
    // changed, changes nothing.
    QCOMPARE(call(other, "127.0.0.3", "POST", "/alertsystem/acknowledge.php", annForm).status, 403);
    QCOMPARE(call(first, "127.0.0.2", "POST", "/alertsystem/acknowledge.php",
                  QByteArray(annForm).replace("&id=" + QByteArray::number(annAlert), "&id=" + QByteArray::number(bobAlert)))
                 .status,
             403);
    QCOMPARE(call(first, "127.0.0.2", "POST", "/alertsystem/acknowledge.php", annForm.chopped(2) + "xx").status, 403);
    QVERIFY(!otherStore.receipts().of(annAlert, m_boss)->recipients.at(0).acknowledgedAt);

    const HttpReply acked = call(other, "127.0.0.2", "POST", "/alertsystem/acknowledge.php", annForm);
    QCOMPARE(acked.status, 303);
    QCOMPARE(headerOf(acked, "Location"), QByteArray("alerts.php?username=ann"));
    const auto receipts = s.store->receipts().of(bobAlert, m_boss);
    QVERIFY(receipts);
    QCOMPARE(receipts->id, annAlert);
    QCOMPARE(receipts->recipients.size(), 3);
    const auto &ann = receipts->recipients.at(0), &bob = receipts->recipients.at(1), &cy = receipts->recipients.at(2);
    QCOMPARE(ann.username + bob.username + cy.username, QStringLiteral("annbobcy"));
    QCOMPARE(ann.raisedFrom, QStringLiteral("127.0.0.9"));
    QVERIFY(ann.toldAt && ann.shownAt && ann.acknowledgedAt);
    QCOMPARE(ann.toldFrom + ann.shownFrom + ann.acknowledgedFrom, QStringLiteral("127.0.0.2127.0.0.2127.0.0.2"));
    QVERIFY(bob.toldAt && bob.shownAt && !bob.acknowledgedAt);
    QCOMPARE(bob.toldFrom, QStringLiteral("127.0.0.3"));
    QVERIFY(!cy.toldAt && !cy.shownAt && !cy.acknowledgedAt);

    // The publisher reads the same, by any of the ids it was given; another
    // administrator's token finds nothing.
    const QJsonObject read = json(call(other, "127.0.0.9", "GET", "/api/v1/alerts/" + QByteArray::number(bobAlert), {}, m_token));
    QCOMPARE(read.value(QLatin1String("id")).toInteger(), annAlert);
    QCOMPARE(read.value(QLatin1String("priority")).toString(), QStringLiteral("normal"));
    QStringList seen;
    for (const QJsonValue &v : read.value(QLatin1String("recipients")).toArray()) {
        const QJsonObject r = v.toObject();
        seen << r.value(QLatin1String("user")).toString() + u':' + (r.value(QLatin1String("told")).isNull() ? u'-' : u'T')
                + (r.value(QLatin1String("shown")).isNull() ? u'-' : u'S')
                + (r.value(QLatin1String("acknowledged")).isNull() ? u'-' : u'A');
    }
    QCOMPARE(seen, (QStringList{QStringLiteral("ann:TSA"), QStringLiteral("bob:TS-"), QStringLiteral("cy:---")}));
    const QJsonObject listed =
        json(call(first, "127.0.0.9", "GET", "/api/v1/alerts?since=2000-01-01T00:00:00Z&limit=5", {}, m_token))
            .value(QLatin1String("alerts")).toArray().at(0).toObject();
    QCOMPARE(QStringList({QString::number(listed.value(QLatin1String("recipients")).toInt()),
                          QString::number(listed.value(QLatin1String("told")).toInt()),
                          QString::number(listed.value(QLatin1String("shown")).toInt()),
                          QString::number(listed.value(QLatin1String("acknowledged")).toInt())}),
             (QStringList{"3", "2", "2", "1"}));
    alertserver::AdminRegistration rivalReg;
    rivalReg.username = QStringLiteral("rival");
    rivalReg.password = QStringLiteral("pw");
    QVERIFY(s.store->admins().registerAdmin(rivalReg).id > 0 && s.store->admins().approve(rivalReg.username));
    const QByteArray rival = s.store->tokens().create(s.store->admins().idByName(rivalReg.username).value()).token;
    QCOMPARE(call(first, "127.0.0.9", "GET", "/api/v1/alerts/" + QByteArray::number(annAlert), {}, rival).status, 404);
    QCOMPARE(call(first, "127.0.0.9", "GET", "/api/v1/alerts/" + QByteArray::number(annAlert)).status, 401);
    QCOMPARE(call(first, "127.0.0.9", "GET", "/api/v1/alerts?limit=0", {}, m_token).status, 400);

    // The page now says so, and offers no form; the form sent again changes
    // nothing.
    const QByteArray after = call(first, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QVERIFY(after.contains("Acknowledged") && formOf(after, annAlert).isEmpty());
    s.inspect()->exec("UPDATE receipts SET acked_at = 1 WHERE alert_id = ?", annAlert);
    QCOMPARE(call(first, "127.0.0.2", "POST", "/alertsystem/acknowledge.php", annForm).status, 303);
    QCOMPARE(s.inspect()->scalar<qint64>("SELECT acked_at FROM receipts WHERE alert_id = ?", annAlert), qint64(1));

    // A new session (after a logout) gets a new key: forms of pages served
    // before are refused.
    QVERIFY(s.store->sessions().logout(QStringLiteral("bob")));
    QVERIFY(call(other, "127.0.0.3", "GET", "/alertsystem/login.php?username=bob&password=pw").body.contains("<answer>1<"));
    QCOMPARE(call(other, "127.0.0.3", "POST", "/alertsystem/acknowledge.php", formOf(bobPage, bobAlert)).status, 403);
}

void TestReceipts::receiptsGoWithTheirUserAndTheirTime()
{
    RunningServer &s = *m_server;
    alertserver::Store &store = *s.store;
    const auto ann = store.sessions().raise(QStringLiteral("ann"), QStringLiteral("old news"));
    const auto bob = store.sessions().raise(QStringLiteral("bob"), QStringLiteral("news"));
    QVERIFY(ann && bob);
    QCOMPARE(s.count("SELECT count(*) FROM receipts"), 2);
    // A user deleted takes its receipts along; the id may go to someone else.
    QVERIFY(store.users().remove(store.users().byName(QStringLiteral("bob"))->id));
    QCOMPARE(s.count("SELECT count(*) FROM receipts"), 1);
    QVERIFY(!store.receipts().of(*bob, std::nullopt));

    // Past the time receipts are kept, the receipt and its addresses go; the
    // alert stays on the user's page.
    s.inspect()->exec("UPDATE publications SET created_at = created_at - 91 * 86400");
    store.sweep();
    QCOMPARE(s.count("SELECT count(*) FROM receipts"), 0);
    QCOMPARE(s.count("SELECT count(*) FROM publications"), 0);
    QCOMPARE(store.sessions().alertsOf(store.users().byName(QStringLiteral("ann"))->id, 10).size(), 1);
}

void TestReceipts::priorityAndExpiry()
{
    RunningServer &s = *m_server;
    alertserver::AlertService &service = *s.service;
    const auto publish = [&](const QByteArray &body) {
        return call(service, "127.0.0.9", "POST", "/api/v1/alerts", body, m_token, "application/json");
    };
    // Refusals store nothing.
    for (const QByteArray &body :
         {QByteArray(R"({"text": "x", "users": ["ann"], "priority": "urgent"})"),
          QByteArray(R"({"text": "x", "users": ["ann"], "priority": 3})"),
          QByteArray(R"({"text": "x", "users": ["ann"], "expires_in": -5})"),
          QByteArray(R"({"text": "x", "users": ["ann"], "expires_in": 1.5})"),
          QByteArray(R"({"text": "x", "users": ["ann"], "expires_in": 1e12})")})
        QCOMPARE(publish(body).status, 400);
    QCOMPARE(call(service, "127.0.0.9", "POST", "/api/v1/alerts?user=ann&expires_in=-1", "x", m_token).status, 400);
    QCOMPARE(s.count("SELECT count(*) FROM alerts") + s.count("SELECT count(*) FROM publications"), 0);

    QVERIFY(call(service, "127.0.0.2", "GET", "/alertsystem/login.php?username=ann&password=pw").body.contains("<answer>1<"));
    QCOMPARE(publish(R"({"text": "Fire in B", "users": ["ann"], "priority": "emergency", "expires_in": 600})").status, 200);
    QCOMPARE(call(service, "127.0.0.9", "POST", "/api/v1/alerts?user=ann&priority=high", "Disk full", m_token).status, 200);
    // Both expired before the client polled: the poll answers 0, the page
    // shows them as expired, with their priorities in words.
    s.inspect()->exec("UPDATE alerts SET expires_at = 1");
    QVERIFY(call(service, "127.0.0.2", "GET", "/alertsystem/status.php?username=ann").body.contains("<answer>0<"));
    const QByteArray page = call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QVERIFY(page.contains("EMERGENCY") && page.contains("High priority") && page.contains("Expired"));
    QVERIFY(!page.contains("Acknowledge<"));
    QCOMPARE(s.count("SELECT count(*) FROM receipts WHERE told_at IS NOT NULL"), 0);
}

namespace {

// One alert of a webhook payload, in the shape Alertmanager documents
// (Grafana sends the same, with "values" and more beside it).
QJsonObject monitored(const QString &status, const QString &name, const QString &instance, const QString &severity,
                      const QString &fingerprint)
{
    QJsonObject alert{{"status", status},
                      {"labels", QJsonObject{{"alertname", name}, {"instance", instance}, {"severity", severity}}},
                      {"annotations", QJsonObject{{"summary", name + " is bad"}, {"description", "look at " + instance}}},
                      {"startsAt", "2026-12-09T18:00:00.000Z"},
                      {"endsAt", status == QLatin1String("firing") ? "0001-01-01T00:00:00Z" : "2026-12-09T18:10:00Z"},
                      {"generatorURL", "http://prometheus.example/graph"}};
    if (!fingerprint.isEmpty())
        alert.insert("fingerprint", fingerprint);
    return alert;
}

QByteArray alertmanagerPayload(const QString &status, const QJsonArray &alerts)
{
    return QJsonDocument(QJsonObject{{"version", "4"},
                                     {"groupKey", "{}:{alertname=\"DiskFull\"}"},
                                     {"truncatedAlerts", 0},
                                     {"status", status},
                                     {"receiver", "alertserver"},
                                     {"groupLabels", QJsonObject{{"alertname", "DiskFull"}}},
                                     {"commonLabels", QJsonObject{{"job", "node"}}},
                                     {"commonAnnotations", QJsonObject{}},
                                     {"externalURL", "http://alertmanager.example"},
                                     {"alerts", alerts}})
        .toJson();
}

} // namespace

void TestReceipts::monitoringWebhooksRaiseEachAlertOnce()
{
    RunningServer &s = *m_server;
    alertserver::AlertService &service = *s.service;
    const QByteArray hook = s.store->tokens().create(m_boss, QStringLiteral("am"), true).token;
    const auto send = [&](const QByteArray &target, const QByteArray &body) {
        return call(service, "127.0.0.9", "POST", target, body, hook, "application/json");
    };
    const auto poll = [&] {
        return call(service, "127.0.0.2", "GET", "/alertsystem/status.php?username=ann").body.contains("<answer>1<");
    };
    const QByteArray toAnn = "/api/v1/webhooks/alertmanager?user=ann";
    QVERIFY(call(service, "127.0.0.2", "GET", "/alertsystem/login.php?username=ann&password=pw").body.contains("<answer>1<"));

    // A token for webhooks publishes nothing else, and reads nothing.
    QCOMPARE(call(service, "127.0.0.9", "POST", "/api/v1/alerts?user=ann", "x", hook).status, 401);
    QCOMPARE(call(service, "127.0.0.9", "GET", "/api/v1/alerts", {}, hook).status, 401);
    // Wrong shapes and queries store nothing.
    const QByteArray firing = alertmanagerPayload(
        "firing", {monitored("firing", "DiskFull", "host1:9100", "critical", "f1"),
                   monitored("firing", "HighLoad", "host2:9100", "warning", "f2")});
    for (const QByteArray &bad : {QByteArray("{"), QByteArray("[]"), QByteArray(R"({"alerts": {}})"),
                                  QByteArray(R"({"alerts": [{"labels": {}, "startsAt": "x"}]})"),
                                  QByteArray(R"({"alerts": [{"status": "firing", "labels": [], "startsAt": "x"}]})")})
        QCOMPARE(send(toAnn, bad).status, 400);
    QCOMPARE(send("/api/v1/webhooks/alertmanager", firing).status, 400);
    QCOMPARE(send("/api/v1/webhooks/alertmanager?user=ann&all=1", firing).status, 400);
    QCOMPARE(send("/api/v1/webhooks/alertmanager?user=mallory", firing).status, 403);
    QCOMPARE(s.count("SELECT count(*) FROM alerts"), 0);

    // A group of two: two alerts; sent again (a repeat, a retry), nothing new.
    const QJsonObject first = json(send(toAnn, firing));
    QCOMPARE(first.value(QLatin1String("alerts")).toArray().size(), 2);
    QVERIFY(poll());
    QCOMPARE(json(send(toAnn, firing)).value(QLatin1String("repeated")).toInt(), 2);
    QVERIFY(!poll());
    QByteArray page = call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QVERIFY(page.contains("DiskFull on host1:9100<br>DiskFull is bad<br>look at host1:9100"));
    QVERIFY(page.contains("EMERGENCY") && page.contains("High priority") && !page.contains("Resolved"));

    // Resolved: the alert says so on the page, and no poll answers 1 for it.
    const QJsonObject done = json(
        send(toAnn, alertmanagerPayload("resolved", {monitored("resolved", "DiskFull", "host1:9100", "critical", "f1")})));
    QCOMPARE(done.value(QLatin1String("resolved")).toInt(), 1);
    QCOMPARE(done.value(QLatin1String("alerts")).toArray().size(), 0);
    QVERIFY(!poll());
    page = call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QCOMPARE(page.count("Resolved"), 1);

    // Grafana's contact point: title and message where annotations say
    // nothing; without a fingerprint its labels tell a repeat.
    QJsonObject grafanaAlert = monitored("firing", "CPU", "db1", "info", {});
    grafanaAlert.remove("annotations");
    grafanaAlert.insert("values", QJsonObject{{"B", 97.5}});
    QJsonObject grafana = QJsonDocument::fromJson(alertmanagerPayload("firing", {grafanaAlert})).object();
    grafana.insert("orgId", 1);
    grafana.insert("title", "[FIRING:1] CPU");
    grafana.insert("message", "CPU at 97%");
    grafana.insert("state", "alerting");
    const QByteArray grafanaBody = QJsonDocument(grafana).toJson();
    QCOMPARE(json(send(toAnn, grafanaBody)).value(QLatin1String("alerts")).toArray().size(), 1);
    QCOMPARE(json(send(toAnn, grafanaBody)).value(QLatin1String("repeated")).toInt(), 1);
    QVERIFY(poll());
    page = call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QVERIFY(page.contains("CPU on db1<br>[FIRING:1] CPU<br>CPU at 97%"));
}

void TestReceipts::copiesGoOnlyForTheOperatorsAdministrators()
{
    RunningServer &s = *m_server;
    alertserver::Store &store = *s.store;
    alertserver::AlertService &service = *s.service;
    const auto fields = [](const char *name, const char *email, const char *wireless, const char *carrier) {
        return alertserver::UserFields{QLatin1String(name), QStringLiteral("pw"), {}, {}, {},
                                       QLatin1String(email), QLatin1String(wireless), QLatin1String(carrier)};
    };
    QVERIFY(store.users().edit(store.users().byName("ann")->id, fields("ann", "ann@example.org", "+1 (555) 010-0001", "@vtext.com")));
    QVERIFY(store.users().edit(store.users().byName("bob")->id, fields("bob", "bob@example.org", "5550100002", "@evil.example")));
    const auto mails = [&] { return s.outboxFiles().size() + s.count("SELECT count(*) FROM mail_queue"); };
    const auto publish = [&](const QByteArray &token, const QByteArray &body) {
        return call(service, "127.0.0.9", "POST", "/api/v1/alerts", body, token, "application/json");
    };
    const QString longText(300, u'x');

    // A self-registered administrator gets no copies sent, and nothing stored.
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("stranger");
    reg.password = QStringLiteral("pw");
    const int stranger = store.admins().registerAdmin(reg).id;
    QVERIFY(store.admins().activateByName(reg.username));
    QCOMPARE(store.users().add(stranger, fields("dee", "dee@example.org", "", "")).first, alertserver::Users::Addition::Added);
    QCOMPARE(publish(store.tokens().create(stranger).token, R"({"text": "x", "all": true, "copies": ["email"]})").status, 403);
    for (const QByteArray &bad : {QByteArray(R"({"text": "x", "all": true, "copies": ["fax"]})"),
                                  QByteArray(R"({"text": "x", "all": true, "copies": ["sms", "sms"]})"),
                                  QByteArray(R"({"text": "x", "all": true, "escalate_after": 60})")})
        QCOMPARE(publish(m_token, bad).status, 400);
    QCOMPARE(s.count("SELECT count(*) FROM alerts") + mails(), 0);

    // E-mail where there is an address; SMS, cut to 160 characters, only
    // through a gateway of the table; what became of each copy is in the
    // receipt.
    const HttpReply sent = publish(m_token, QJsonDocument(QJsonObject{{"text", longText}, {"all", true},
                                                                      {"copies", QJsonArray{"email", "sms"}}})
                                                .toJson());
    QCOMPARE(sent.status, 200);
    QCOMPARE(mails(), 3);
    const auto id = json(sent).value(QLatin1String("alerts")).toArray().at(0).toObject().value(QLatin1String("id")).toInteger();
    QStringList reports;
    const auto receipts = store.receipts().of(id, m_boss);
    QVERIFY(receipts);
    for (const auto &r : receipts->recipients)
        reports << r.username + u'=' + r.copyReport;
    QCOMPARE(reports, (QStringList{"ann=email: queued; sms: queued", "bob=email: queued; sms: carrier not among the gateways",
                                   "cy=email: no address; sms: no wireless number and carrier"}));
    QString sms;
    for (const QString &file : s.outboxFiles())
        if (s.mail(file).contains(QLatin1String("15550100001@vtext.com")))
            sms = s.mail(file);
    QVERIFY2(sms.contains(QString(160, u'x')) && !sms.contains(QString(161, u'x')), qPrintable(sms));

    // Escalated: only to whoever has not been shown it by then, once, however
    // many servers sweep.
    QVERIFY(call(service, "127.0.0.2", "GET", "/alertsystem/login.php?username=ann&password=pw").body.contains("<answer>1<"));
    QCOMPARE(publish(m_token, R"({"text": "y", "users": ["ann", "bob"], "copies": ["email"], "escalate_after": 60})").status,
             200);
    QCOMPARE(mails(), 3);
    QVERIFY(call(service, "127.0.0.2", "GET", "/alertsystem/status.php?username=ann").body.contains("<answer>1<"));
    call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann");
    store.sweep();
    QCOMPARE(mails(), 3);
    s.inspect()->exec("UPDATE publications SET escalate_at = 1 WHERE escalate_at IS NOT NULL");
    alertserver::Store other(s.database.location());
    std::thread racing([&] { other.sweep(); });
    store.sweep();
    racing.join();
    store.sweep();
    QCOMPARE(mails(), 4);
    QCOMPARE(s.count("SELECT count(*) FROM mail_queue WHERE recipient = 'bob@example.org'"), 1);
}

void TestReceipts::versionFiveStoreGainsReceipts()
{
    RunningServer &s = *m_server;
    const QString where = s.database.location();
    QVERIFY(s.store->sessions().login(QStringLiteral("ann"), QStringLiteral("pw"), QStringLiteral("127.0.0.2")));
    QVERIFY(s.store->sessions().raise(QStringLiteral("ann"), QStringLiteral("before the upgrade")));
    undoVersionSix(*s.inspect());
    s.inspect()->execScript(s.database.isPostgres() ? "UPDATE store_version SET version = 5" : "PRAGMA user_version = 5");

    alertserver::Store store(where, 1000);
    alertserver::AlertService service(store, *s.delivery, *s.skins, s.base);
    // The alert and the session stayed: the poll tells it, the page shows it
    // without a form, as it has no receipt; one raised now has both.
    QVERIFY(call(service, "127.0.0.2", "GET", "/alertsystem/status.php?username=ann").body.contains("<answer>1<"));
    QByteArray page = call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QVERIFY(page.contains("before the upgrade") && !page.contains("Acknowledge<"));
    QCOMPARE(s.count("SELECT count(*) FROM receipts"), 0);
    const auto raised = store.sessions().raise(QStringLiteral("ann"), QStringLiteral("after"));
    QVERIFY(raised && store.receipts().of(*raised, std::nullopt));
    page = call(service, "127.0.0.2", "GET", "/alertsystem/alerts.php?username=ann").body;
    QVERIFY(!formOf(page, *raised).isEmpty() && formOf(page, *raised - 1).isEmpty());
}

QTEST_GUILESS_MAIN(TestReceipts)
#include "tst_receipts.moc"
