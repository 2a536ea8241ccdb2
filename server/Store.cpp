#include "Store.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>

namespace alertserver {

namespace {

constexpr qint64 kLoginWindow = 15 * 60;
constexpr qint64 kDayWindow = 24 * 3600;
constexpr qint64 kMinuteWindow = 60;
// Session and binding times are written at most this often, so that polls
// stay reads.
constexpr qint64 kTouchEvery = 60;
// How long one delivery holds a claimed message before another may try it.
constexpr qint64 kMailLease = Store::kMailClaimSeconds;
constexpr int kMailAttempts = 20;

struct LimitRule
{
    const char *scope;
    qint64 window;
};

LimitRule ruleOf(Limit limit)
{
    switch (limit) {
    case Limit::ClientLoginName: return {"client-name", kLoginWindow};
    case Limit::ClientLoginAddress: return {"client-address", kLoginWindow};
    case Limit::AdminLoginName: return {"admin-name", kLoginWindow};
    case Limit::AdminLoginAddress: return {"admin-address", kLoginWindow};
    case Limit::Registration: return {"registration", kDayWindow};
    case Limit::MailsByAdmin: return {"mails-admin", kDayWindow};
    case Limit::MailsToRecipient: return {"mails-recipient", kDayWindow};
    case Limit::AlertsByToken: return {"api-token", kMinuteWindow};
    }
    return {"", kDayWindow};
}

// Names and mail addresses count whatever their case.
QString subjectOf(Limit limit, const QString &subject)
{
    switch (limit) {
    case Limit::ClientLoginName:
    case Limit::AdminLoginName:
    case Limit::MailsToRecipient: return Store::nameKey(subject);
    default: return subject;
    }
}

int maximumOf(const Policy &p, Limit limit)
{
    switch (limit) {
    case Limit::ClientLoginName:
    case Limit::AdminLoginName: return p.loginFailuresPerName;
    case Limit::ClientLoginAddress:
    case Limit::AdminLoginAddress: return p.loginFailuresPerAddress;
    case Limit::Registration: return p.registrationsPerAddress;
    case Limit::MailsByAdmin: return p.mailsPerAdmin;
    case Limit::MailsToRecipient: return p.mailsPerRecipient;
    case Limit::AlertsByToken: return p.alertsPerToken;
    }
    return 0;
}

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
    return u;
}

// Registrations not activated in time. An account the command line gave
// users to is kept all the same.
void dropUnactivated(Connection &db, qint64 registeredBefore)
{
    Query q = db.query("DELETE FROM admins WHERE active = 0 AND created_at <= ? "
                       "AND NOT EXISTS (SELECT 1 FROM users u WHERE u.admin_id = admins.id)");
    q.bind(1, registeredBefore);
    q.run();
}

} // namespace

Store::Store(const QString &location, int passwordIterations)
    : m_db(Database::open(location)), m_passwordIterations(passwordIterations)
{
    migrate();
    m_decoy = hashPassword("decoy", m_passwordIterations);
}

qint64 Store::now()
{
    return QDateTime::currentSecsSinceEpoch();
}

QString Store::nameKey(const QString &name)
{
    // ASCII only, as the first stores compared names: folding more now
    // could make two stored names one.
    QString key = name;
    for (QChar &ch : key)
        if (ch >= u'A' && ch <= u'Z')
            ch = QChar(ch.unicode() + ('a' - 'A'));
    return key;
}

qint64 Store::toldUpTo(Connection &db, int userId, qint64 untold)
{
    Query q = db.query("SELECT id FROM alerts WHERE user_id = ? ORDER BY id DESC LIMIT 1 OFFSET ?");
    q.bind(1, userId).bind(2, untold);
    return q.next() ? q.integer(0) : 0;
}

// The next free user id: one above the highest ever given while that stays in
// range (so a deleted user's id is not handed to the next one), and the lowest
// free id once the range is used up.
int Store::nextUserId(Connection &db)
{
    qint64 highest = 0;
    {
        Query q = db.query("SELECT value FROM counters WHERE name = 'users'");
        if (q.next())
            highest = q.integer(0);
    }
    if (highest < kMaxId)
        return int(highest + 1);
    Query q = db.query("SELECT min(t.id + 1) FROM (SELECT 0 AS id UNION ALL SELECT id FROM users) t "
                       "WHERE t.id < 32767 AND NOT EXISTS (SELECT 1 FROM users u WHERE u.id = t.id + 1)");
    if (q.next() && !q.isNull(0))
        return int(q.integer(0));
    return 0;
}

