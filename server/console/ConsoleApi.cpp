#include "server/console/ConsoleApi.h"

#include "server/store/Admins.h"
#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/Limits.h"
#include "server/store/Store.h"
#include "server/store/Tokens.h"
#include "server/store/Users.h"
#include "server/validation/Fields.h"
#include "server/web/AccessLog.h"
#include "server/web/FormData.h"
#include "server/web/Replies.h"
#include "server/web/Router.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace alertserver {

using namespace replies;

namespace {

// A body that is a JSON object with no field but `known`, or the refusal.
std::optional<HttpReply> readObject(const QByteArray &body, const QStringList &known, QJsonObject &object)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return jsonError(400, QStringLiteral("malformed JSON: %1").arg(error.errorString()));
    if (!document.isObject())
        return jsonError(400, QStringLiteral("the body must be a JSON object"));
    object = document.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!known.contains(it.key()))
            return jsonError(400, QStringLiteral("unknown field %1").arg(it.key()));
    }
    return std::nullopt;
}

// A string field: absent reads as empty when it may be; otherwise a string
// of 1 to `longest` characters.
std::optional<HttpReply> readText(const QJsonObject &object, const char *name, int longest, bool optional,
                                  QString &text)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined() && optional)
        return std::nullopt;
    text = value.toString();
    if (!value.isString() || text.isEmpty() || text.size() > longest)
        return jsonError(400, QStringLiteral("%1 must be a text of 1 to %2 characters").arg(QLatin1String(name)).arg(longest));
    return std::nullopt;
}

QJsonValue timeOrNull(const std::optional<qint64> &t)
{
    return t ? QJsonValue(QDateTime::fromSecsSinceEpoch(*t, Qt::UTC).toString(Qt::ISODate)) : QJsonValue();
}

HttpReply withRetryAfter(HttpReply reply, qint64 seconds)
{
    reply.headers.append({QByteArrayLiteral("Retry-After"), QByteArray::number(std::max<qint64>(seconds, 1))});
    return reply;
}

} // namespace

HttpReply ConsoleApi::users(PageRequest &r, const ConsoleCaller &caller)
{
    const auto query = FormData::parse(r.queryText);
    if (!query)
        return jsonError(400, QStringLiteral("malformed query string"));
    QString text;
    int offset = 0, limit = kUsersListed;
    QStringList seen;
    for (const auto &[key, value] : query->pairs()) {
        if (seen.contains(key))
            return jsonError(400, QStringLiteral("unknown or repeated query field %1").arg(key));
        seen << key;
        bool isNumber = false;
        if (key == QLatin1String("q")) {
            text = value;
            if (text.size() > kMaxSearch)
                return jsonError(400, QStringLiteral("q is at most %1 characters").arg(kMaxSearch));
        } else if (key == QLatin1String("offset")) {
            offset = value.toInt(&isNumber);
            if (!isNumber || offset < 0 || offset > kMaxId)
                return jsonError(400, QStringLiteral("offset must be 0 to %1").arg(kMaxId));
        } else if (key == QLatin1String("limit")) {
            limit = value.toInt(&isNumber);
            if (!isNumber || limit < 1 || limit > kMaxUsersListed)
                return jsonError(400, QStringLiteral("limit must be 1 to %1").arg(kMaxUsersListed));
        } else {
            return jsonError(400, QStringLiteral("unknown or repeated query field %1").arg(key));
        }
    }
    const Users::Page page = m_store.users().search(caller.adminId, text, offset, limit);
    QJsonArray out;
    for (const UserRecord &u : page.users)
        out.append(QJsonObject{{QStringLiteral("name"), u.username},
                               {QStringLiteral("firstname"), u.firstname},
                               {QStringLiteral("lastname"), u.lastname},
                               {QStringLiteral("email"), u.email}});
    return json(200, {{QStringLiteral("users"), out},
                      {QStringLiteral("total"), page.total},
                      {QStringLiteral("offset"), offset},
                      {QStringLiteral("limit"), limit}});
}

HttpReply ConsoleApi::alerts(PageRequest &r, const ConsoleCaller &caller)
{
    return r.http.method == "POST" ? send(r, caller) : list(r, caller);
}

HttpReply ConsoleApi::list(PageRequest &r, const ConsoleCaller &caller)
{
    return m_publishing.listFor(r, [&]() -> std::optional<int> { return caller.adminId; });
}

HttpReply ConsoleApi::send(PageRequest &r, const ConsoleCaller &caller)
{
    // A console page names no query: its fields are all in the body.
    return m_publishing.publishWith(
        r,
        [&](const QStringList &users, bool all, const Publication &publication) {
            return m_store.tokens().publishAs(caller.adminId, users, all, publication);
        },
        [](const Tokens::Published &result) -> std::optional<HttpReply> {
            switch (result.outcome) {
            case Tokens::Publication::NoToken:
                return jsonError(403, QStringLiteral("this administrator may not send alerts now"));
            case Tokens::Publication::Limited:
                return withRetryAfter(
                    jsonError(429, QStringLiteral("too many alerts from the console; try again in %1 s").arg(result.retryAfter)),
                    result.retryAfter);
            default: return Publishing::refusalOf(result);
            }
        });
}

