#include "server/store/Admins.h"

#include "server/store/Clock.h"
#include "server/store/ConsoleSessions.h"
#include "server/store/Database.h"
#include "server/store/Limits.h"
#include "server/store/MailQueue.h"
#include "server/store/Policy.h"
#include "server/store/Sessions.h"
#include "server/store/WorkCount.h"

#include <QRandomGenerator>

namespace alertserver {

namespace {

// Registrations not activated in time. An account the command line gave
// users to is kept all the same.
void dropUnactivated(Connection &db, qint64 registeredBefore)
{
    db.exec("DELETE FROM admins WHERE active = 0 AND created_at <= ? "
            "AND NOT EXISTS (SELECT 1 FROM users u WHERE u.admin_id = admins.id)",
            registeredBefore);
}

} // namespace

Admins::Admins(Database &db, const Policy &policy, Limits &limits, WorkCount &work, int passwordIterations)
    : m_db(db), m_policy(policy), m_limits(limits), m_work(work), m_passwordIterations(passwordIterations),
      m_decoy(hashPassword("decoy", passwordIterations))
{
}

PasswordHash Admins::hash(const QString &password)
{
    ++m_work.hashes;
    return hashPassword(password.toUtf8(), m_passwordIterations);
}

bool Admins::verify(const QString &password, const PasswordHash &stored)
{
    ++m_work.hashes;
    ++m_work.passwordChecks;
    return verifyPassword(password.toUtf8(), stored);
}

// A random free id, or the lowest free one when the range is nearly used up.
int Admins::randomId(Connection &db)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const int id = 1 + int(QRandomGenerator::system()->bounded(quint32(kMaxId)));
        if (!db.exists("SELECT 1 FROM admins WHERE id = ?", id))
            return id;
    }
    const auto lowest = db.scalar<std::optional<qint64>>(
        "SELECT min(t.id + 1) FROM (SELECT 0 AS id UNION ALL SELECT id FROM admins) t "
        "WHERE t.id < 32767 AND NOT EXISTS (SELECT 1 FROM admins a WHERE a.id = t.id + 1)");
    return lowest && *lowest ? int(**lowest) : 0;
}

Admins::RegisterResult Admins::registerAdmin(const AdminRegistration &reg, const ActivationMail &mail)
{
    const QString key = nameKey(reg.username);
    const qint64 unactivatedSince = now() - m_policy.activationSeconds;
    // A registration that waits for its activation, sent again as it was:
    // the password is checked before the write transaction, as the slow
    // hash of a new account is. Every registration checks one password and
    // hashes one, whatever the name and address turn out to be (a decoy's
    // check for a name that waits for nothing), so that its time tells
    // nothing about a pending name or its address.
    int again = 0;
    QByteArray againHash;
    if (mail) {
        PasswordHash stored;
        QString email;
        m_db.run([&](Connection &db) {
            Query q = db.query("SELECT id, password_salt, password_hash, password_iterations, email FROM admins "
                               "WHERE name_key = ? AND active = 0 AND created_at > ?",
                               key, unactivatedSince);
            if (q.next())
                std::tie(again, stored.salt, stored.hash, stored.iterations, email) =
                    q.row<int, QByteArray, QByteArray, int, QString>();
        });
        const bool right = verify(reg.password, again ? stored : m_decoy);
        if (again && (nameKey(email) != nameKey(reg.email) || !right))
            again = 0;
        againHash = stored.hash;
    }
    const PasswordHash fresh = this->hash(reg.password);
    const PasswordHash hash = again ? PasswordHash() : fresh;
    const QByteArray code = randomHex(20);

    return m_db.transaction([&](Connection &db) -> RegisterResult {
        dropUnactivated(db, unactivatedSince);
        {
            Query q = db.query("SELECT id, active, activation_code, password_hash FROM admins WHERE name_key = ?", key);
            if (q.next()) {
                // Only the account checked above, still waiting and unchanged.
                if (!again || q.integer(0) != again || q.integer(1) != 0 || q.blob(3) != againHash || q.isNull(2))
                    return {Registration::NameTaken, 0, {}};
                const QByteArray stored = q.text(2).toLatin1();
                if (m_limits.over(db, Limit::MailsToRecipient, reg.email))
                    return {Registration::MailLimited, 0, {}};
                m_limits.count(db, Limit::MailsToRecipient, reg.email);
                MailQueue::queue(db, mail(again, stored));
                return {Registration::Resent, again, stored};
            }
        }
        const int id = randomId(db);
        if (id == 0)
            return {Registration::Full, 0, {}};
        if (mail) {
            if (m_limits.over(db, Limit::MailsToRecipient, reg.email))
                return {Registration::MailLimited, 0, {}};
            m_limits.count(db, Limit::MailsToRecipient, reg.email);
        }
        db.exec("INSERT INTO admins(id, username, name_key, password_salt, password_hash, password_iterations, "
                "firstname, lastname, company, address, tel, email, country, state, city, postalcode, regtype, "
                "active, activation_code, created_at) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,0,?,?)",
                id, reg.username, key, hash.salt, hash.hash, hash.iterations, reg.firstname, reg.lastname,
                reg.company, reg.address, reg.tel, reg.email, reg.country, reg.state, reg.city, reg.postalcode,
                reg.regtype, QString::fromLatin1(code), now());
        if (mail)
            MailQueue::queue(db, mail(id, code));
        return {Registration::Registered, id, code};
    });
}

