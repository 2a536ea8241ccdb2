#pragma once

#include "server/store/Records.h"

#include <QList>
#include <QString>

#include <optional>

namespace alertserver {

class Connection;
class Database;
struct Policy;
struct WorkCount;

// The client side: sessions of a user (per caller's address, or one shared
// by every caller) and the alerts each session is told of once (the
// client_sessions and alerts tables). `session` is the caller's address, or
// kAnyAddress.
class Sessions
{
public:
    // The session key every caller shares when sessions are per user.
    static constexpr const char *kAnyAddress = "*";
    // Alerts kept per user; older ones are dropped as new ones arrive.
    static constexpr int kAlertsKept = 1000;

    Sessions(Database &db, const Policy &policy, WorkCount &work) : m_db(db), m_policy(policy), m_work(work) {}

    // True when the name and password match a user of a usable administrator;
    // the session is then live. A new session is told of the alerts that no
    // session has been told of yet.
    bool login(const QString &username, const QString &password, const QString &session);
    // 1: alerts arrived that this session has not been told of (told once),
    // 2: no live session (or no such user), 0: nothing new.
    // An alert past its expiry is never told. `from` is the caller's address
    // (the receipts' "told"), the session's key when not given.
    int poll(const QString &username, const QString &session, const QString &from = {});
    bool has(int userId, const QString &session);
    // Ends every session of the user.
    bool logout(const QString &username);
    // The same inside a transaction of the caller's (a new password).
    static void endAll(Connection &db, int userId);

    // The new alert's id, or no value for an unknown user (the operator's
    // own publication).
    std::optional<qint64> raise(const QString &username, const Publication &p);
    std::optional<qint64> raise(const QString &username, const QString &text)
    {
        Publication p;
        p.text = text;
        return raise(username, p);
    }
    // Raises an alert of publication `publicationId` (Receipts::open) inside
    // a transaction of the caller's, with its receipt; answers its id.
    static qint64 raise(Connection &db, int userId, const Publication &p, qint64 publicationId);
    // Newest first, with whether each was acknowledged.
    QList<AlertRecord> alertsOf(int userId, int limit);

    // The id up to which a new session of the user counts as told:
    // everything but the alerts no session has been told of yet.
    static qint64 toldUpTo(Connection &db, int userId, qint64 untold);
    // Drops sessions without a poll for longer than a session lasts.
    void dropExpired(Connection &db, qint64 t) const;

private:
    Database &m_db;
    const Policy &m_policy;
    WorkCount &m_work;
};

} // namespace alertserver
