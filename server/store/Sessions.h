#pragma once

#include "server/store/Records.h"

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <mutex>
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
//
// Polls that have nothing new are answered from memory: each Sessions keeps,
// per (user, session), what its last read of the store established (a live
// session with nothing new), valid while the store's change mark is what it
// was then. The mark is a counter every change that can turn a poll's answer
// bumps in its own transaction (alerts raised, sessions ended, users or
// administrators deleted); each Sessions reads it at most every kMarkEvery,
// so a change made through another server is heard of within that (plus one
// read), and one made through this process at the next poll. Only "0" is
// remembered; news, "2" and the minute's touch of the session's time go to
// the store as before.
class Sessions
{
public:
    // The session key every caller shares when sessions are per user.
    static constexpr const char *kAnyAddress = "*";
    // Alerts kept per user; older ones are dropped as new ones arrive.
    static constexpr int kAlertsKept = 1000;

    // How long a read of the store's change mark is trusted.
    static constexpr std::chrono::milliseconds kMarkEvery{500};
    // Sessions remembered at most; past it polls simply go to the store.
    static constexpr qsizetype kKnownMax = 200000;

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
    // a transaction of the caller's, with its receipt; answers its id. The
    // caller marks the change (changed()) in the same transaction.
    static qint64 raise(Connection &db, int userId, const Publication &p, qint64 publicationId);
    // Bumps the store's change mark, inside the transaction of a change that
    // can turn a poll's answer. Once per transaction is enough; a caller of
    // the static raise() does it itself.
    static void changed(Connection &db);
    // Forgets what polls established, for a store changed behind the
    // server's back.
    void forget();
    // Polls answered from memory so far.
    qint64 answeredFromMemory() const { return m_fromMemory.load(std::memory_order_relaxed); }

    // Newest first, with whether each was acknowledged.
    QList<AlertRecord> alertsOf(int userId, int limit);

    // The id up to which a new session of the user counts as told:
    // everything but the alerts no session has been told of yet.
    static qint64 toldUpTo(Connection &db, int userId, qint64 untold);
    // Drops sessions without a poll for longer than a session lasts.
    void dropExpired(Connection &db, qint64 t) const;

private:
    // A live session with nothing new, as a poll's read of the store left it.
    struct Known
    {
        qint64 lastPoll = 0;
        qint64 mark = 0;
    };
    // The store's change mark, read again when kMarkEvery has passed or this
    // process changed the store since.
    qint64 currentMark();
    void remember(const QString &key, const Known &known);

    Database &m_db;
    const Policy &m_policy;
    WorkCount &m_work;

    std::mutex m_markMutex; // held while the mark is read
    std::chrono::steady_clock::time_point m_markReadAt;
    std::chrono::steady_clock::time_point m_sweptAt;
    quint64 m_localSeen = 0;
    qint64 m_mark = -1;

    std::mutex m_knownMutex;
    QHash<QString, Known> m_known; // by name key and session
    std::atomic<qint64> m_fromMemory{0};
};

} // namespace alertserver