std::optional<QString> Admins::activate(const QByteArray &code, bool confirmOnly)
{
    if (code.isEmpty())
        return std::nullopt;
    const QString text = QString::fromLatin1(code);
    return m_db.transaction([&](Connection &db) -> std::optional<QString> {
        const auto username = db.scalar<QString>("SELECT username FROM admins WHERE activation_code = ? AND created_at > ?",
                                                 text, now() - m_policy.activationSeconds);
        if (username && !confirmOnly)
            db.exec("UPDATE admins SET active = 1, activation_code = NULL WHERE activation_code = ?", text);
        return username;
    });
}

bool Admins::activateByName(const QString &username)
{
    return m_db.run([&](Connection &db) {
        return db.exec("UPDATE admins SET active = 1, activation_code = NULL WHERE name_key = ?", nameKey(username)) > 0;
    });
}

bool Admins::approve(const QString &username)
{
    return m_db.run([&](Connection &db) {
        return db.exec("UPDATE admins SET active = 1, activation_code = NULL, origin = 'operator' WHERE name_key = ?",
                       nameKey(username))
            > 0;
    });
}

bool Admins::setExpiry(const QString &username, std::optional<qint64> expiresAt)
{
    return m_db.run([&](Connection &db) {
        return db.exec("UPDATE admins SET expires_at = ? WHERE name_key = ?", expiresAt, nameKey(username)) > 0;
    });
}

bool Admins::setPassword(const QString &username, const QString &password)
{
    const PasswordHash fresh = hash(password);
    return m_db.transaction([&](Connection &db) {
        const auto id = db.scalar<int>("SELECT id FROM admins WHERE name_key = ?", nameKey(username));
        if (!id)
            return false;
        db.exec("UPDATE admins SET password_salt = ?, password_hash = ?, password_iterations = ? WHERE id = ?", fresh.salt,
                fresh.hash, fresh.iterations, *id);
        ConsoleSessions::endAllOf(db, *id);
        return true;
    });
}

std::pair<Admins::Login, int> Admins::login(const QString &username, const QString &password)
{
    PasswordHash stored;
    int id = 0;
    bool active = false;
    std::optional<qint64> expiresAt;
    const bool found = m_db.run([&](Connection &db) {
        // A registration past its activation period is gone.
        Query q = db.query("SELECT id, password_salt, password_hash, password_iterations, active, expires_at "
                           "FROM admins WHERE name_key = ? AND (active = 1 OR created_at > ?)",
                           nameKey(username), now() - m_policy.activationSeconds);
        if (!q.next())
            return false;
        std::tie(id, stored.salt, stored.hash, stored.iterations, active, expiresAt) =
            q.row<int, QByteArray, QByteArray, int, bool, std::optional<qint64>>();
        return true;
    });
    if (!found) {
        verify(password, m_decoy);
        return {Login::Invalid, 0};
    }
    // The password is checked first, so the other answers tell nothing about
    // an account to someone who does not know its password.
    if (!verify(password, stored))
        return {Login::Invalid, 0};
    if (!active)
        return {Login::NotActive, 0};
    if (expiresAt && *expiresAt <= now())
        return {Login::Expired, 0};
    return {Login::LoggedIn, id};
}

