#pragma once

#include "server/console/ConsoleGuard.h"

namespace alertserver {

class Store;

// Signing in to the console and out of it: the wizard's accounts, password
// checks and failed-login limits, with a session of the console's own (the
// wizard's bindings are not touched).
class ConsoleSignIn
{
public:
    ConsoleSignIn(Store &store, const ConsoleGuard &guard) : m_store(store), m_guard(guard) {}

    // POST /console/api/signin {"name", "password"}: 200 {"admin", "csrf"}
    // with the session's cookie; 401 wrong name or password, 403 not
    // activated or expired, 429 past the failed-login limits.
    HttpReply signIn(PageRequest &r);
    // GET /console/api/session: 200 {"admin", "csrf"}.
    HttpReply session(PageRequest &r, const ConsoleCaller &caller);
    // POST /console/api/signout: 200 {}, the session gone, the cookie taken back.
    HttpReply signOut(PageRequest &r, const ConsoleCaller &caller);

private:
    Store &m_store;
    const ConsoleGuard &m_guard;
};

} // namespace alertserver
