#include "server/controllers/Publishing.h"

#include "server/mail/MailDelivery.h"
#include "server/store/Clock.h"
#include "server/store/Store.h"
#include "server/validation/Fields.h"
#include "server/web/Replies.h"
#include "server/web/Router.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <cmath>

namespace alertserver {

using namespace replies;

namespace {

// 401 with the challenge RFC 6750 asks for; a token that was sent but is not
// (or no longer) valid is named as such.
HttpReply unauthorized(const QString &why, bool tokenSent)
{
    HttpReply r = jsonError(401, why);
    r.headers.append({QByteArrayLiteral("WWW-Authenticate"),
                      tokenSent ? QByteArrayLiteral("Bearer realm=\"alertserver\", error=\"invalid_token\"")
                                : QByteArrayLiteral("Bearer realm=\"alertserver\"")});
    return r;
}

} // namespace

std::optional<HttpReply> Publishing::bearer(const HttpRequest &request, QByteArray &token)
{
    // The token's form first; whether it is one of ours, in the store.
    int fields = 0;
    QByteArray credentials;
    for (const auto &[name, value] : request.headers) {
        if (name.compare("Authorization", Qt::CaseInsensitive) == 0) {
            ++fields;
            credentials = value.trimmed();
        }
    }
    if (fields > 1)
        return jsonError(400, QStringLiteral("more than one Authorization field"));
    if (fields == 0 || credentials.isEmpty())
        return unauthorized(QStringLiteral("no token; send Authorization: Bearer TOKEN"), false);
    const qsizetype space = credentials.indexOf(' ');
    if (space < 0 || credentials.left(space).compare("Bearer", Qt::CaseInsensitive) != 0)
        return unauthorized(QStringLiteral("the Authorization field is not Bearer TOKEN"), false);
    token = credentials.mid(space + 1).trimmed();
    if (!validation::isTokenText(token))
        return unauthorized(QStringLiteral("unknown or revoked token"), true);
    return std::nullopt;
}

std::optional<HttpReply> Publishing::refusalOf(const Tokens::Published &result)
{
    switch (result.outcome) {
    case Tokens::Publication::NoToken: return unauthorized(QStringLiteral("unknown or revoked token"), true);
    case Tokens::Publication::NotTheirs:
        // The same answer for a user of another administrator as for none.
        return jsonError(403, QStringLiteral("%1 is not one of your users").arg(result.refusedUser));
    case Tokens::Publication::Limited: {
        HttpReply limited = jsonError(429, QStringLiteral("too many alerts with this token; try again in %1 s")
                                               .arg(result.retryAfter));
        limited.headers.append({QByteArrayLiteral("Retry-After"), QByteArray::number(result.retryAfter)});
        return limited;
    }
    case Tokens::Publication::CopiesRefused:
        return jsonError(403, QStringLiteral("copies by e-mail and SMS need an administrator the operator made or approved"));
    case Tokens::Publication::Published: break;
    }
    return std::nullopt;
}

HttpReply Publishing::alerts(PageRequest &r)
{
    return r.http.method == "GET" ? list(r) : publish(r);
}

HttpReply Publishing::publish(PageRequest &r)
{
    QByteArray token;
    if (auto refused = bearer(r.http, token))
        return *refused;
    return publishWith(
        r,
        [&](const QStringList &users, bool all, const alertserver::Publication &publication) {
            return m_store.tokens().publish(token, users, all, publication);
        },
        &Publishing::refusalOf);
}

HttpReply Publishing::publishWith(PageRequest &r, const Publisher &publisher, const Refusal &refusal)
{
    const HttpRequest &request = r.http;
    if (request.body.size() > limits::kMaxApiBodyBytes)
        return jsonError(413, QStringLiteral("the body is larger than %1 bytes").arg(limits::kMaxApiBodyBytes));
    const auto query = FormData::parse(r.queryText);
    if (!query)
        return jsonError(400, QStringLiteral("malformed query string"));

    QString text, priority;
    QStringList users;
    bool all = false;
    std::optional<qint64> expiresIn, escalateAfter;
    QStringList copies;
    const QByteArray type = request.header("Content-Type").split(';').value(0).trimmed().toLower();
    if (type == "application/json") {
        if (!query->pairs().isEmpty())
            return jsonError(400, QStringLiteral("a JSON body names its users itself; the query must be empty"));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
        if (error.error != QJsonParseError::NoError)
            return jsonError(400, QStringLiteral("malformed JSON: %1").arg(error.errorString()));
        if (!document.isObject())
            return jsonError(400, QStringLiteral("the body must be a JSON object"));
        const QJsonObject object = document.object();
        static const QStringList known{QStringLiteral("text"), QStringLiteral("users"), QStringLiteral("all"),
                                       QStringLiteral("priority"), QStringLiteral("expires_in"),
                                       QStringLiteral("copies"), QStringLiteral("escalate_after")};
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (!known.contains(it.key()))
                return jsonError(400, QStringLiteral("unknown field %1").arg(it.key()));
        }
        const QJsonValue priorityValue = object.value(QLatin1String("priority"));
        if (!priorityValue.isUndefined())
            priority = priorityValue.isString() ? priorityValue.toString() : QStringLiteral("?");
        const QJsonValue expiresValue = object.value(QLatin1String("expires_in"));
        if (!expiresValue.isUndefined()) {
            // A whole number of seconds, as JSON's numbers go.
            const double seconds = expiresValue.toDouble(-1);
            if (!expiresValue.isDouble() || seconds != std::floor(seconds) || seconds < 1 || seconds > kMaxExpiresIn)
                return jsonError(400, QStringLiteral("expires_in must be whole seconds from 1 to %1").arg(kMaxExpiresIn));
            expiresIn = qint64(seconds);
        }
        const QJsonValue copiesValue = object.value(QLatin1String("copies"));
        if (!copiesValue.isUndefined()) {
            if (!copiesValue.isArray())
                return jsonError(400, QStringLiteral("copies must be a list of \"email\" and \"sms\""));
            for (const QJsonValue &kind : copiesValue.toArray()) {
                const QString k = kind.toString();
                if ((k != QLatin1String("email") && k != QLatin1String("sms")) || copies.contains(k))
                    return jsonError(400, QStringLiteral("copies must be a list of \"email\" and \"sms\""));
                copies << k;
            }
        }
        const QJsonValue escalateValue = object.value(QLatin1String("escalate_after"));
        if (!escalateValue.isUndefined()) {
            const double seconds = escalateValue.toDouble(-1);
            if (!escalateValue.isDouble() || seconds != std::floor(seconds) || seconds < 1 || seconds > kMaxExpiresIn
                || copies.isEmpty())
                return jsonError(400, QStringLiteral("escalate_after must be whole seconds from 1 to %1, with copies")
                                          .arg(kMaxExpiresIn));
            escalateAfter = qint64(seconds);
        }
        if (!object.value(QLatin1String("text")).isString())
            return jsonError(400, QStringLiteral("text must be a string"));
        text = object.value(QLatin1String("text")).toString();
        const QJsonValue allValue = object.value(QLatin1String("all"));
        if (!allValue.isUndefined() && !allValue.isBool())
            return jsonError(400, QStringLiteral("all must be true or false"));
        all = allValue.toBool(false);
        const QJsonValue usersValue = object.value(QLatin1String("users"));
        if (!usersValue.isUndefined()) {
            if (!usersValue.isArray())
                return jsonError(400, QStringLiteral("users must be a list of user names"));
            for (const QJsonValue &user : usersValue.toArray()) {
                if (!user.isString())
                    return jsonError(400, QStringLiteral("users must be a list of user names"));
                users << user.toString();
            }
            if (all)
                return jsonError(400, QStringLiteral("give users or all, not both"));
        }
    } else {
        // Any other body (curl -d sends it as a form) is the text itself, as
        // sent: not form-decoded, so that "&", "+" and "%" stay what they are.
        for (const auto &[key, value] : query->pairs()) {
            if (key == QLatin1String("user")) {
                users << value;
            } else if (key == QLatin1String("priority") && priority.isEmpty()) {
                priority = value;
            } else if (key == QLatin1String("expires_in") && !expiresIn) {
                bool isNumber = false;
                const qint64 seconds = value.toLongLong(&isNumber);
                if (!isNumber || seconds < 1 || seconds > kMaxExpiresIn || !value.front().isDigit())
                    return jsonError(400,
                                     QStringLiteral("expires_in must be whole seconds from 1 to %1").arg(kMaxExpiresIn));
                expiresIn = seconds;
            } else {
                return jsonError(400, QStringLiteral("unknown or repeated query field %1").arg(key));
            }
        }
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = utf8.decode(request.body);
        if (utf8.hasError())
            return jsonError(400, QStringLiteral("the text is not UTF-8"));
        if (users.isEmpty())
            return jsonError(400, QStringLiteral("a plain-text body needs ?user=NAME; a JSON body needs "
                                                 "Content-Type: application/json"));
    }
    if (!all && users.isEmpty())
        return jsonError(400, QStringLiteral("name the users, or send all: true"));
    if (users.size() > kMaxId)
        return jsonError(413, QStringLiteral("too many users"));
    for (const QString &user : users) {
        if (user.isEmpty() || user.size() > limits::kUserName)
            return jsonError(400, QStringLiteral("a user name is empty or longer than %1 characters").arg(limits::kUserName));
    }
    bool tooLong = false;
    const QString problem = validation::alertTextProblem(text, &tooLong);
    if (!problem.isEmpty())
        return jsonError(tooLong ? 413 : 400, problem);

