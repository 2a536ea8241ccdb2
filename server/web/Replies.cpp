#include "server/web/Replies.h"

#include "server/pages/Markup.h"

#include <QJsonDocument>

namespace alertserver {

namespace replies {

HttpReply xml(QByteArray body, int status)
{
    return {status, "text/xml; charset=UTF-8", std::move(body)};
}

HttpReply html(QByteArray body, int status)
{
    return {status, "text/html; charset=UTF-8", std::move(body)};
}

HttpReply notXml(int status, const QByteArray &why)
{
    return {status, "text/plain; charset=UTF-8", why + '\n'};
}

HttpReply json(int status, const QJsonObject &object)
{
    return {status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'};
}

HttpReply jsonError(int status, const QString &why)
{
    return json(status, {{QStringLiteral("error"), why}});
}

HttpReply xmlError(int status, const QString &why)
{
    return xml(errorReply(why), status);
}

} // namespace replies

HttpReply Refusal::reply(int status, const QString &why) const
{
    switch (form) {
    case Form::NotXml: return replies::notXml(status, why.toUtf8());
    case Form::Json: return replies::jsonError(status, why);
    case Form::Xml: break;
    }
    return replies::xmlError(status, why);
}

HttpReply Refusal::turnedDown(int status) const
{
    if (word)
        return replies::xml(statusReply(QString::fromLatin1(word)), status);
    return reply(status, QStringLiteral("request refused"));
}

} // namespace alertserver
