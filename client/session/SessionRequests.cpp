#include "SessionRequests.h"

#include "common/FormEncoding.h"
#include "common/HttpExchange.h"
#include "common/NumberReader.h"
#include "common/PositionalXml.h"

namespace client {

namespace {

QString encoded(const QString &value)
{
    return QString::fromLatin1(common::formEncode(value));
}

// The text of root child 0, or nothing when the reply cannot be read.
std::optional<QString> firstRootChild(const common::HttpResult &result)
{
    if (!result.ok)
        return std::nullopt;
    common::PositionalXml xml;
    if (!xml.loadText(result.body))
        return std::nullopt;
    return xml.rootChildText(0);
}

} // namespace

QString loginAddress(const QString &serverBase, const QString &userName, const QString &password)
{
    return serverBase + QStringLiteral("/alertsystem/login.php?username=") + encoded(userName)
        + QStringLiteral("&password=") + encoded(password);
}

QString statusAddress(const QString &serverBase, const QString &userName)
{
    return serverBase + QStringLiteral("/alertsystem/status.php?username=") + encoded(userName);
}

QString alertPageAddress(const QString &alertPageUrl, const QString &stamp14, const QString &userName)
{
    return alertPageUrl + QStringLiteral("?_vartime=") + stamp14 + QStringLiteral("&username=")
        + encoded(userName);
}

QString profileAddress(const QString &profilePageUrl, const QString &userName)
{
    return profilePageUrl + QStringLiteral("?id=") + encoded(userName);
}

LoginAnswer readLoginAnswer(const common::HttpResult &result)
{
    const std::optional<QString> answer = firstRootChild(result);
    if (!answer)
        return LoginAnswer::Unreadable;
    if (*answer == QLatin1String("1"))
        return LoginAnswer::Accepted;
    if (*answer == QLatin1String("0"))
        return LoginAnswer::Refused;
    if (*answer == QLatin1String("ERROR"))
        return LoginAnswer::ServerError;
    return LoginAnswer::Other;
}

std::optional<std::int16_t> readStatus(const common::HttpResult &result)
{
    const std::optional<QString> text = firstRootChild(result);
    if (!text)
        return std::nullopt;
    return common::readNumber16(*text).value;
}

} // namespace client