// Administrator ids are the key to an account's users, so they are not handed
// out in an order one could guess: a random free id, or the lowest free one
// when the range is nearly used up.
int Store::randomAdminId(Connection &db)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const int id = 1 + int(QRandomGenerator::system()->bounded(quint32(kMaxId)));
        Query q = db.query("SELECT 1 FROM admins WHERE id = ?");
        q.bind(1, id);
        if (!q.next())
            return id;
    }
    Query q = db.query("SELECT min(t.id + 1) FROM (SELECT 0 AS id UNION ALL SELECT id FROM admins) t "
                       "WHERE t.id < 32767 AND NOT EXISTS (SELECT 1 FROM admins a WHERE a.id = t.id + 1)");
    if (q.next() && !q.isNull(0))
        return int(q.integer(0));
    return 0;
}

// ---- administrators

Store::RegisterResult Store::registerAdmin(const AdminRegistration &reg, const ActivationMail &mail)
{
    const QString key = nameKey(reg.username);
    const qint64 unactivatedSince = now() - m_policy.activationSeconds;
    // A registration that waits for its activation, sent again as it was:
    // the password is checked before the write transaction, as the slow
    // hash of a new account is.
    int again = 0;
    QByteArray againHash;
    if (mail) {
        PasswordHash stored;
        QString email;
        m_db->run([&](Connection &db) {
            Query q = db.query("SELECT id, password_salt, password_hash, password_iterations, email FROM admins "
                               "WHERE name_key = ? AND active = 0 AND created_at > ?");
            q.bind(1, key).bind(2, unactivatedSince);
            if (q.next()) {
                again = int(q.integer(0));
                stored.salt = q.blob(1);
                stored.hash = q.blob(2);
                stored.iterations = int(q.integer(3));
                email = q.text(4);
            }
        });
        if (again && (nameKey(email) != nameKey(reg.email) || !verifyPassword(reg.password.toUtf8(), stored)))
            again = 0;
        againHash = stored.hash;
    }
    const PasswordHash hash = again ? PasswordHash() : hashPassword(reg.password.toUtf8(), m_passwordIterations);
    const QByteArray code = randomHex(20);

    return m_db->transaction([&](Connection &db) -> RegisterResult {
        dropUnactivated(db, unactivatedSince);
        {
            Query q = db.query("SELECT id, active, activation_code, password_hash FROM admins WHERE name_key = ?");
            q.bind(1, key);
            if (q.next()) {
                // Only the account checked above, still waiting and unchanged.
                if (!again || q.integer(0) != again || q.integer(1) != 0 || q.blob(3) != againHash || q.isNull(2))
                    return {Registration::NameTaken, 0, {}};
                const QByteArray stored = q.text(2).toLatin1();
                if (overLimit(db, Limit::MailsToRecipient, reg.email))
                    return {Registration::MailLimited, 0, {}};
                countAgainst(db, Limit::MailsToRecipient, reg.email);
                queueMail(db, mail(again, stored));
                return {Registration::Resent, again, stored};
            }
        }
        const int id = randomAdminId(db);
        if (id == 0)
            return {Registration::Full, 0, {}};
        if (mail) {
            if (overLimit(db, Limit::MailsToRecipient, reg.email))
                return {Registration::MailLimited, 0, {}};
            countAgainst(db, Limit::MailsToRecipient, reg.email);
        }
        {
            Query q = db.query(
                "INSERT INTO admins(id, username, name_key, password_salt, password_hash, password_iterations, "
                "firstname, lastname, company, address, tel, email, country, state, city, postalcode, regtype, "
                "active, activation_code, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,0,?,?)");
            q.bind(1, id).bind(2, reg.username).bind(3, key).bind(4, hash.salt).bind(5, hash.hash);
            q.bind(6, hash.iterations).bind(7, reg.firstname).bind(8, reg.lastname).bind(9, reg.company);
            q.bind(10, reg.address).bind(11, reg.tel).bind(12, reg.email).bind(13, reg.country);
            q.bind(14, reg.state).bind(15, reg.city).bind(16, reg.postalcode).bind(17, reg.regtype);
            q.bind(18, QString::fromLatin1(code)).bind(19, now());
            q.run();
        }
        if (mail)
            queueMail(db, mail(id, code));
        return {Registration::Registered, id, code};
    });
}

