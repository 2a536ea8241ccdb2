#include "server/console/ConsoleGuard.h"

#include "server/store/PasswordHash.h"
#include "server/store/Store.h"
#include "server/web/Links.h"
#include "server/web/Replies.h"
#include "server/web/ServerNames.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <arpa/inet.h>

namespace alertserver {

namespace {

constexpr const char *kHttpsCookie = "__Host-console";
constexpr const char *kPlainCookie = "console";

// 127.0.0.0/8 and ::1 (a peer of a dual-stack socket already reads as IPv4).
bool isLoopback(const QByteArray &address)
{
    unsigned char bytes[16];
    if (::inet_pton(AF_INET, address.constData(), bytes) == 1)
        return bytes[0] == 127;
    return address == "::1";
}

bool isJson(const QByteArray &contentType)
{
    const QByteArray media = contentType.split(';').constFirst().trimmed();
    return media.compare("application/json", Qt::CaseInsensitive) == 0;
}

} // namespace

bool ConsoleGuard::overHttps(const HttpRequest &request) const
{
    return request.secure || (request.proxied && m_links.base().startsWith(QLatin1String("https://")));
}

bool ConsoleGuard::channelAllowed(const HttpRequest &request) const
{
    // Behind a proxy only the public address tells how the caller reached
    // it: a proxy on this machine makes every caller's TCP peer loopback.
    if (request.peer.isEmpty())
        return false;
    if (overHttps(request))
        return true;
    return !request.proxied && isLoopback(request.peer);
}

std::optional<HttpReply> ConsoleGuard::screen(const HttpRequest &request, bool json) const
{
    if (!channelAllowed(request)) {
        const QString why = QStringLiteral("the console is served over https only, or over http to this machine");
        return json ? replies::jsonError(403, why) : replies::notXml(403, why.toUtf8());
    }
    if (request.method != "POST")
        return std::nullopt;
    if (!isJson(request.header("Content-Type")))
        return replies::jsonError(415, QStringLiteral("the body must be application/json"));
    // A POST from a page of another site, or with no Origin at all, is
    // refused whatever cookie came with it.
    if (!m_names.namesOrigin(request.header("Origin")))
        return replies::jsonError(403, QStringLiteral("the request's Origin is not this server"));
    return std::nullopt;
}

QByteArray ConsoleGuard::cookieOf(const HttpRequest &request) const
{
    const QByteArray name = overHttps(request) ? kHttpsCookie : kPlainCookie;
    QByteArray found;
    int seen = 0;
    for (const auto &[field, value] : request.headers) {
        if (field.compare("Cookie", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &pair : value.split(';')) {
            const qsizetype eq = pair.indexOf('=');
            if (eq < 0 || pair.left(eq).trimmed() != name)
                continue;
            found = pair.mid(eq + 1).trimmed();
            ++seen;
        }
    }
    // Two of them: one may have been planted for this path by a neighbour;
    // neither is taken.
    return seen == 1 ? found : QByteArray();
}

QByteArray ConsoleGuard::setCookie(const HttpRequest &request, const QByteArray &cookie) const
{
    // A "__Host-" cookie must be Secure, carry no Domain and have the path
    // "/"; it is the stronger guarantee (no other host can set or shadow it),
    // so over https it takes the place of the console's own path.
    const bool https = overHttps(request);
    QByteArray value = (https ? kHttpsCookie : kPlainCookie) + QByteArray("=") + cookie
        + (https ? "; Path=/; Secure" : "; Path=/console/") + "; HttpOnly; SameSite=Strict";
    if (cookie.isEmpty())
        value += "; Max-Age=0";
    return value;
}

QByteArray ConsoleGuard::csrfOf(const QByteArray &cookie)
{
    static const QByteArray kPurpose = QByteArrayLiteral("alertserver console csrf");
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), cookie.constData(), int(cookie.size()), reinterpret_cast<const unsigned char *>(kPurpose.constData()),
              size_t(kPurpose.size()), out, &length))
        throw std::runtime_error("HMAC-SHA-256 failed");
    return QByteArray(reinterpret_cast<const char *>(out), int(length))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

std::optional<ConsoleCaller> ConsoleGuard::caller(const HttpRequest &request) const
{
    const QByteArray cookie = cookieOf(request);
    if (cookie.isEmpty())
        return std::nullopt;
    const auto live = m_store.consoleSessions().lookUp(cookie);
    if (!live)
        return std::nullopt;
    return ConsoleCaller{live->adminId, live->adminName, live->key};
}

HttpReply ConsoleGuard::serve(PageRequest &r, const ConsolePage &page) const
{
    if (auto refused = screen(r.http))
        return *refused;
    const auto who = caller(r.http);
    if (!who)
        return replies::jsonError(401, QStringLiteral("not signed in"));
    if (r.http.method == "POST"
        && !constantTimeEquals(r.http.header("X-CSRF-Token"), csrfOf(cookieOf(r.http))))
        return replies::jsonError(403, QStringLiteral("the request's CSRF token is not this session's"));
    return page(r, *who);
}

} // namespace alertserver
