#pragma once

#include "server/store/PasswordHash.h"
#include "server/store/Records.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <utility>

namespace alertserver {

class Connection;
class Database;
class Limits;
struct Policy;
struct WorkCount;

// Administrator accounts and their bindings to the addresses they signed in
// from (the admins and admin_sessions tables).
class Admins
{
public:
    Admins(Database &db, const Policy &policy, Limits &limits, WorkCount &work, int passwordIterations);

    enum class Registration { Registered, Resent, NameTaken, Full, MailLimited };
    struct RegisterResult
    {
        Registration outcome = Registration::Full;
        int id = 0;
        QByteArray activationCode;
    };
    // Builds the activation mail for a new account, inside its transaction.
    using ActivationMail = std::function<Mail(int id, const QByteArray &code)>;
    // A new account with a random id, its activation mail queued with it.
    // Registering again a name that waits for its activation, with the same
    // e-mail address and password, queues the mail again (Resent). Without
    // `mail` nothing is queued (accounts that are activated at once).
    RegisterResult registerAdmin(const AdminRegistration &reg, const ActivationMail &mail = {});
    // Activates the account with this code; the code works once and only
    // within the activation period. Answers the account's user name.
    // With `confirmOnly` the account is left as it is (it waits for the
    // operator's approval).
    std::optional<QString> activate(const QByteArray &code, bool confirmOnly = false);
    bool activateByName(const QString &username);
    // Activates the account as the operator's own (made or approved by the
    // operator), whether it waited for its activation or registered itself.
    bool approve(const QString &username);
    // Expiry in seconds since the epoch; no value = never expires.
    bool setExpiry(const QString &username, std::optional<qint64> expiresAt);

    // A new password; the administrator's console sessions end with the old
    // one. False for an unknown name.
    bool setPassword(const QString &username, const QString &password);

    enum class Login { LoggedIn, Invalid, NotActive, Expired };
    std::pair<Login, int> login(const QString &username, const QString &password);
    // An administrator that exists, is activated and has not expired.
    bool isUsable(int adminId);
    std::optional<int> idByName(const QString &username);
    // Every administrator, by name.
    QList<AdminSummary> list();
    // Removes an administrator with its users (their sessions and alerts),
    // bindings and tokens; false for an unknown name.
    bool remove(const QString &username);

    // Binds an administrator to a caller's address (after a login or a
    // registration); each address is one binding, used ones stay alive.
    void bind(int adminId, const QString &address);
    // A usable administrator with a live binding to the address.
    bool isBound(int adminId, const QString &address);
    // The administrator of the user, when that administrator is bound to the
    // address; no value for an unknown user as for another's.
    std::optional<int> ownerBoundTo(int userId, const QString &address);

    // Drops bindings unused for longer than a session, and registrations
    // never activated (freeing their names).
    void dropExpired(Connection &db, qint64 t) const;

private:
    // Administrator ids are the key to an account's users, so they are not
    // handed out in an order one could guess.
    static int randomId(Connection &db);
    PasswordHash hash(const QString &password);
    bool verify(const QString &password, const PasswordHash &stored);

    Database &m_db;
    const Policy &m_policy;
    Limits &m_limits;
    WorkCount &m_work;
    int m_passwordIterations;
    PasswordHash m_decoy; // verified against unknown names so that they take as long as known ones
};

} // namespace alertserver