bool Admins::isUsable(int adminId)
{
    return m_db.run([&](Connection &db) {
        return db.exists("SELECT 1 FROM admins WHERE id = ? AND active = 1 AND (expires_at IS NULL OR expires_at > ?)",
                         adminId, now());
    });
}

std::optional<int> Admins::idByName(const QString &username)
{
    return m_db.run([&](Connection &db) { return db.scalar<int>("SELECT id FROM admins WHERE name_key = ?", nameKey(username)); });
}

QList<AdminSummary> Admins::list()
{
    return m_db.run([&](Connection &db) {
        Query q = db.query("SELECT a.id, a.username, a.email, a.active, a.expires_at, "
                           "(SELECT count(*) FROM users u WHERE u.admin_id = a.id), a.origin "
                           "FROM admins a ORDER BY a.name_key");
        QList<AdminSummary> out;
        while (q.next()) {
            AdminSummary a;
            QString origin;
            std::tie(a.id, a.username, a.email, a.active, a.expiresAt, a.users, origin) =
                q.row<int, QString, QString, bool, std::optional<qint64>, qint64, QString>();
            a.byOperator = origin == QLatin1String("operator");
            out.append(a);
        }
        return out;
    });
}

bool Admins::remove(const QString &username)
{
    // Users, their alerts and sessions, bindings and tokens go with it
    // (ON DELETE CASCADE on both back ends).
    return m_db.transaction([&](Connection &db) {
        if (db.exec("DELETE FROM admins WHERE name_key = ?", nameKey(username)) == 0)
            return false;
        Sessions::changed(db);
        return true;
    });
}

void Admins::bind(int adminId, const QString &address)
{
    if (address.isEmpty())
        return; // a caller without an address is never bound
    m_db.run([&](Connection &db) {
        db.exec("INSERT INTO admin_sessions(admin_id, address, last_used) VALUES(?,?,?) "
                "ON CONFLICT(admin_id, address) DO UPDATE SET last_used = excluded.last_used",
                adminId, address, now());
    });
}

bool Admins::isBound(int adminId, const QString &address)
{
    if (address.isEmpty())
        return false;
    const qint64 t = now();
    const auto lastUsed = m_db.run([&](Connection &db) {
        return db.scalar<qint64>("SELECT s.last_used FROM admin_sessions s JOIN admins a ON a.id = s.admin_id "
                                 "WHERE s.admin_id = ? AND s.address = ? AND s.last_used > ? AND a.active = 1 "
                                 "AND (a.expires_at IS NULL OR a.expires_at > ?)",
                                 adminId, address, t - m_policy.adminSessionSeconds, t);
    });
    if (lastUsed && *lastUsed <= t - kTouchEvery) {
        m_db.transaction(
            [&](Connection &db) {
                db.exec("UPDATE admin_sessions SET last_used = ? WHERE admin_id = ? AND address = ?", t, adminId, address);
            },
            TransactionKind::Relaxed);
    }
    return lastUsed.has_value();
}

std::optional<int> Admins::ownerBoundTo(int userId, const QString &address)
{
    const auto adminId =
        m_db.run([&](Connection &db) { return db.scalar<int>("SELECT admin_id FROM users WHERE id = ?", userId); });
    if (!adminId || !isBound(*adminId, address))
        return std::nullopt;
    return adminId;
}

void Admins::dropExpired(Connection &db, qint64 t) const
{
    db.exec("DELETE FROM admin_sessions WHERE last_used <= ?", t - m_policy.adminSessionSeconds);
    dropUnactivated(db, t - m_policy.activationSeconds);
}

} // namespace alertserver