    Publication publication;
    publication.text = text;
    if (!priority.isEmpty()) {
        const auto known = priorityFromName(priority);
        if (!known)
            return jsonError(400, QStringLiteral("priority must be normal, high or emergency"));
        publication.priority = *known;
    }
    if (expiresIn)
        publication.expiresAt = now() + *expiresIn;
    copies.sort();
    publication.copies = copies.join(u',');
    if (escalateAfter)
        publication.escalateAt = now() + *escalateAfter;
    publication.from = QString::fromLatin1(request.peer);
    const Tokens::Published result = publisher(users, all, publication);
    if (auto refused = refusal(result))
        return *refused;
    if (result.copies > 0)
        m_mail.queued();
    QJsonArray alerts;
    for (const RaisedAlert &a : result.alerts)
        alerts.append(QJsonObject{{QStringLiteral("id"), a.id}, {QStringLiteral("user"), a.username}});
    return json(200, {{QStringLiteral("alerts"), alerts}});
}

namespace {

QJsonValue timeOrNull(const std::optional<qint64> &t)
{
    return t ? QJsonValue(QDateTime::fromSecsSinceEpoch(*t, Qt::UTC).toString(Qt::ISODate)) : QJsonValue();
}

QJsonValue addressOrNull(const std::optional<qint64> &t, const QString &address)
{
    return t ? QJsonValue(address) : QJsonValue();
}

} // namespace

