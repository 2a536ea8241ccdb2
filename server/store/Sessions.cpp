#include "server/store/Sessions.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/PasswordHash.h"
#include "server/store/Receipts.h"
#include "server/store/Policy.h"
#include "server/store/WorkCount.h"

namespace alertserver {

namespace {

// Changes made through this process, so that its own polls look at the
// store's mark again at once rather than after kMarkEvery.
std::atomic<quint64> g_localChanges{0};

} // namespace

void Sessions::changed(Connection &db)
{
    db.exec("INSERT INTO counters(name, value) VALUES('changes', 1) "
            "ON CONFLICT(name) DO UPDATE SET value = counters.value + 1");
    g_localChanges.fetch_add(1);
}

qint64 Sessions::currentMark()
{
    using Clock = std::chrono::steady_clock;
    std::lock_guard lock(m_markMutex);
    const Clock::time_point t = Clock::now();
    // Taken before the read: a change counted after it is looked at again.
    const quint64 local = g_localChanges.load();
    if (m_mark >= 0 && local == m_localSeen && t - m_markReadAt < kMarkEvery)
        return m_mark;
    const qint64 mark = m_db.run([](Connection &db) {
        return db.scalar<qint64>("SELECT value FROM counters WHERE name = 'changes'").value_or(0);
    });
    m_localSeen = local;
    m_markReadAt = t;
    if (mark != m_mark) {
        std::lock_guard known(m_knownMutex);
        m_known.clear();
    } else if (t - m_sweptAt >= std::chrono::seconds(kTouchEvery)) {
        // Sessions idle for a minute would go to the store anyway.
        const qint64 stale = now() - kTouchEvery;
        std::lock_guard known(m_knownMutex);
        m_known.removeIf([stale](const auto &entry) { return entry.value().lastPoll <= stale; });
        m_sweptAt = t;
    }
    m_mark = mark;
    return mark;
}

void Sessions::remember(const QString &key, const Known &known)
{
    std::lock_guard lock(m_knownMutex);
    if (m_known.size() < kKnownMax || m_known.contains(key))
        m_known.insert(key, known);
}

void Sessions::forget()
{
    std::scoped_lock lock(m_markMutex, m_knownMutex);
    m_known.clear();
    m_mark = -1;
}

qint64 Sessions::toldUpTo(Connection &db, int userId, qint64 untold)
{
    return db.scalar<qint64>("SELECT id FROM alerts WHERE user_id = ? ORDER BY id DESC LIMIT 1 OFFSET ?", userId, untold)
        .value_or(0);
}

bool Sessions::login(const QString &username, const QString &password, const QString &session)
{
    const qint64 t = now();
    const int id = m_db.run([&](Connection &db) {
        Query q = db.query("SELECT u.id, u.password FROM users u JOIN admins a ON a.id = u.admin_id "
                           "WHERE u.name_key = ? AND a.active = 1 AND (a.expires_at IS NULL OR a.expires_at > ?)",
                           nameKey(username), t);
        if (!q.next())
            return 0;
        ++m_work.passwordChecks;
        if (!constantTimeEquals(q.text(1).toUtf8(), password.toUtf8()))
            return 0;
        return int(q.integer(0));
    });
    if (id == 0)
        return false;
    m_db.transaction([&](Connection &db) {
        db.exec("DELETE FROM client_sessions WHERE user_id = ? AND last_poll <= ?", id, t - m_policy.clientSessionSeconds);
        const qint64 untold = db.scalar<qint64>("SELECT pending_alerts FROM users WHERE id = ?", id).value_or(0);
        // A live session logging in again keeps what it has been told.
        db.exec("INSERT INTO client_sessions(user_id, address, last_poll, seen_to) VALUES(?,?,?,?) "
                "ON CONFLICT(user_id, address) DO UPDATE SET last_poll = excluded.last_poll",
                id, session, t, toldUpTo(db, id, untold));
        db.exec("UPDATE users SET logged_in = 1 WHERE id = ? AND logged_in = 0", id);
    });
    return true;
}

int Sessions::poll(const QString &username, const QString &session, const QString &from)
{
    const qint64 t = now();
    const QString key = nameKey(username) + u'\n' + session;
    // Read before the store, so that whatever changes after the read below
    // shows as a new mark.
    const qint64 mark = currentMark();
    {
        std::lock_guard lock(m_knownMutex);
        const auto it = m_known.find(key);
        if (it != m_known.end()) {
            if (it->mark == mark && it->lastPoll > t - kTouchEvery && it->lastPoll > t - m_policy.clientSessionSeconds) {
                m_fromMemory.fetch_add(1, std::memory_order_relaxed);
                return 0;
            }
            m_known.erase(it);
        }
    }
    int id = 0;
    qint64 lastPoll = 0, seenTo = 0;
    // 2, 0, or -1 for news to be told: an unexpired alert above the
    // session's mark, found in the index of the user's alerts by id and expiry.
    const int quick = m_db.run([&](Connection &db) {
        Query q = db.query("SELECT u.id, s.last_poll, s.seen_to, CASE WHEN EXISTS(SELECT 1 FROM alerts a "
                           "WHERE a.user_id = u.id AND a.id > s.seen_to AND (a.expires_at IS NULL OR a.expires_at > ?)) "
                           "THEN 1 ELSE 0 END FROM users u JOIN client_sessions s ON s.user_id = u.id "
                           "WHERE u.name_key = ? AND s.address = ?",
                           t, nameKey(username), session);
        if (!q.next() || q.integer(1) <= t - m_policy.clientSessionSeconds)
            return 2;
        id = int(q.integer(0));
        lastPoll = q.integer(1);
        seenTo = q.integer(2);
        return q.integer(3) != 0 ? -1 : 0;
    });
    // The session's time is written at most once a minute, so that polls
    // stay reads.
    if (quick == 0 && lastPoll <= t - kTouchEvery) {
        m_db.transaction(
            [&](Connection &db) {
                db.exec("UPDATE client_sessions SET last_poll = ? WHERE user_id = ? AND address = ?", t, id, session);
            },
            TransactionKind::Relaxed);
        lastPoll = t;
    }
    if (quick == 0)
        remember(key, {lastPoll, mark});
    if (quick >= 0)
        return quick;
    // Only the poll that moves the session on reports the alerts, so two
    // polls racing on one session never both answer 1. Every alert up to the
    // newest has now been told to some session.
    const bool told = m_db.transaction(
        [&](Connection &db) {
            const qint64 newest = db.scalar<qint64>("SELECT max(id) FROM alerts WHERE user_id = ?", id).value_or(0);
            if (db.exec("UPDATE client_sessions SET seen_to = ?, last_poll = ? "
                        "WHERE user_id = ? AND address = ? AND seen_to < ?",
                        newest, t, id, session, newest)
                == 0)
                return false;
            db.exec("UPDATE users SET pending_alerts = 0 WHERE id = ?", id);
            Receipts::told(db, id, seenTo, newest, from.isEmpty() ? session : from);
            return true;
        },
        TransactionKind::Relaxed);
    return told ? 1 : 0;
}

bool Sessions::has(int userId, const QString &session)
{
    return m_db.run([&](Connection &db) {
        return db.exists("SELECT 1 FROM client_sessions WHERE user_id = ? AND address = ? AND last_poll > ?", userId,
                         session, now() - m_policy.clientSessionSeconds);
    });
}

qint64 Sessions::raise(Connection &db, int userId, const Publication &p, qint64 publicationId)
{
    const qint64 alertId = db.scalar<qint64>("INSERT INTO alerts(user_id, text, created_at, priority, expires_at) "
                                             "VALUES(?,?,?,?,?) RETURNING id",
                                             userId, p.text, now(), priorityName(p.priority), p.expiresAt)
                               .value_or(0);
    Receipts::raised(db, alertId, publicationId, userId, p.from);
    // Alerts no session has been told of yet, for the next new session.
    db.exec("UPDATE users SET pending_alerts = pending_alerts + 1 WHERE id = ?", userId);
    db.exec("DELETE FROM alerts WHERE user_id = ? AND id <= (SELECT id FROM alerts WHERE user_id = ? "
            "ORDER BY id DESC LIMIT 1 OFFSET ?)",
            userId, userId, kAlertsKept);
    return alertId;
}

std::optional<qint64> Sessions::raise(const QString &username, const Publication &p)
{
    return m_db.transaction([&](Connection &db) -> std::optional<qint64> {
        const auto userId = db.scalar<int>("SELECT id FROM users WHERE name_key = ?", nameKey(username));
        if (!userId)
            return std::nullopt;
        const qint64 alertId = raise(db, *userId, p, Receipts::open(db, p));
        changed(db);
        return alertId;
    });
}

bool Sessions::logout(const QString &username)
{
    return m_db.transaction([&](Connection &db) {
        const auto id = db.scalar<int>("SELECT id FROM users WHERE name_key = ?", nameKey(username));
        if (!id)
            return false;
        endAll(db, *id);
        return true;
    });
}

void Sessions::endAll(Connection &db, int userId)
{
    db.exec("DELETE FROM client_sessions WHERE user_id = ?", userId);
    db.exec("UPDATE users SET logged_in = 0 WHERE id = ?", userId);
    changed(db);
}

QList<AlertRecord> Sessions::alertsOf(int userId, int limit)
{
    return m_db.run([&](Connection &db) {
        Query q = db.query("SELECT a.id, a.text, a.created_at, a.priority, a.expires_at, a.resolved_at, r.acked_at, "
                           "CASE WHEN r.alert_id IS NULL THEN 0 ELSE 1 END "
                           "FROM alerts a LEFT JOIN receipts r ON r.alert_id = a.id WHERE a.user_id = ? "
                           "ORDER BY a.id DESC LIMIT ?",
                           userId, limit);
        QList<AlertRecord> out;
        while (q.next()) {
            AlertRecord a;
            a.id = q.integer(0);
            a.text = q.text(1);
            a.createdAt = q.integer(2);
            a.priority = priorityFromName(q.text(3)).value_or(Priority::Normal);
            a.expiresAt = q.column<std::optional<qint64>>(4);
            a.resolvedAt = q.column<std::optional<qint64>>(5);
            a.acknowledgedAt = q.column<std::optional<qint64>>(6);
            a.hasReceipt = q.integer(7) != 0;
            out.append(a);
        }
        return out;
    });
}

void Sessions::dropExpired(Connection &db, qint64 t) const
{
    db.exec("DELETE FROM client_sessions WHERE last_poll <= ?", t - m_policy.clientSessionSeconds);
}

} // namespace alertserver
