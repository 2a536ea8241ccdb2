#pragma once

#include "server/store/Admins.h"
#include "server/store/ConsoleSessions.h"
#include "server/store/Limits.h"
#include "server/store/MailQueue.h"
#include "server/store/PasswordHash.h"
#include "server/store/Policy.h"
#include "server/store/Receipts.h"
#include "server/store/Records.h"
#include "server/store/Sessions.h"
#include "server/store/Tokens.h"
#include "server/store/Users.h"
#include "server/store/WorkCount.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>

namespace alertserver {

class Connection;
class Database;

// The server's data: one SQLite file, or one PostgreSQL database that several
// servers share, reached through one concern per family of tables. Every
// method of every concern is safe to call from any number of threads (and
// processes) at once: each call leases its own connection, and every change
// that touches more than one row runs in one write transaction, so the
// database itself keeps racing servers apart. Sessions, limits and the mail
// queue live here too, so that several servers on one store agree on them.
class Store
{
public:
    // The schema this build writes; a store with a higher version was made by
    // a newer server and is refused rather than misread.
    static constexpr int kSchemaVersion = 7;
    static constexpr int kMaxId = alertserver::kMaxId;
    static constexpr int kAlertsKept = Sessions::kAlertsKept;

    // A file path (SQLite) or a postgresql:// URI; see Database::open.
    explicit Store(const QString &location, int passwordIterations = kDefaultPasswordIterations);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const QString &location() const;
    // The files SQLite keeps the store in (none for PostgreSQL): nothing but
    // SQLite may open them.
    QStringList files() const;
    Database &database() { return *m_db; }
    void setPolicy(const Policy &policy) { m_policy = policy; }
    const Policy &policy() const { return m_policy; }

    Admins &admins() { return m_admins; }
    Users &users() { return m_users; }
    Sessions &sessions() { return m_sessions; }
    Tokens &tokens() { return m_tokens; }
    Receipts &receipts() { return m_receipts; }
    Limits &limits() { return m_limits; }
    MailQueue &mailQueue() { return m_mailQueue; }
    ConsoleSessions &consoleSessions() { return m_consoleSessions; }
    // What the store has done so far (hashes, checks, mails).
    WorkCount &work() { return m_work; }

    // Drops what has expired: sessions, bindings, limit windows, and
    // registrations never activated (freeing their names), and
    // receipts kept long enough.
    void sweep();

    // ---- the store as a whole (StoreSchema.cpp)
    // Every table, parents before the tables that refer to them.
    static const QStringList &tables();
    // Copies every row of every table into `target`, which must hold no
    // data yet, in one transaction; answers the rows copied per table.
    QList<std::pair<QString, qint64>> copyInto(Store &target);

private:
    void migrate();

    std::unique_ptr<Database> m_db;
    Policy m_policy;
    WorkCount m_work;
    Limits m_limits;
    MailQueue m_mailQueue;
    Admins m_admins;
    Users m_users;
    Sessions m_sessions;
    Tokens m_tokens;
    Receipts m_receipts;
    ConsoleSessions m_consoleSessions;
};

} // namespace alertserver