HttpReply ConsoleApi::alert(PageRequest &r, const ConsoleCaller &caller)
{
    return m_publishing.oneFor(r, [&]() -> std::optional<int> { return caller.adminId; });
}

HttpReply ConsoleApi::tokens(PageRequest &r, const ConsoleCaller &caller)
{
    return r.http.method == "POST" ? createToken(r, caller) : listTokens(r, caller);
}

HttpReply ConsoleApi::listTokens(PageRequest &r, const ConsoleCaller &caller)
{
    if (!r.queryText.isEmpty())
        return jsonError(400, QStringLiteral("the token list takes no query"));
    QJsonArray out;
    for (const ApiToken &t : m_store.tokens().of(caller.adminId))
        out.append(QJsonObject{{QStringLiteral("label"), t.label},
                               {QStringLiteral("scope"), t.scope},
                               {QStringLiteral("created"), timeOrNull(t.createdAt)},
                               {QStringLiteral("last_used"), timeOrNull(t.lastUsed)}});
    return json(200, {{QStringLiteral("tokens"), out}});
}

HttpReply ConsoleApi::createToken(PageRequest &r, const ConsoleCaller &caller)
{
    if (r.http.body.size() > kMaxTokenBody)
        return jsonError(413, QStringLiteral("the body is larger than %1 bytes").arg(kMaxTokenBody));
    QJsonObject object;
    if (auto refused = readObject(r.http.body, {QStringLiteral("password"), QStringLiteral("label"), QStringLiteral("scope")},
                                  object))
        return *refused;
    QString password, label, scope = QStringLiteral("all");
    if (auto refused = readText(object, "password", limits::kPassword, false, password))
        return *refused;
    if (auto refused = readText(object, "label", limits::kTokenLabel, true, label))
        return *refused;
    if (!label.isEmpty() && !validation::isTokenLabel(label))
        return jsonError(400, QStringLiteral("a token's label is 1 to %1 letters, digits, '.', '_' or '-'")
                                  .arg(limits::kTokenLabel));
    const QJsonValue scopeValue = object.value(QLatin1String("scope"));
    if (!scopeValue.isUndefined()) {
        scope = scopeValue.toString();
        if (scope != QLatin1String("all") && scope != QLatin1String("webhook"))
            return jsonError(400, QStringLiteral("scope must be all or webhook"));
    }

    // The password again, counted as the wizard's login counts it: taken
    // before the slow hash, given back when it was right.
    const QString address = QString::fromLatin1(r.http.peer);
    Limits &limits = m_store.limits();
    const Limits::Attempts attempt{{Limit::AdminLoginName, caller.adminName}, {Limit::AdminLoginAddress, address}};
    auto audit = [&](const QString &what) { accesslog::audit(caller.adminName, r.http.peer, what); };
    if (!limits.reserve(attempt)) {
        audit(QStringLiteral("console token create refused: too many failed logins"));
        const qint64 wait = m_store.database().run([&](Connection &db) {
            return std::max(limits.windowLeft(db, Limit::AdminLoginName, caller.adminName),
                            limits.windowLeft(db, Limit::AdminLoginAddress, address));
        });
        return withRetryAfter(jsonError(429, QStringLiteral("too many failed logins; try again later")), wait);
    }
    const auto [outcome, id] = m_store.admins().login(caller.adminName, password);
    if (outcome != Admins::Login::Invalid)
        limits.giveBack(attempt);
    if (outcome != Admins::Login::LoggedIn || id != caller.adminId) {
        audit(QStringLiteral("console token create refused: wrong password"));
        return jsonError(403, QStringLiteral("wrong password"));
    }
    const Tokens::Created made = m_store.tokens().create(caller.adminId, label, scope == QLatin1String("webhook"));
    if (made.outcome == Tokens::Creation::LabelTaken)
        return jsonError(409, QStringLiteral("a token labelled %1 exists already").arg(made.label));
    if (made.outcome != Tokens::Creation::Created)
        return jsonError(403, QStringLiteral("this administrator may not make tokens now"));
    audit(QStringLiteral("console token create %1: done").arg(made.label));
    return json(201, {{QStringLiteral("label"), made.label},
                      {QStringLiteral("token"), QString::fromLatin1(made.token)},
                      {QStringLiteral("scope"), scope}});
}

HttpReply ConsoleApi::revokeToken(PageRequest &r, const ConsoleCaller &caller)
{
    if (r.http.body.size() > kMaxTokenBody)
        return jsonError(413, QStringLiteral("the body is larger than %1 bytes").arg(kMaxTokenBody));
    QJsonObject object;
    if (auto refused = readObject(r.http.body, {QStringLiteral("label")}, object))
        return *refused;
    QString label;
    if (auto refused = readText(object, "label", limits::kTokenLabel, false, label))
        return *refused;
    if (!validation::isTokenLabel(label) || !m_store.tokens().revoke(caller.adminId, label))
        return jsonError(404, QStringLiteral("no token labelled %1").arg(label));
    accesslog::audit(caller.adminName, r.http.peer, QStringLiteral("console token revoke %1: done").arg(label));
    return json(200, {});
}

} // namespace alertserver