std::optional<QString> Store::activateAdmin(const QByteArray &code)
{
    if (code.isEmpty())
        return std::nullopt;
    return m_db->transaction([&](Connection &db) -> std::optional<QString> {
        QString username;
        {
            Query q = db.query("SELECT username FROM admins WHERE activation_code = ? AND created_at > ?");
            q.bind(1, QString::fromLatin1(code)).bind(2, now() - m_policy.activationSeconds);
            if (!q.next())
                return std::nullopt;
            username = q.text(0);
        }
        Query q = db.query("UPDATE admins SET active = 1, activation_code = NULL WHERE activation_code = ?");
        q.bind(1, QString::fromLatin1(code));
        q.run();
        return username;
    });
}

bool Store::activateAdminByName(const QString &username)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("UPDATE admins SET active = 1, activation_code = NULL WHERE name_key = ?");
        q.bind(1, nameKey(username));
        q.run();
        return db.changes() > 0;
    });
}

bool Store::setAdminExpiry(const QString &username, std::optional<qint64> expiresAt)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("UPDATE admins SET expires_at = ? WHERE name_key = ?");
        if (expiresAt)
            q.bind(1, *expiresAt);
        else
            q.bindNull(1);
        q.bind(2, nameKey(username));
        q.run();
        return db.changes() > 0;
    });
}

std::pair<Store::AdminLogin, int> Store::loginAdmin(const QString &username, const QString &password)
{
    PasswordHash stored;
    int id = 0;
    bool active = false;
    std::optional<qint64> expiresAt;
    const bool found = m_db->run([&](Connection &db) {
        // A registration past its activation period is gone.
        Query q = db.query("SELECT id, password_salt, password_hash, password_iterations, active, expires_at "
                           "FROM admins WHERE name_key = ? AND (active = 1 OR created_at > ?)");
        q.bind(1, nameKey(username)).bind(2, now() - m_policy.activationSeconds);
        if (!q.next())
            return false;
        id = int(q.integer(0));
        stored.salt = q.blob(1);
        stored.hash = q.blob(2);
        stored.iterations = int(q.integer(3));
        active = q.integer(4) != 0;
        if (!q.isNull(5))
            expiresAt = q.integer(5);
        return true;
    });
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
    return m_db->run([&](Connection &db) {
        Query q = db.query("SELECT 1 FROM admins WHERE id = ? AND active = 1 "
                           "AND (expires_at IS NULL OR expires_at > ?)");
        q.bind(1, adminId).bind(2, now());
        return q.next();
    });
}

std::optional<int> Store::adminIdByName(const QString &username)
{
    return m_db->run([&](Connection &db) -> std::optional<int> {
        Query q = db.query("SELECT id FROM admins WHERE name_key = ?");
        q.bind(1, nameKey(username));
        if (q.next())
            return int(q.integer(0));
        return std::nullopt;
    });
}

void Store::bindAdmin(int adminId, const QString &address)
{
    m_db->run([&](Connection &db) {
        Query q = db.query("INSERT INTO admin_sessions(admin_id, address, last_used) VALUES(?,?,?) "
                           "ON CONFLICT(admin_id, address) DO UPDATE SET last_used = excluded.last_used");
        q.bind(1, adminId).bind(2, address).bind(3, now());
        q.run();
    });
}

bool Store::isBound(int adminId, const QString &address)
{
    const qint64 t = now();
    qint64 lastUsed = 0;
    const bool bound = m_db->run([&](Connection &db) {
        Query q = db.query("SELECT s.last_used FROM admin_sessions s JOIN admins a ON a.id = s.admin_id "
                           "WHERE s.admin_id = ? AND s.address = ? AND s.last_used > ? AND a.active = 1 "
                           "AND (a.expires_at IS NULL OR a.expires_at > ?)");
        q.bind(1, adminId).bind(2, address).bind(3, t - m_policy.adminSessionSeconds).bind(4, t);
        if (!q.next())
            return false;
        lastUsed = q.integer(0);
        return true;
    });
    if (bound && lastUsed <= t - kTouchEvery) {
        m_db->transaction(
            [&](Connection &db) {
                Query q = db.query("UPDATE admin_sessions SET last_used = ? WHERE admin_id = ? AND address = ?");
                q.bind(1, t).bind(2, adminId).bind(3, address);
                q.run();
            },
            TransactionKind::Relaxed);
    }
    return bound;
}