HttpReply Publishing::list(PageRequest &r)
{
    QByteArray token;
    if (auto refused = bearer(r.http, token))
        return *refused;
    return listFor(r, [&] { return m_store.tokens().adminOf(token); });
}

HttpReply Publishing::listFor(PageRequest &r, const AdminOf &adminOf)
{
    const auto query = FormData::parse(r.queryText);
    if (!query)
        return jsonError(400, QStringLiteral("malformed query string"));
    qint64 since = 0, before = 0;
    int limit = kListed;
    for (const auto &[key, value] : query->pairs()) {
        if (key == QLatin1String("since")) {
            const QDateTime t = QDateTime::fromString(value, Qt::ISODate);
            bool isNumber = false;
            const qint64 seconds = value.toLongLong(&isNumber);
            if (!t.isValid() && (!isNumber || seconds < 0))
                return jsonError(400, QStringLiteral("since must be a time (2026-12-09T18:30:00Z) or seconds since 1970"));
            since = t.isValid() ? t.toSecsSinceEpoch() : seconds;
        } else if (key == QLatin1String("limit")) {
            bool isNumber = false;
            limit = value.toInt(&isNumber);
            if (!isNumber || limit < 1 || limit > kMaxListed)
                return jsonError(400, QStringLiteral("limit must be 1 to %1").arg(kMaxListed));
        } else if (key == QLatin1String("before")) {
            bool isNumber = false;
            before = value.toLongLong(&isNumber);
            if (!isNumber || before < 1)
                return jsonError(400, QStringLiteral("before must be an alert id"));
        } else {
            return jsonError(400, QStringLiteral("unknown query field %1").arg(key));
        }
    }
    const auto admin = adminOf();
    if (!admin)
        return unauthorized(QStringLiteral("unknown or revoked token"), true);
    QJsonArray out;
    const QList<PublicationSummary> found = m_store.receipts().recent(*admin, since, limit, before);
    for (const PublicationSummary &p : found)
        out.append(QJsonObject{{QStringLiteral("id"), p.id},
                               {QStringLiteral("text"), p.text},
                               {QStringLiteral("priority"), priorityName(p.priority)},
                               {QStringLiteral("raised"), timeOrNull(p.createdAt)},
                               {QStringLiteral("expires"), timeOrNull(p.expiresAt)},
                               {QStringLiteral("resolved"), timeOrNull(p.resolvedAt)},
                               {QStringLiteral("recipients"), p.recipients},
                               {QStringLiteral("told"), p.told},
                               {QStringLiteral("shown"), p.shown},
                               {QStringLiteral("acknowledged"), p.acknowledged}});
    QJsonObject answer{{QStringLiteral("alerts"), out}};
    // The next page: the same query with before=ID.
    if (found.size() == limit)
        answer.insert(QStringLiteral("next_before"), found.last().id);
    return json(200, answer);
}

