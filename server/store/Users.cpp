#include "server/store/Users.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/Sessions.h"

namespace alertserver {

namespace {

// Every user SELECT below reads these columns, in this order.
#define USER_COLUMNS "id, admin_id, username, password, firstname, lastname, tel, email, wirelessno, carrier"

UserRecord readUser(const Query &q)
{
    UserRecord u;
    std::tie(u.id, u.adminId, u.username, u.password, u.firstname, u.lastname, u.tel, u.email, u.wirelessno,
             u.carrier) = q.row<int, int, QString, QString, QString, QString, QString, QString, QString, QString>();
    return u;
}

} // namespace

// One above the highest ever given while that stays in range, so a deleted
// user's id is not handed to the next one.
int Users::nextId(Connection &db)
{
    const qint64 highest = db.scalar<qint64>("SELECT value FROM counters WHERE name = 'users'").value_or(0);
    if (highest < kMaxId)
        return int(highest + 1);
    const auto lowest = db.scalar<std::optional<qint64>>(
        "SELECT min(t.id + 1) FROM (SELECT 0 AS id UNION ALL SELECT id FROM users) t "
        "WHERE t.id < 32767 AND NOT EXISTS (SELECT 1 FROM users u WHERE u.id = t.id + 1)");
    return lowest && *lowest ? int(**lowest) : 0;
}

std::pair<Users::Addition, int> Users::add(int adminId, const UserFields &f, int maxUsers, int selfRegisteredShare)
{
    return m_db.transaction([&](Connection &db) -> std::pair<Addition, int> {
        const auto origin = db.scalar<QString>("SELECT origin FROM admins WHERE id = ?", adminId);
        if (!origin)
            return {Addition::NoAdmin, 0};
        // User names are unique across the whole server: the client logs in
        // with the name alone.
        if (db.exists("SELECT 1 FROM users WHERE name_key = ?", nameKey(f.username)))
            return {Addition::NameTaken, 0};
        if (db.scalar<qint64>("SELECT count(*) FROM users WHERE admin_id = ?", adminId).value_or(0) >= maxUsers)
            return {Addition::Full, 0};
        // Strangers together never reach the ids kept for the operator's
        // administrators, however many of them register.
        if (*origin != QLatin1String("operator") && selfRegisteredShare < kMaxId
            && db.scalar<qint64>("SELECT count(*) FROM users u JOIN admins a ON a.id = u.admin_id "
                                 "WHERE a.origin <> 'operator'")
                       .value_or(0)
                >= selfRegisteredShare)
            return {Addition::Full, 0};
        const int id = nextId(db);
        if (id == 0)
            return {Addition::Full, 0};
        db.exec("INSERT INTO users(id, admin_id, username, name_key, password, firstname, lastname, "
                "tel, email, wirelessno, carrier, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)",
                id, adminId, f.username, nameKey(f.username), f.password, f.firstname, f.lastname, f.tel, f.email,
                f.wirelessno, f.carrier, now());
        db.exec("UPDATE counters SET value = ? WHERE name = 'users' AND value < ?", id, id);
        return {Addition::Added, id};
    });
}

bool Users::edit(int id, const UserFields &f)
{
    return m_db.transaction([&](Connection &db) {
        const auto old = db.scalar<QString>("SELECT password FROM users WHERE id = ?", id);
        if (!old)
            return false;
        db.exec("UPDATE users SET password = ?, firstname = ?, lastname = ?, tel = ?, email = ?, "
                "wirelessno = ?, carrier = ? WHERE id = ?",
                f.password, f.firstname, f.lastname, f.tel, f.email, f.wirelessno, f.carrier, id);
        // A new password ends every session, so that whoever logged in with
        // the old one is out at the next poll. The edit dialog sends the
        // password with every change; an unchanged one ends nothing.
        if (*old != f.password)
            Sessions::endAll(db, id);
        return true;
    });
}

bool Users::remove(int id)
{
    // In a transaction: run again after a lost connection, the delete
    // would answer that there was no such user.
    return m_db.transaction([&](Connection &db) {
        if (db.exec("DELETE FROM users WHERE id = ?", id) == 0)
            return false;
        Sessions::changed(db);
        return true;
    });
}

QList<UserRecord> Users::of(int adminId)
{
    return m_db.run([&](Connection &db) {
        Query q = db.query("SELECT " USER_COLUMNS " FROM users WHERE admin_id = ? ORDER BY id", adminId);
        QList<UserRecord> out;
        while (q.next())
            out.append(readUser(q));
        return out;
    });
}

Users::Page Users::search(int adminId, const QString &text, int offset, int limit)
{
    // A text held anywhere in a field: no index serves that, so the scan is
    // kept to the administrator's own users (users_by_admin: at most one id
    // range), and the caller bounds the text. ASCII letters match without
    // case on both back ends, as names compare (LIKE on SQLite, ILIKE on
    // PostgreSQL).
    QString pattern = text;
    pattern.replace(u'\\', QLatin1String("\\\\")).replace(u'%', QLatin1String("\\%")).replace(u'_', QLatin1String("\\_"));
    pattern = u'%' + pattern + u'%';
#define USER_MATCH(like)                                                                                               \
    " FROM users WHERE admin_id = ? AND (username " like " ? ESCAPE '\\' OR firstname " like " ? ESCAPE '\\' "      \
    "OR lastname " like " ? ESCAPE '\\' OR email " like " ? ESCAPE '\\')"
#define USER_PAGE " ORDER BY name_key LIMIT ? OFFSET ?"
    return m_db.run([&](Connection &db) {
        Page page;
        const bool sqlite = db.dialect() == Dialect::Sqlite;
        Query q = text.isEmpty()
                      ? db.query("SELECT " USER_COLUMNS " FROM users WHERE admin_id = ?" USER_PAGE, adminId, limit, offset)
                  : sqlite ? db.query("SELECT " USER_COLUMNS USER_MATCH("LIKE") USER_PAGE, adminId, pattern, pattern,
                                      pattern, pattern, limit, offset)
                           : db.query("SELECT " USER_COLUMNS USER_MATCH("ILIKE") USER_PAGE, adminId, pattern, pattern,
                                      pattern, pattern, limit, offset);
        while (q.next())
            page.users.append(readUser(q));
        const auto total = text.isEmpty() ? db.scalar<qint64>("SELECT count(*) FROM users WHERE admin_id = ?", adminId)
                           : sqlite ? db.scalar<qint64>("SELECT count(*)" USER_MATCH("LIKE"), adminId, pattern, pattern,
                                                        pattern, pattern)
                                    : db.scalar<qint64>("SELECT count(*)" USER_MATCH("ILIKE"), adminId, pattern, pattern,
                                                        pattern, pattern);
        page.total = int(total.value_or(0));
        return page;
    });
#undef USER_MATCH
#undef USER_PAGE
}

std::optional<UserRecord> Users::byName(const QString &username)
{
    return m_db.run([&](Connection &db) -> std::optional<UserRecord> {
        Query q = db.query("SELECT " USER_COLUMNS " FROM users WHERE name_key = ?", nameKey(username));
        if (q.next())
            return readUser(q);
        return std::nullopt;
    });
}

} // namespace alertserver

#undef USER_COLUMNS