std::optional<int> Store::ownerBoundTo(int userId, const QString &address)
{
    const int adminId = m_db->run([&](Connection &db) {
        Query q = db.query("SELECT admin_id FROM users WHERE id = ?");
        q.bind(1, userId);
        return q.next() ? int(q.integer(0)) : 0;
    });
    if (adminId == 0 || !isBound(adminId, address))
        return std::nullopt;
    return adminId;
}

// ---- users

std::pair<Store::Addition, int> Store::addUser(int adminId, const UserFields &f, int maxUsers)
{
    return m_db->transaction([&](Connection &db) -> std::pair<Addition, int> {
        {
            Query q = db.query("SELECT 1 FROM admins WHERE id = ?");
            q.bind(1, adminId);
            if (!q.next())
                return {Addition::NoAdmin, 0};
        }
        {
            // User names are unique across the whole server: the client logs
            // in with the name alone.
            Query q = db.query("SELECT 1 FROM users WHERE name_key = ?");
            q.bind(1, nameKey(f.username));
            if (q.next())
                return {Addition::NameTaken, 0};
        }
        {
            Query q = db.query("SELECT count(*) FROM users WHERE admin_id = ?");
            q.bind(1, adminId);
            if (q.next() && q.integer(0) >= maxUsers)
                return {Addition::Full, 0};
        }
        const int id = nextUserId(db);
        if (id == 0)
            return {Addition::Full, 0};
        {
            Query q = db.query("INSERT INTO users(id, admin_id, username, name_key, password, firstname, lastname, "
                               "tel, email, wirelessno, carrier, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
            q.bind(1, id).bind(2, adminId).bind(3, f.username).bind(4, nameKey(f.username)).bind(5, f.password);
            q.bind(6, f.firstname).bind(7, f.lastname).bind(8, f.tel).bind(9, f.email).bind(10, f.wirelessno);
            q.bind(11, f.carrier).bind(12, now());
            q.run();
        }
        {
            Query q = db.query("UPDATE counters SET value = ? WHERE name = 'users' AND value < ?");
            q.bind(1, id).bind(2, id);
            q.run();
        }
        return {Addition::Added, id};
    });
}

bool Store::editUser(int id, const UserFields &f)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("UPDATE users SET password = ?, firstname = ?, lastname = ?, tel = ?, email = ?, "
                           "wirelessno = ?, carrier = ? WHERE id = ?");
        q.bind(1, f.password).bind(2, f.firstname).bind(3, f.lastname).bind(4, f.tel).bind(5, f.email);
        q.bind(6, f.wirelessno).bind(7, f.carrier).bind(8, id);
        q.run();
        return db.changes() > 0;
    });
}

bool Store::deleteUser(int id)
{
    // In a transaction: run again after a lost connection, the delete
    // would answer that there was no such user.
    return m_db->transaction([&](Connection &db) {
        Query q = db.query("DELETE FROM users WHERE id = ?");
        q.bind(1, id);
        q.run();
        return db.changes() > 0;
    });
}

QList<UserRecord> Store::usersOf(int adminId)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("SELECT id, admin_id, username, password, firstname, lastname, tel, email, wirelessno, "
                           "carrier FROM users WHERE admin_id = ? ORDER BY id");
        q.bind(1, adminId);
        QList<UserRecord> out;
        while (q.next())
            out.append(readUser(q));
        return out;
    });
}

std::optional<UserRecord> Store::userByName(const QString &username)
{
    return m_db->run([&](Connection &db) -> std::optional<UserRecord> {
        Query q = db.query("SELECT id, admin_id, username, password, firstname, lastname, tel, email, wirelessno, "
                           "carrier FROM users WHERE name_key = ?");
        q.bind(1, nameKey(username));
        if (q.next())
            return readUser(q);
        return std::nullopt;
    });
}

// ---- client side

