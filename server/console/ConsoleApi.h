#pragma once

#include "server/console/ConsoleCaller.h"
#include "server/controllers/Publishing.h"
#include "server/web/Http.h"

namespace alertserver {

class MailDelivery;
class Store;
struct PageRequest;

// The publisher console's JSON interface: what an administrator signed in
// to the console reads and does. Each page answers one caller whose session,
// CSRF token and Origin the guard has checked; it sees and touches only that
// administrator's users, alerts and tokens. Replies are JSON, refusals
// {"error": "why"}; POST bodies are JSON objects, read strictly.
class ConsoleApi
{
public:
    ConsoleApi(Store &store, MailDelivery &mail) : m_store(store), m_publishing(store, mail) {}

    // The largest bodies the POSTs take: a publication's as on the
    // publishing interface (picked names and all); a token's few fields.
    static constexpr qint64 kMaxSendBody = limits::kMaxApiBodyBytes;
    static constexpr qint64 kMaxTokenBody = 4 * 1024;
    // Users a page lists (default and most), and the longest search text: a
    // contained text costs about its length times the field's on each of
    // the administrator's users, so it stays short (a user name's length).
    static constexpr int kUsersListed = 50;
    static constexpr int kMaxUsersListed = 200;
    static constexpr int kMaxSearch = limits::kUserName;

    // GET /console/api/users?q=TEXT&offset=N&limit=M
    HttpReply users(PageRequest &r, const ConsoleCaller &caller);
    // GET and POST /console/api/alerts: list() and send() by method.
    HttpReply alerts(PageRequest &r, const ConsoleCaller &caller);
    // GET /console/api/alerts?before=ID&limit=N: as GET /api/v1/alerts.
    HttpReply list(PageRequest &r, const ConsoleCaller &caller);
    // POST /console/api/alerts (maxBody kMaxSendBody): as POST /api/v1/alerts,
    // within the console's limit per administrator.
    HttpReply send(PageRequest &r, const ConsoleCaller &caller);
    // GET /console/api/alerts/ID (a route ending in "/"): as GET /api/v1/alerts/ID.
    HttpReply alert(PageRequest &r, const ConsoleCaller &caller);
    // GET and POST /console/api/tokens: listTokens() and createToken() by method.
    HttpReply tokens(PageRequest &r, const ConsoleCaller &caller);
    // GET /console/api/tokens
    HttpReply listTokens(PageRequest &r, const ConsoleCaller &caller);
    // POST /console/api/tokens (maxBody kMaxTokenBody) {"password", "label"?,
    // "scope"?}: the password again, a wrong one a failed login.
    HttpReply createToken(PageRequest &r, const ConsoleCaller &caller);
    // POST /console/api/tokens/revoke (maxBody kMaxTokenBody) {"label"}
    HttpReply revokeToken(PageRequest &r, const ConsoleCaller &caller);

private:
    Store &m_store;
    Publishing m_publishing;
};

} // namespace alertserver
