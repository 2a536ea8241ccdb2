#include "Store.h"

#include <QDateTime>
#include <cstring>

namespace alertserver {

namespace {

const char *const kSchemaV1 = R"SQL(
CREATE TABLE admins(
    id INTEGER PRIMARY KEY AUTOINCREMENT CHECK(id BETWEEN 1 AND 32767),
    username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password_salt BLOB NOT NULL,
    password_hash BLOB NOT NULL,
    password_iterations INTEGER NOT NULL,
    firstname TEXT NOT NULL, lastname TEXT NOT NULL, company TEXT NOT NULL,
    address TEXT NOT NULL, tel TEXT NOT NULL, email TEXT NOT NULL,
    country TEXT NOT NULL, state TEXT NOT NULL, city TEXT NOT NULL,
    postalcode TEXT NOT NULL, regtype TEXT NOT NULL,
    active INTEGER NOT NULL DEFAULT 0,
    activation_code TEXT UNIQUE,
    expires_at INTEGER,
    created_at INTEGER NOT NULL
);
CREATE TABLE users(
    id INTEGER PRIMARY KEY AUTOINCREMENT CHECK(id BETWEEN 1 AND 32767),
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password TEXT NOT NULL,
    firstname TEXT NOT NULL, lastname TEXT NOT NULL, tel TEXT NOT NULL,
    email TEXT NOT NULL, wirelessno TEXT NOT NULL, carrier TEXT NOT NULL,
    logged_in INTEGER NOT NULL DEFAULT 0,
    pending_alerts INTEGER NOT NULL DEFAULT 0,
    created_at INTEGER NOT NULL
);
CREATE INDEX users_by_admin ON users(admin_id, id);
CREATE TABLE alerts(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    text TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE INDEX alerts_by_user ON alerts(user_id, id);
PRAGMA user_version = 1;
)SQL";

UserRecord readUser(const Query &q)
{
    // Column order of every user SELECT below.
    UserRecord u;
    u.id = int(q.integer(0));
    u.adminId = int(q.integer(1));
    u.username = q.text(2);
    u.password = q.text(3);
    u.firstname = q.text(4);
    u.lastname = q.text(5);
    u.tel = q.text(6);
    u.email = q.text(7);
    u.wirelessno = q.text(8);
    u.carrier = q.text(9);
    u.loggedIn = q.integer(10) != 0;
    return u;
}

} // namespace

Store::Store(const QString &path, int passwordIterations)
    : m_pool(path), m_passwordIterations(passwordIterations)
{
    migrate();
    m_decoy = hashPassword("decoy", m_passwordIterations);
}

qint64 Store::now()
{
    return QDateTime::currentSecsSinceEpoch();
}

void Store::migrate()
{
    auto db = m_pool.acquire();
    Transaction tx(*db, Transaction::Kind::Write);
    int version = 0;
    {
        Query q = db->query("PRAGMA user_version");
        if (q.next())
            version = int(q.integer(0));
    }
    if (version > kSchemaVersion)
        throw StoreError("the store " + path().toStdString() + " has schema version "
                         + std::to_string(version) + ", newer than this server understands ("
                         + std::to_string(kSchemaVersion) + ")");
    if (version == 0) {
        // A brand-new file, or one that is not ours: refuse files that already
        // hold tables rather than add ours beside them.
        Query q = db->query("SELECT count(*) FROM sqlite_master");
        if (q.next() && q.integer(0) != 0)
            throw StoreError("the file " + path().toStdString() + " holds another database");
    }
    if (version < 1)
        db->exec(kSchemaV1);
    tx.commit();
}

// The next free id for a table: one above the highest ever given while that
// stays in range (so a deleted user's id is not handed to the next one), and
// the lowest free id once the range is used up.
int Store::nextId(SqliteConnection &db, const char *table)
{
    const bool users = std::strcmp(table, "users") == 0;
    qint64 highest = 0;
    {
        Query q = db.query("SELECT seq FROM sqlite_sequence WHERE name = ?");
        q.bind(1, QString::fromLatin1(table));
        if (q.next())
            highest = q.integer(0);
    }
    if (highest < kMaxId)
        return int(highest + 1);
    Query q = users ? db.query("SELECT min(t.id + 1) FROM (SELECT 0 AS id UNION ALL SELECT id FROM users) t "
                               "WHERE t.id < 32767 AND NOT EXISTS (SELECT 1 FROM users u WHERE u.id = t.id + 1)")
                    : db.query("SELECT min(t.id + 1) FROM (SELECT 0 AS id UNION ALL SELECT id FROM admins) t "
                               "WHERE t.id < 32767 AND NOT EXISTS (SELECT 1 FROM admins a WHERE a.id = t.id + 1)");
    if (q.next() && !q.isNull(0))
        return int(q.integer(0));
    return 0;
}

// ---- administrators

Store::RegisterResult Store::registerAdmin(const AdminRegistration &reg)
{
    // The slow hash is computed before the write lock is taken.
    const PasswordHash hash = hashPassword(reg.password.toUtf8(), m_passwordIterations);
    const QByteArray code = randomHex(20);

    auto db = m_pool.acquire();
    Transaction tx(*db, Transaction::Kind::Write);
    {
        Query q = db->query("SELECT 1 FROM admins WHERE username = ?");
        q.bind(1, reg.username);
        if (q.next())
            return {Registration::NameTaken, 0, {}};
    }
    const int id = nextId(*db, "admins");
    if (id == 0)
        return {Registration::Full, 0, {}};
    {
        Query q = db->query(
            "INSERT INTO admins(id, username, password_salt, password_hash, password_iterations, firstname, "
            "lastname, company, address, tel, email, country, state, city, postalcode, regtype, active, "
            "activation_code, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,0,?,?)");
        q.bind(1, id).bind(2, reg.username).bind(3, hash.salt).bind(4, hash.hash).bind(5, hash.iterations);
        q.bind(6, reg.firstname).bind(7, reg.lastname).bind(8, reg.company).bind(9, reg.address);
        q.bind(10, reg.tel).bind(11, reg.email).bind(12, reg.country).bind(13, reg.state);
        q.bind(14, reg.city).bind(15, reg.postalcode).bind(16, reg.regtype);
        q.bind(17, QString::fromLatin1(code)).bind(18, now());
        q.run();
    }
    tx.commit();
    return {Registration::Registered, id, code};
}

std::optional<QString> Store::activateAdmin(const QByteArray &code)
{
    if (code.isEmpty())
        return std::nullopt;
    auto db = m_pool.acquire();
    Transaction tx(*db, Transaction::Kind::Write);
    QString username;
    {
        Query q = db->query("SELECT username FROM admins WHERE activation_code = ?");
        q.bind(1, QString::fromLatin1(code));
        if (!q.next())
            return std::nullopt;
        username = q.text(0);
    }
    {
        Query q = db->query("UPDATE admins SET active = 1, activation_code = NULL WHERE activation_code = ?");
        q.bind(1, QString::fromLatin1(code));
        q.run();
    }
    tx.commit();
    return username;
}

bool Store::activateAdminByName(const QString &username)
{
    auto db = m_pool.acquire();
    Query q = db->query("UPDATE admins SET active = 1, activation_code = NULL WHERE username = ?");
    q.bind(1, username);
    q.run();
    return db->changes() > 0;
}

void Store::removeAdmin(int id)
{
    auto db = m_pool.acquire();
    Query q = db->query("DELETE FROM admins WHERE id = ?");
    q.bind(1, id);
    q.run();
}

bool Store::setAdminExpiry(const QString &username, std::optional<qint64> expiresAt)
{
    auto db = m_pool.acquire();
    Query q = db->query("UPDATE admins SET expires_at = ? WHERE username = ?");
    if (expiresAt)
        q.bind(1, *expiresAt);
    else
        q.bindNull(1);
    q.bind(2, username);
    q.run();
    return db->changes() > 0;
}

std::pair<Store::AdminLogin, int> Store::loginAdmin(const QString &username, const QString &password)
{
    PasswordHash stored;
    int id = 0;
    bool active = false;
    std::optional<qint64> expiresAt;
    bool found = false;
    {
        auto db = m_pool.acquire();
        Query q = db->query("SELECT id, password_salt, password_hash, password_iterations, active, expires_at "
                            "FROM admins WHERE username = ?");
        q.bind(1, username);
        if (q.next()) {
            found = true;
            id = int(q.integer(0));
            stored.salt = q.blob(1);
            stored.hash = q.blob(2);
            stored.iterations = int(q.integer(3));
            active = q.integer(4) != 0;
            if (!q.isNull(5))
                expiresAt = q.integer(5);
        }
    }
    if (!found) {
        verifyPassword(password.toUtf8(), m_decoy);
        return {AdminLogin::Invalid, 0};
    }
    // The password is checked first, so the other answers tell nothing about
    // an account to someone who does not know its password.
    if (!verifyPassword(password.toUtf8(), stored))
        return {AdminLogin::Invalid, 0};
    if (!active)
        return {AdminLogin::NotActive, 0};
    if (expiresAt && *expiresAt <= now())
        return {AdminLogin::Expired, 0};
    return {AdminLogin::LoggedIn, id};
}

bool Store::isUsableAdmin(int adminId)
{
    auto db = m_pool.acquire();
    Query q = db->query("SELECT 1 FROM admins WHERE id = ? AND active = 1 "
                        "AND (expires_at IS NULL OR expires_at > ?)");
    q.bind(1, adminId).bind(2, now());
    return q.next();
}

std::optional<int> Store::adminIdByName(const QString &username)
{
    auto db = m_pool.acquire();
    Query q = db->query("SELECT id FROM admins WHERE username = ?");
    q.bind(1, username);
    if (q.next())
        return int(q.integer(0));
    return std::nullopt;
}

// ---- users

std::pair<Store::Addition, int> Store::addUser(int adminId, const UserFields &f)
{
    auto db = m_pool.acquire();
    Transaction tx(*db, Transaction::Kind::Write);
    {
        Query q = db->query("SELECT 1 FROM admins WHERE id = ?");
        q.bind(1, adminId);
        if (!q.next())
            return {Addition::NoAdmin, 0};
    }
    {
        // User names are unique across the whole server: the client logs in
        // with the name alone.
        Query q = db->query("SELECT 1 FROM users WHERE username = ?");
        q.bind(1, f.username);
        if (q.next())
            return {Addition::NameTaken, 0};
    }
    const int id = nextId(*db, "users");
    if (id == 0)
        return {Addition::Full, 0};
    {
        Query q = db->query("INSERT INTO users(id, admin_id, username, password, firstname, lastname, tel, email, "
                            "wirelessno, carrier, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?)");
        q.bind(1, id).bind(2, adminId).bind(3, f.username).bind(4, f.password).bind(5, f.firstname);
        q.bind(6, f.lastname).bind(7, f.tel).bind(8, f.email).bind(9, f.wirelessno).bind(10, f.carrier);
        q.bind(11, now());
        q.run();
    }
    tx.commit();
    return {Addition::Added, id};
}

bool Store::editUser(int id, const UserFields &f)
{
    auto db = m_pool.acquire();
    Query q = db->query("UPDATE users SET password = ?, firstname = ?, lastname = ?, tel = ?, email = ?, "
                        "wirelessno = ?, carrier = ? WHERE id = ?");
    q.bind(1, f.password).bind(2, f.firstname).bind(3, f.lastname).bind(4, f.tel).bind(5, f.email);
    q.bind(6, f.wirelessno).bind(7, f.carrier).bind(8, id);
    q.run();
    return db->changes() > 0;
}

bool Store::deleteUser(int id)
{
    auto db = m_pool.acquire();
    Query q = db->query("DELETE FROM users WHERE id = ?");
    q.bind(1, id);
    q.run();
    return db->changes() > 0;
}

QList<UserRecord> Store::usersOf(int adminId)
{
    auto db = m_pool.acquire();
    Query q = db->query("SELECT id, admin_id, username, password, firstname, lastname, tel, email, wirelessno, "
                        "carrier, logged_in FROM users WHERE admin_id = ? ORDER BY id");
    q.bind(1, adminId);
    QList<UserRecord> out;
    while (q.next())
        out.append(readUser(q));
    return out;
}

std::optional<UserRecord> Store::userByName(const QString &username)
{
    auto db = m_pool.acquire();
    Query q = db->query("SELECT id, admin_id, username, password, firstname, lastname, tel, email, wirelessno, "
                        "carrier, logged_in FROM users WHERE username = ?");
    q.bind(1, username);
    if (q.next())
        return readUser(q);
    return std::nullopt;
}

// ---- client side

bool Store::loginUser(const QString &username, const QString &password)
{
    auto db = m_pool.acquire();
    int id = 0;
    bool loggedIn = false;
    {
        Query q = db->query("SELECT u.id, u.password, u.logged_in FROM users u JOIN admins a ON a.id = u.admin_id "
                            "WHERE u.username = ? AND a.active = 1 AND (a.expires_at IS NULL OR a.expires_at > ?)");
        q.bind(1, username).bind(2, now());
        if (!q.next())
            return false;
        if (!constantTimeEquals(q.text(1).toUtf8(), password.toUtf8()))
            return false;
        id = int(q.integer(0));
        loggedIn = q.integer(2) != 0;
    }
    if (!loggedIn) {
        Query q = db->query("UPDATE users SET logged_in = 1 WHERE id = ?");
        q.bind(1, id);
        q.run();
    }
    return true;
}

int Store::pollStatus(const QString &username)
{
    auto db = m_pool.acquire();
    int id = 0;
    {
        Query q = db->query("SELECT id, logged_in, pending_alerts FROM users WHERE username = ?");
        q.bind(1, username);
        if (!q.next() || q.integer(1) == 0)
            return 2;
        if (q.integer(2) == 0)
            return 0;
        id = int(q.integer(0));
    }
    // Only the poll that clears the count reports the alerts, so two polls
    // racing for the same alerts never both answer 1.
    Query q = db->query("UPDATE users SET pending_alerts = 0 WHERE id = ? AND pending_alerts > 0");
    q.bind(1, id);
    q.run();
    return db->changes() > 0 ? 1 : 0;
}

std::optional<qint64> Store::raiseAlert(const QString &username, const QString &text)
{
    auto db = m_pool.acquire();
    Transaction tx(*db, Transaction::Kind::Write);
    int userId = 0;
    {
        Query q = db->query("SELECT id FROM users WHERE username = ?");
        q.bind(1, username);
        if (!q.next())
            return std::nullopt;
        userId = int(q.integer(0));
    }
    qint64 alertId = 0;
    {
        Query q = db->query("INSERT INTO alerts(user_id, text, created_at) VALUES(?,?,?)");
        q.bind(1, userId).bind(2, text).bind(3, now());
        q.run();
        alertId = db->lastInsertId();
    }
    {
        Query q = db->query("UPDATE users SET pending_alerts = pending_alerts + 1 WHERE id = ?");
        q.bind(1, userId);
        q.run();
    }
    {
        Query q = db->query("DELETE FROM alerts WHERE user_id = ? AND id <= (SELECT id FROM alerts WHERE user_id = ? "
                            "ORDER BY id DESC LIMIT 1 OFFSET ?)");
        q.bind(1, userId).bind(2, userId).bind(3, kAlertsKept);
        q.run();
    }
    tx.commit();
    return alertId;
}

bool Store::logoutUser(const QString &username)
{
    auto db = m_pool.acquire();
    Query q = db->query("UPDATE users SET logged_in = 0 WHERE username = ?");
    q.bind(1, username);
    q.run();
    return db->changes() > 0;
}

QList<AlertRecord> Store::alertsOf(int userId, int limit)
{
    auto db = m_pool.acquire();
    Query q = db->query("SELECT id, text, created_at FROM alerts WHERE user_id = ? ORDER BY id DESC LIMIT ?");
    q.bind(1, userId).bind(2, limit);
    QList<AlertRecord> out;
    while (q.next())
        out.append({q.integer(0), q.text(1), q.integer(2)});
    return out;
}

} // namespace alertserver