bool Store::loginUser(const QString &username, const QString &password, const QString &session)
{
    const qint64 t = now();
    const int id = m_db->run([&](Connection &db) {
        Query q = db.query("SELECT u.id, u.password FROM users u JOIN admins a ON a.id = u.admin_id "
                           "WHERE u.name_key = ? AND a.active = 1 AND (a.expires_at IS NULL OR a.expires_at > ?)");
        q.bind(1, nameKey(username)).bind(2, t);
        if (!q.next() || !constantTimeEquals(q.text(1).toUtf8(), password.toUtf8()))
            return 0;
        return int(q.integer(0));
    });
    if (id == 0)
        return false;
    m_db->transaction([&](Connection &db) {
        {
            Query q = db.query("DELETE FROM client_sessions WHERE user_id = ? AND last_poll <= ?");
            q.bind(1, id).bind(2, t - m_policy.clientSessionSeconds);
            q.run();
        }
        qint64 untold = 0;
        {
            Query q = db.query("SELECT pending_alerts FROM users WHERE id = ?");
            q.bind(1, id);
            if (q.next())
                untold = q.integer(0);
        }
        {
            // A live session logging in again keeps what it has been told.
            Query q = db.query("INSERT INTO client_sessions(user_id, address, last_poll, seen_to) VALUES(?,?,?,?) "
                               "ON CONFLICT(user_id, address) DO UPDATE SET last_poll = excluded.last_poll");
            q.bind(1, id).bind(2, session).bind(3, t).bind(4, toldUpTo(db, id, untold));
            q.run();
        }
        Query q = db.query("UPDATE users SET logged_in = 1 WHERE id = ? AND logged_in = 0");
        q.bind(1, id);
        q.run();
    });
    return true;
}

int Store::pollStatus(const QString &username, const QString &session)
{
    const qint64 t = now();
    int id = 0;
    qint64 lastPoll = 0;
    // 2, 0, or -1 for news to be told.
    const int quick = m_db->run([&](Connection &db) {
        Query q = db.query("SELECT u.id, s.last_poll, s.seen_to, (SELECT max(a.id) FROM alerts a "
                           "WHERE a.user_id = u.id) FROM users u JOIN client_sessions s ON s.user_id = u.id "
                           "WHERE u.name_key = ? AND s.address = ?");
        q.bind(1, nameKey(username)).bind(2, session);
        if (!q.next() || q.integer(1) <= t - m_policy.clientSessionSeconds)
            return 2;
        id = int(q.integer(0));
        lastPoll = q.integer(1);
        return !q.isNull(3) && q.integer(3) > q.integer(2) ? -1 : 0;
    });
    // The session's time is written at most once a minute, so that polls
    // stay reads.
    if (quick == 0 && lastPoll <= t - kTouchEvery) {
        m_db->transaction(
            [&](Connection &db) {
                Query q = db.query("UPDATE client_sessions SET last_poll = ? WHERE user_id = ? AND address = ?");
                q.bind(1, t).bind(2, id).bind(3, session);
                q.run();
            },
            TransactionKind::Relaxed);
    }
    if (quick >= 0)
        return quick;
    // Only the poll that moves the session on reports the alerts, so two
    // polls racing on one session never both answer 1. Every alert up to the
    // newest has now been told to some session.
    const bool told = m_db->transaction([&](Connection &db) {
        qint64 newest = 0;
        {
            Query q = db.query("SELECT max(id) FROM alerts WHERE user_id = ?");
            q.bind(1, id);
            if (q.next())
                newest = q.integer(0);
        }
        {
            Query q = db.query("UPDATE client_sessions SET seen_to = ?, last_poll = ? "
                               "WHERE user_id = ? AND address = ? AND seen_to < ?");
            q.bind(1, newest).bind(2, t).bind(3, id).bind(4, session).bind(5, newest);
            q.run();
        }
        if (db.changes() == 0)
            return false;
        Query q = db.query("UPDATE users SET pending_alerts = 0 WHERE id = ?");
        q.bind(1, id);
        q.run();
        return true;
    }, TransactionKind::Relaxed);
    return told ? 1 : 0;
}

bool Store::hasSession(int userId, const QString &session)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("SELECT 1 FROM client_sessions WHERE user_id = ? AND address = ? AND last_poll > ?");
        q.bind(1, userId).bind(2, session).bind(3, now() - m_policy.clientSessionSeconds);
        return q.next();
    });
}

qint64 Store::raiseAlert(Connection &db, int userId, const QString &text)
{
    qint64 alertId = 0;
    {
        Query q = db.query("INSERT INTO alerts(user_id, text, created_at) VALUES(?,?,?) RETURNING id");
        q.bind(1, userId).bind(2, text).bind(3, now());
        if (q.next())
            alertId = q.integer(0);
    }
    {
        // Alerts no session has been told of yet, for the next new session.
        Query q = db.query("UPDATE users SET pending_alerts = pending_alerts + 1 WHERE id = ?");
        q.bind(1, userId);
        q.run();
    }
    Query q = db.query("DELETE FROM alerts WHERE user_id = ? AND id <= (SELECT id FROM alerts WHERE user_id = ? "
                       "ORDER BY id DESC LIMIT 1 OFFSET ?)");
    q.bind(1, userId).bind(2, userId).bind(3, kAlertsKept);
    q.run();
    return alertId;
}

