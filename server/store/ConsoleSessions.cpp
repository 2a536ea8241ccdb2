#include "server/store/ConsoleSessions.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/PasswordHash.h"

namespace alertserver {

bool ConsoleSessions::plausible(const QByteArray &cookie)
{
    if (cookie.size() != 43)
        return false;
    for (const char c : cookie)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

ConsoleSessions::Opened ConsoleSessions::open(int adminId, const QString &address)
{
    const QByteArray cookie = randomToken(kCookieBytes);
    const QByteArray key = sha256(cookie);
    const qint64 t = now();
    return m_db.transaction([&](Connection &db) {
        db.exec("INSERT INTO console_sessions(key_hash, admin_id, address, created_at, last_used) VALUES(?,?,?,?,?)", key,
                adminId, address, t, t);
        return Opened{cookie, db.scalar<QString>("SELECT username FROM admins WHERE id = ?", adminId).value_or(QString())};
    });
}

std::optional<ConsoleSessions::Live> ConsoleSessions::lookUp(const QByteArray &cookie)
{
    if (!plausible(cookie))
        return std::nullopt;
    const QByteArray key = sha256(cookie);
    const qint64 t = now();
    qint64 lastUsed = 0;
    const auto live = m_db.run([&](Connection &db) -> std::optional<Live> {
        Query q = db.query("SELECT s.admin_id, a.username, s.last_used FROM console_sessions s "
                           "JOIN admins a ON a.id = s.admin_id "
                           "WHERE s.key_hash = ? AND s.last_used > ? AND s.created_at > ? AND a.active = 1 "
                           "AND (a.expires_at IS NULL OR a.expires_at > ?)",
                           key, t - kIdleSeconds, t - kLifetimeSeconds, t);
        if (!q.next())
            return std::nullopt;
        Live s;
        std::tie(s.adminId, s.adminName, lastUsed) = q.row<int, QString, qint64>();
        s.key = key;
        return s;
    });
    if (live && lastUsed <= t - kTouchEvery) {
        m_db.transaction([&](Connection &db) { db.exec("UPDATE console_sessions SET last_used = ? WHERE key_hash = ?", t, key); },
                         TransactionKind::Relaxed);
    }
    return live;
}

bool ConsoleSessions::end(const QByteArray &cookie)
{
    if (!plausible(cookie))
        return false;
    const QByteArray key = sha256(cookie);
    return m_db.transaction([&](Connection &db) { return db.exec("DELETE FROM console_sessions WHERE key_hash = ?", key) > 0; });
}

qint64 ConsoleSessions::endAllOf(int adminId)
{
    return m_db.transaction([&](Connection &db) { return endAllOf(db, adminId); });
}

qint64 ConsoleSessions::endAllOf(Connection &db, int adminId)
{
    return db.exec("DELETE FROM console_sessions WHERE admin_id = ?", adminId);
}

void ConsoleSessions::dropExpired(Connection &db, qint64 t)
{
    db.exec("DELETE FROM console_sessions WHERE last_used <= ? OR created_at <= ?", t - kIdleSeconds, t - kLifetimeSeconds);
}

} // namespace alertserver
