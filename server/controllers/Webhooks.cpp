// Monitoring systems' webhooks: Prometheus Alertmanager's payload (version
// "4": status, alerts[] of labels, annotations, startsAt, endsAt,
// fingerprint, and groupKey, commonLabels, externalURL beside them) and
// Grafana's contact point, which sends the same shape with title and message
// added. Fields we do not read are ignored, as these payloads grow.
#include "server/controllers/Publishing.h"

#include "server/store/Store.h"
#include "server/validation/Fields.h"
#include "server/web/FormData.h"
#include "server/web/Replies.h"
#include "server/web/Router.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace alertserver {

using namespace replies;

namespace {

// Monitoring labels that say how urgent an alert is, and what they mean here.
Priority priorityOf(const QJsonObject &labels)
{
    for (const char *name : {"priority", "severity"}) {
        const QString value = labels.value(QLatin1String(name)).toString().toLower();
        if (value == QLatin1String("critical") || value == QLatin1String("emergency") || value == QLatin1String("page"))
            return Priority::Emergency;
        if (value == QLatin1String("high") || value == QLatin1String("error") || value == QLatin1String("warning")
            || value == QLatin1String("major"))
            return Priority::High;
    }
    return Priority::Normal;
}

// The text of an alert: "alertname on instance", then the summary and the
// description (Grafana's title and message where the annotations say
// nothing), as one user would read it; cut to what an alert may hold, with
// control characters but line ends and tabs made blanks.
QString textOf(const QJsonObject &alert, const QJsonObject &payload)
{
    const QJsonObject labels = alert.value(QLatin1String("labels")).toObject();
    const QJsonObject notes = alert.value(QLatin1String("annotations")).toObject();
    QString head = labels.value(QLatin1String("alertname")).toString();
    const QString instance = labels.value(QLatin1String("instance")).toString();
    if (!instance.isEmpty())
        head += (head.isEmpty() ? QString() : QStringLiteral(" on ")) + instance;
    QStringList lines{head};
    QString summary = notes.value(QLatin1String("summary")).toString();
    QString description = notes.value(QLatin1String("description")).toString();
    if (summary.isEmpty() && description.isEmpty()) {
        summary = payload.value(QLatin1String("title")).toString();
        description = payload.value(QLatin1String("message")).toString();
    }
    lines << summary << description;
    lines.removeAll(QString());
    QString text = lines.join(u'\n');
    for (QChar &c : text)
        if ((c.unicode() < 0x20 && c != u'\n' && c != u'\t') || c.unicode() == 0x7f)
            c = u' ';
    if (text.trimmed().isEmpty())
        text = QStringLiteral("Alert");
    // At most the bytes an alert holds, never cutting a character in two.
    while (text.toUtf8().size() > limits::kAlertTextBytes)
        text.chop(text.size() > 1 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
    return text;
}

// What a monitoring system knows an alert by: its fingerprint, or its labels
// where it sends none, and when it started, so that the same alert firing
// again later is a new one.
QString sourceKeyOf(const QJsonObject &alert)
{
    QString fingerprint = alert.value(QLatin1String("fingerprint")).toString();
    if (fingerprint.isEmpty()) {
        // QJsonObject keeps its keys sorted: the same labels, the same text.
        fingerprint = QString::fromUtf8(
            QJsonDocument(alert.value(QLatin1String("labels")).toObject()).toJson(QJsonDocument::Compact));
    }
    return fingerprint + u'|' + alert.value(QLatin1String("startsAt")).toString();
}

} // namespace

HttpReply Publishing::webhook(PageRequest &r)
{
    QByteArray token;
    if (auto refused = bearer(r.http, token))
        return *refused;
    if (r.http.body.size() > kMaxWebhookBodyBytes)
        return jsonError(413, QStringLiteral("the body is larger than %1 bytes").arg(kMaxWebhookBodyBytes));
    const auto query = FormData::parse(r.queryText);
    if (!query)
        return jsonError(400, QStringLiteral("malformed query string"));
    QStringList users;
    bool all = false;
    for (const auto &[key, value] : query->pairs()) {
        if (key == QLatin1String("user") && !value.isEmpty() && value.size() <= limits::kUserName)
            users << value;
        else if (key == QLatin1String("all") && value == QLatin1String("1") && !all)
            all = true;
        else
            return jsonError(400, QStringLiteral("the query names the users: ?user=NAME (repeatable) or ?all=1"));
    }
    if (all == !users.isEmpty())
        return jsonError(400, QStringLiteral("the query names the users: ?user=NAME (repeatable) or ?all=1"));

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(r.http.body, &error);
    if (error.error != QJsonParseError::NoError)
        return jsonError(400, QStringLiteral("malformed JSON: %1").arg(error.errorString()));
    const QJsonObject payload = document.object();
    if (!document.isObject() || !payload.value(QLatin1String("alerts")).isArray())
        return jsonError(400, QStringLiteral("the body must be an object with a list of alerts"));
    QList<Publication> firing;
    QStringList resolved;
    for (const QJsonValue &value : payload.value(QLatin1String("alerts")).toArray()) {
        const QJsonObject alert = value.toObject();
        const QString status = alert.value(QLatin1String("status")).toString();
        if (!value.isObject() || (status != QLatin1String("firing") && status != QLatin1String("resolved"))
            || !alert.value(QLatin1String("labels")).isObject() || !alert.value(QLatin1String("startsAt")).isString()
            || (alert.contains(QLatin1String("annotations")) && !alert.value(QLatin1String("annotations")).isObject())
            || (alert.contains(QLatin1String("fingerprint")) && !alert.value(QLatin1String("fingerprint")).isString()))
            return jsonError(400, QStringLiteral("every alert needs status firing or resolved, labels and startsAt"));
        if (status == QLatin1String("resolved")) {
            resolved << sourceKeyOf(alert);
            continue;
        }
        Publication p;
        p.text = textOf(alert, payload);
        p.priority = priorityOf(alert.value(QLatin1String("labels")).toObject());
        p.sourceKey = sourceKeyOf(alert);
        p.from = QString::fromLatin1(r.http.peer);
        firing << p;
    }

    const Tokens::Published result = m_store.tokens().publish(token, users, all, firing, resolved, true);
    if (auto refused = refusalOf(result))
        return *refused;
    QJsonArray alerts;
    for (const RaisedAlert &a : result.alerts)
        alerts.append(QJsonObject{{QStringLiteral("id"), a.id}, {QStringLiteral("user"), a.username}});
    return json(200, {{QStringLiteral("alerts"), alerts},
                      {QStringLiteral("repeated"), result.repeated},
                      {QStringLiteral("resolved"), result.resolved}});
}

} // namespace alertserver