std::optional<qint64> Store::raiseAlert(const QString &username, const QString &text)
{
    return m_db->transaction([&](Connection &db) -> std::optional<qint64> {
        Query q = db.query("SELECT id FROM users WHERE name_key = ?");
        q.bind(1, nameKey(username));
        if (!q.next())
            return std::nullopt;
        const int userId = int(q.integer(0));
        return raiseAlert(db, userId, text);
    });
}

bool Store::logoutUser(const QString &username)
{
    return m_db->transaction([&](Connection &db) {
        int id = 0;
        {
            Query q = db.query("SELECT id FROM users WHERE name_key = ?");
            q.bind(1, nameKey(username));
            if (!q.next())
                return false;
            id = int(q.integer(0));
        }
        {
            Query q = db.query("DELETE FROM client_sessions WHERE user_id = ?");
            q.bind(1, id);
            q.run();
        }
        Query q = db.query("UPDATE users SET logged_in = 0 WHERE id = ?");
        q.bind(1, id);
        q.run();
        return true;
    });
}

QList<AlertRecord> Store::alertsOf(int userId, int limit)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("SELECT id, text, created_at FROM alerts WHERE user_id = ? ORDER BY id DESC LIMIT ?");
        q.bind(1, userId).bind(2, limit);
        QList<AlertRecord> out;
        while (q.next())
            out.append({q.integer(0), q.text(1), q.integer(2)});
        return out;
    });
}

// ---- publishing tokens

bool Store::isTokenLabel(const QString &label)
{
    if (label.isEmpty() || label.size() > kMaxTokenLabel)
        return false;
    return std::all_of(label.cbegin(), label.cend(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.'
            || c == u'_' || c == u'-';
    });
}

Store::CreatedToken Store::createToken(int adminId, const QString &label)
{
    const QByteArray token = randomToken(kTokenBytes);
    const QByteArray hash = sha256(token);
    return m_db->transaction([&](Connection &db) -> CreatedToken {
        {
            Query q = db.query("SELECT 1 FROM admins WHERE id = ?");
            q.bind(1, adminId);
            if (!q.next())
                return {TokenCreation::NoAdmin, {}, {}};
        }
        const auto taken = [&](const QString &name) {
            Query q = db.query("SELECT 1 FROM api_tokens WHERE admin_id = ? AND label = ?");
            q.bind(1, adminId).bind(2, name);
            return q.next();
        };
        QString name = label;
        if (name.isEmpty()) {
            for (int n = 1; name.isEmpty() || taken(name); ++n)
                name = QStringLiteral("token-%1").arg(n);
        } else if (taken(name)) {
            return {TokenCreation::LabelTaken, {}, name};
        }
        Query q = db.query("INSERT INTO api_tokens(token_hash, admin_id, label, created_at) VALUES(?,?,?,?)");
        q.bind(1, hash).bind(2, adminId).bind(3, name).bind(4, now());
        q.run();
        return {TokenCreation::Created, token, name};
    });
}

QList<ApiToken> Store::tokensOf(int adminId)
{
    return m_db->run([&](Connection &db) {
        Query q = db.query("SELECT label, created_at, last_used FROM api_tokens WHERE admin_id = ? "
                           "ORDER BY created_at, label");
        q.bind(1, adminId);
        QList<ApiToken> out;
        while (q.next()) {
            ApiToken t{q.text(0), q.integer(1), std::nullopt};
            if (!q.isNull(2))
                t.lastUsed = q.integer(2);
            out.append(t);
        }
        return out;
    });
}

bool Store::revokeToken(int adminId, const QString &label)
{
    // In a transaction: run again after a lost connection, the delete would
    // answer that there was no such token.
    return m_db->transaction([&](Connection &db) {
        Query q = db.query("DELETE FROM api_tokens WHERE admin_id = ? AND label = ?");
        q.bind(1, adminId).bind(2, label);
        q.run();
        return db.changes() > 0;
    });
}

