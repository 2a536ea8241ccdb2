#include "server/controllers/Publishing.h"

#include "server/store/Store.h"
#include "server/validation/Fields.h"
#include "server/web/Replies.h"
#include "server/web/Router.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

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

HttpReply Publishing::publish(PageRequest &r)
{
    const HttpRequest &request = r.http;
    // The token's form first; whether it is one of ours, in the store below.
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
    const QByteArray token = credentials.mid(space + 1).trimmed();
    if (!validation::isTokenText(token))
        return unauthorized(QStringLiteral("unknown or revoked token"), true);

    if (request.body.size() > limits::kMaxApiBodyBytes)
        return jsonError(413, QStringLiteral("the body is larger than %1 bytes").arg(limits::kMaxApiBodyBytes));
    const auto query = FormData::parse(r.queryText);
    if (!query)
        return jsonError(400, QStringLiteral("malformed query string"));

    QString text;
    QStringList users;
    bool all = false;
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
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (it.key() != QLatin1String("text") && it.key() != QLatin1String("users") && it.key() != QLatin1String("all"))
                return jsonError(400, QStringLiteral("unknown field %1").arg(it.key()));
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
            if (key != QLatin1String("user"))
                return jsonError(400, QStringLiteral("unknown query field %1").arg(key));
            users << value;
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

    const Tokens::Published result = m_store.tokens().publish(token, users, all, text);
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
    case Tokens::Publication::Published: break;
    }
    QJsonArray alerts;
    for (const RaisedAlert &a : result.alerts)
        alerts.append(QJsonObject{{QStringLiteral("id"), a.id}, {QStringLiteral("user"), a.username}});
    return json(200, {{QStringLiteral("alerts"), alerts}});
}

} // namespace alertserver