QJsonObject Publishing::receiptsJson(const PublicationReceipts &p)
{
    QJsonArray recipients;
    for (const Receipt &r : p.recipients)
        recipients.append(QJsonObject{{QStringLiteral("id"), r.alertId},
                                      {QStringLiteral("user"), r.username},
                                      {QStringLiteral("raised"), timeOrNull(r.raisedAt)},
                                      {QStringLiteral("told"), timeOrNull(r.toldAt)},
                                      {QStringLiteral("told_from"), addressOrNull(r.toldAt, r.toldFrom)},
                                      {QStringLiteral("shown"), timeOrNull(r.shownAt)},
                                      {QStringLiteral("shown_from"), addressOrNull(r.shownAt, r.shownFrom)},
                                      {QStringLiteral("acknowledged"), timeOrNull(r.acknowledgedAt)},
                                      {QStringLiteral("acknowledged_from"),
                                       addressOrNull(r.acknowledgedAt, r.acknowledgedFrom)},
                                      {QStringLiteral("copies"),
                                       r.copyReport.isEmpty() ? QJsonValue() : QJsonValue(r.copyReport)}});
    return {{QStringLiteral("id"), p.id},
            {QStringLiteral("text"), p.text},
            {QStringLiteral("priority"), priorityName(p.priority)},
            {QStringLiteral("raised"), timeOrNull(p.createdAt)},
            {QStringLiteral("expires"), timeOrNull(p.expiresAt)},
            {QStringLiteral("resolved"), timeOrNull(p.resolvedAt)},
            {QStringLiteral("recipients"), recipients}};
}

HttpReply Publishing::one(PageRequest &r)
{
    QByteArray token;
    if (auto refused = bearer(r.http, token))
        return *refused;
    return oneFor(r, [&] { return m_store.tokens().adminOf(token); });
}

HttpReply Publishing::oneFor(PageRequest &r, const AdminOf &adminOf)
{
    bool isNumber = false;
    const qint64 id = r.rest.toLongLong(&isNumber);
    if (!isNumber || id < 1 || !r.queryText.isEmpty())
        return jsonError(404, QStringLiteral("no such alert"));
    const auto admin = adminOf();
    if (!admin)
        return unauthorized(QStringLiteral("unknown or revoked token"), true);
    // Another administrator's alert reads as none.
    const auto receipts = m_store.receipts().of(id, *admin);
    if (!receipts)
        return jsonError(404, QStringLiteral("no such alert"));
    return json(200, receiptsJson(*receipts));
}

} // namespace alertserver