Store::PublishResult Store::publish(const QByteArray &token, const QStringList &users, bool all, const QString &text)
{
    const QByteArray hash = sha256(token);
    const QString subject = QString::fromLatin1(hash.toHex());
    // A token that is none of ours costs a read, never the write lock.
    const bool known = m_db->run([&](Connection &db) {
        Query q = db.query("SELECT 1 FROM api_tokens WHERE token_hash = ?");
        q.bind(1, hash);
        return q.next();
    });
    if (!known)
        return {};
    return m_db->transaction([&](Connection &db) {
        const qint64 t = now();
        PublishResult r;
        int adminId = 0;
        {
            Query q = db.query("SELECT t.admin_id FROM api_tokens t JOIN admins a ON a.id = t.admin_id "
                               "WHERE t.token_hash = ? AND a.active = 1 AND (a.expires_at IS NULL OR a.expires_at > ?)");
            q.bind(1, hash).bind(2, t);
            if (!q.next())
                return r;
            adminId = int(q.integer(0));
        }
        if (overLimit(db, Limit::AlertsByToken, subject)) {
            r.outcome = Publication::Limited;
            r.retryAfter = windowLeft(db, Limit::AlertsByToken, subject);
            return r;
        }
        QList<std::pair<int, QString>> targets;
        if (all) {
            Query q = db.query("SELECT id, username FROM users WHERE admin_id = ? ORDER BY id");
            q.bind(1, adminId);
            while (q.next())
                targets.append({int(q.integer(0)), q.text(1)});
        } else {
            QSet<QString> seen;
            for (const QString &name : users) {
                const QString key = nameKey(name);
                if (seen.contains(key))
                    continue;
                seen.insert(key);
                // Another administrator's user reads as no user at all.
                Query q = db.query("SELECT id, username FROM users WHERE name_key = ? AND admin_id = ?");
                q.bind(1, key).bind(2, adminId);
                if (!q.next()) {
                    r.outcome = Publication::NotTheirs;
                    r.refusedUser = name;
                    return r;
                }
                targets.append({int(q.integer(0)), q.text(1)});
            }
        }
        countAgainst(db, Limit::AlertsByToken, subject);
        for (const auto &[id, name] : targets)
            r.alerts.append({raiseAlert(db, id, text), name});
        Query q = db.query("UPDATE api_tokens SET last_used = ? WHERE token_hash = ?");
        q.bind(1, t).bind(2, hash);
        q.run();
        r.outcome = Publication::Published;
        return r;
    });
}

// ---- limits

qint64 Store::windowLeft(Connection &db, Limit limit, const QString &subject)
{
    const LimitRule rule = ruleOf(limit);
    Query q = db.query("SELECT window_start FROM limits WHERE scope = ? AND subject = ?");
    q.bind(1, QString::fromLatin1(rule.scope)).bind(2, subjectOf(limit, subject));
    const qint64 left = q.next() ? q.integer(0) + rule.window - now() : rule.window;
    return std::clamp<qint64>(left, 1, rule.window);
}


bool Store::overLimit(Connection &db, Limit limit, const QString &subject)
{
    const int maximum = maximumOf(m_policy, limit);
    if (maximum <= 0)
        return false;
    const LimitRule rule = ruleOf(limit);
    Query q = db.query("SELECT hits FROM limits WHERE scope = ? AND subject = ? AND window_start > ?");
    q.bind(1, QString::fromLatin1(rule.scope)).bind(2, subjectOf(limit, subject)).bind(3, now() - rule.window);
    return q.next() && q.integer(0) >= maximum;
}

void Store::countAgainst(Connection &db, Limit limit, const QString &subject)
{
    if (maximumOf(m_policy, limit) <= 0)
        return;
    const LimitRule rule = ruleOf(limit);
    const qint64 t = now();
    // A window that has run out starts again with this hit.
    Query q = db.query("INSERT INTO limits(scope, subject, window_start, hits) VALUES(?,?,?,1) "
                       "ON CONFLICT(scope, subject) DO UPDATE SET "
                       "hits = CASE WHEN limits.window_start <= ? THEN 1 ELSE limits.hits + 1 END, "
                       "window_start = CASE WHEN limits.window_start <= ? THEN ? ELSE limits.window_start END");
    q.bind(1, QString::fromLatin1(rule.scope)).bind(2, subjectOf(limit, subject)).bind(3, t);
    q.bind(4, t - rule.window).bind(5, t - rule.window).bind(6, t);
    q.run();
}

bool Store::overLimit(Limit limit, const QString &subject)
{
    return m_db->run([&](Connection &db) { return overLimit(db, limit, subject); });
}

