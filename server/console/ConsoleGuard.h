#pragma once

#include "server/console/ConsoleCaller.h"
#include "server/web/Http.h"
#include "server/web/Router.h"

#include <QByteArray>

#include <functional>
#include <optional>

namespace alertserver {

class Links;
class ServerNames;
class Store;

// A console page: answers only a checked caller.
using ConsolePage = std::function<HttpReply(PageRequest &, const ConsoleCaller &)>;

// What stands between the console and a stranger:
// - the channel: TLS, or plain http from a caller on this machine, or a
//   trusted proxy when the public address is https; anything else is refused
//   for pages and interface alike, so no password or cookie crosses a
//   network in the clear;
// - the session cookie (HttpOnly, SameSite=Strict; over https Secure and
//   named "__Host-...", which a browser accepts only from this very host
//   over https, so no neighbouring host can plant one);
// - for every POST: a JSON body (no form a foreign page could post without
//   asking first), an Origin that is one of the server's names, and the
//   session's CSRF token.
class ConsoleGuard
{
public:
    ConsoleGuard(Store &store, const Links &links, const ServerNames &names)
        : m_store(store), m_links(links), m_names(names)
    {
    }

    // The checks that need no session, for the sign-in and the files: the
    // channel, and for a POST its body's type and its Origin. A refusal
    // when one fails.
    std::optional<HttpReply> screen(const HttpRequest &request, bool json = true) const;
    // The caller of the request's live session, if any.
    std::optional<ConsoleCaller> caller(const HttpRequest &request) const;
    // Screen, session and (for a POST) CSRF token, then the page.
    HttpReply serve(PageRequest &r, const ConsolePage &page) const;

    // Whether the browser reaches the server over https.
    bool overHttps(const HttpRequest &request) const;
    // The request's session cookie: empty when none, or when it came twice.
    QByteArray cookieOf(const HttpRequest &request) const;
    // The Set-Cookie value that hands a browser the cookie, or (empty
    // cookie) takes it back.
    QByteArray setCookie(const HttpRequest &request, const QByteArray &cookie) const;
    // The CSRF token of a session: an HMAC of its cookie, so every server
    // derives the same, and neither the token nor the store gives the
    // cookie away.
    static QByteArray csrfOf(const QByteArray &cookie);

private:
    bool channelAllowed(const HttpRequest &request) const;

    Store &m_store;
    const Links &m_links;
    const ServerNames &m_names;
};

} // namespace alertserver