void Store::countAgainst(Limit limit, const QString &subject)
{
    // In a transaction: run again after a lost connection, the hit could
    // count twice.
    m_db->transaction([&](Connection &db) { countAgainst(db, limit, subject); });
}

bool Store::spend(Limit limit, const QString &subject)
{
    return m_db->transaction([&](Connection &db) {
        if (overLimit(db, limit, subject))
            return false;
        countAgainst(db, limit, subject);
        return true;
    });
}

// ---- the mail queue

void Store::queueMail(Connection &db, const Mail &mail)
{
    Query q = db.query("INSERT INTO mail_queue(recipient, subject, body, next_try, created_at) VALUES(?,?,?,?,?)");
    q.bind(1, mail.to).bind(2, mail.subject).bind(3, mail.body).bind(4, now()).bind(5, now());
    q.run();
}

int Store::queueMails(int adminId, const QList<Mail> &mails)
{
    const QString admin = QString::number(adminId);
    return m_db->transaction([&](Connection &db) {
        int queued = 0;
        for (const Mail &mail : mails) {
            const QString &recipient = mail.to;
            if (overLimit(db, Limit::MailsByAdmin, admin) || overLimit(db, Limit::MailsToRecipient, recipient))
                continue;
            countAgainst(db, Limit::MailsByAdmin, admin);
            countAgainst(db, Limit::MailsToRecipient, recipient);
            queueMail(db, mail);
            ++queued;
        }
        return queued;
    });
}

std::optional<QueuedMail> Store::claimMail()
{
    const qint64 t = now();
    return m_db->transaction([&](Connection &db) -> std::optional<QueuedMail> {
        QueuedMail m;
        {
            Query q = db.query("SELECT id, recipient, subject, body, created_at, attempts FROM mail_queue "
                               "WHERE state = 'queued' AND next_try <= ? ORDER BY id LIMIT 1");
            q.bind(1, t);
            if (!q.next())
                return std::nullopt;
            m.id = q.integer(0);
            m.mail = {q.text(1), q.text(2), q.text(3)};
            m.createdAt = q.integer(4);
            m.attempts = int(q.integer(5)) + 1;
        }
        Query q = db.query("UPDATE mail_queue SET attempts = attempts + 1, next_try = ? WHERE id = ?");
        q.bind(1, t + kMailLease).bind(2, m.id);
        q.run();
        return m;
    });
}

void Store::mailDelivered(qint64 id)
{
    m_db->run([&](Connection &db) {
        Query q = db.query("DELETE FROM mail_queue WHERE id = ?");
        q.bind(1, id);
        q.run();
    });
}

void Store::mailNotDelivered(qint64 id, const QString &why)
{
    m_db->transaction([&](Connection &db) {
        int attempts = 0;
        {
            Query q = db.query("SELECT attempts FROM mail_queue WHERE id = ?");
            q.bind(1, id);
            if (!q.next())
                return;
            attempts = int(q.integer(0));
        }
        // A minute, then doubling up to six hours.
        const qint64 pause = std::min<qint64>(qint64(60) << std::min(attempts - 1, 9), 6 * 3600);
        Query q = db.query("UPDATE mail_queue SET next_try = ?, last_error = ?, state = ? WHERE id = ?");
        q.bind(1, now() + pause).bind(2, why);
        q.bind(3, attempts >= kMailAttempts ? QStringLiteral("failed") : QStringLiteral("queued")).bind(4, id);
        q.run();
    });
}

void Store::mailRefused(qint64 id, const QString &why)
{
    m_db->run([&](Connection &db) {
        Query q = db.query("UPDATE mail_queue SET state = 'failed', last_error = ? WHERE id = ?");
        q.bind(1, why).bind(2, id);
        q.run();
    });
}

void Store::sweep()
{
    const qint64 t = now();
    m_db->transaction([&](Connection &db) {
        {
            Query q = db.query("DELETE FROM client_sessions WHERE last_poll <= ?");
            q.bind(1, t - m_policy.clientSessionSeconds);
            q.run();
        }
        {
            Query q = db.query("DELETE FROM admin_sessions WHERE last_used <= ?");
            q.bind(1, t - m_policy.adminSessionSeconds);
            q.run();
        }
        {
            Query q = db.query("DELETE FROM limits WHERE window_start <= ?");
            q.bind(1, t - kDayWindow);
            q.run();
        }
        dropUnactivated(db, t - m_policy.activationSeconds);
    });
}

} // namespace alertserver
