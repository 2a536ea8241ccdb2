#include "server/store/Tokens.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/Limits.h"
#include "server/store/PasswordHash.h"
#include "server/store/Receipts.h"
#include "server/store/Sessions.h"

#include <QSet>

namespace alertserver {

Tokens::Created Tokens::create(int adminId, const QString &label, bool webhook)
{
    const QByteArray token = randomToken(kTokenBytes);
    const QByteArray hash = sha256(token);
    return m_db.transaction([&](Connection &db) -> Created {
        if (!db.exists("SELECT 1 FROM admins WHERE id = ?", adminId))
            return {Creation::NoAdmin, {}, {}};
        const auto taken = [&](const QString &name) {
            return db.exists("SELECT 1 FROM api_tokens WHERE admin_id = ? AND label = ?", adminId, name);
        };
        QString name = label;
        if (name.isEmpty()) {
            for (int n = 1; name.isEmpty() || taken(name); ++n)
                name = QStringLiteral("token-%1").arg(n);
        } else if (taken(name)) {
            return {Creation::LabelTaken, {}, name};
        }
        db.exec("INSERT INTO api_tokens(token_hash, admin_id, label, created_at, scope) VALUES(?,?,?,?,?)", hash, adminId,
                name, now(), webhook ? QStringLiteral("webhook") : QStringLiteral("all"));
        return {Creation::Created, token, name};
    });
}

QList<ApiToken> Tokens::of(int adminId)
{
    return m_db.run([&](Connection &db) {
        Query q = db.query("SELECT label, created_at, last_used, scope FROM api_tokens WHERE admin_id = ? "
                           "ORDER BY created_at, label",
                           adminId);
        QList<ApiToken> out;
        while (q.next()) {
            ApiToken t;
            std::tie(t.label, t.createdAt, t.lastUsed, t.scope) = q.row<QString, qint64, std::optional<qint64>, QString>();
            out.append(t);
        }
        return out;
    });
}

bool Tokens::revoke(int adminId, const QString &label)
{
    // In a transaction: run again after a lost connection, the delete would
    // answer that there was no such token.
    return m_db.transaction([&](Connection &db) {
        return db.exec("DELETE FROM api_tokens WHERE admin_id = ? AND label = ?", adminId, label) > 0;
    });
}

std::optional<int> Tokens::adminOf(const QByteArray &token)
{
    return m_db.run([&](Connection &db) {
        return db.scalar<int>("SELECT t.admin_id FROM api_tokens t JOIN admins a ON a.id = t.admin_id "
                              "WHERE t.token_hash = ? AND t.scope = 'all' AND a.active = 1 "
                              "AND (a.expires_at IS NULL OR a.expires_at > ?)",
                              sha256(token), now());
    });
}

Tokens::Published Tokens::publish(const QByteArray &token, const QStringList &users, bool all,
                                  const alertserver::Publication &publication)
{
    return publish(token, users, all, {publication}, {}, false);
}

Tokens::Published Tokens::publish(const QByteArray &token, const QStringList &users, bool all,
                                  const QList<alertserver::Publication> &publications, const QStringList &resolvedKeys,
                                  bool webhook)
{
    const QByteArray hash = sha256(token);
    const QString subject = QString::fromLatin1(hash.toHex());
    // A token that is none of ours costs a read, never the write lock.
    if (!m_db.run([&](Connection &db) { return db.exists("SELECT 1 FROM api_tokens WHERE token_hash = ?", hash); }))
        return {};
    return m_db.transaction([&](Connection &db) {
        const qint64 t = now();
        const auto adminId = db.scalar<int>("SELECT t.admin_id FROM api_tokens t JOIN admins a ON a.id = t.admin_id "
                                            "WHERE t.token_hash = ? AND (t.scope = 'all' OR t.scope = ?) "
                                            "AND a.active = 1 AND (a.expires_at IS NULL OR a.expires_at > ?)",
                                            hash, webhook ? QStringLiteral("webhook") : QStringLiteral("all"), t);
        if (!adminId)
            return Published{};
        Published r = publishAs(db, *adminId, Limit::AlertsByToken, subject, users, all, publications, resolvedKeys);
        if (r.outcome == Publication::Published)
            db.exec("UPDATE api_tokens SET last_used = ? WHERE token_hash = ?", t, hash);
        return r;
    });
}

Tokens::Published Tokens::publishAs(int adminId, const QStringList &users, bool all,
                                    const alertserver::Publication &publication)
{
    return m_db.transaction([&](Connection &db) {
        if (!db.exists("SELECT 1 FROM admins WHERE id = ? AND active = 1 AND (expires_at IS NULL OR expires_at > ?)",
                       adminId, now()))
            return Published{};
        return publishAs(db, adminId, Limit::ConsoleAlertsByAdmin, QString::number(adminId), users, all, {publication},
                         {});
    });
}

Tokens::Published Tokens::publishAs(Connection &db, int adminId, Limit limit, const QString &subject,
                                    const QStringList &users, bool all,
                                    const QList<alertserver::Publication> &publications, const QStringList &resolvedKeys)
{
    const qint64 t = now();
    Published r;
    if (m_limits.over(db, limit, subject)) {
        r.outcome = Publication::Limited;
        r.retryAfter = m_limits.windowLeft(db, limit, subject);
        return r;
    }
    QList<std::pair<int, QString>> targets;
    if (all) {
        Query q = db.query("SELECT id, username FROM users WHERE admin_id = ? ORDER BY id", adminId);
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
            Query q = db.query("SELECT id, username FROM users WHERE name_key = ? AND admin_id = ?", key, adminId);
            if (!q.next()) {
                r.outcome = Publication::NotTheirs;
                r.refusedUser = name;
                return r;
            }
            targets.append({int(q.integer(0)), q.text(1)});
        }
    }
    // Copies go out only for the operator's own administrators, so that
    // the server is no relay for strangers who registered themselves.
    for (const alertserver::Publication &publication : publications) {
        if (!publication.copies.isEmpty()
            && !db.exists("SELECT 1 FROM admins WHERE id = ? AND origin = 'operator'", adminId)) {
            r.outcome = Publication::CopiesRefused;
            return r;
        }
    }
    m_limits.count(db, limit, subject);
    for (const alertserver::Publication &publication : publications) {
        // A monitoring system sends an alert again at every repeat and
        // retry: one already raised raises nothing new.
        if (!publication.sourceKey.isEmpty()
            && db.exists("SELECT 1 FROM publications WHERE admin_id = ? AND source_key = ?", adminId,
                         publication.sourceKey)) {
            ++r.repeated;
            continue;
        }
        alertserver::Publication p = publication;
        p.adminId = adminId;
        const qint64 publicationId = Receipts::open(db, p);
        for (const auto &[id, name] : targets)
            r.alerts.append({Sessions::raise(db, id, p, publicationId), name});
        if (!p.copies.isEmpty() && !p.escalateAt)
            r.copies += Receipts::sendCopies(db, m_limits, publicationId, false);
    }
    if (!r.alerts.isEmpty())
        Sessions::changed(db);
    for (const QString &key : resolvedKeys) {
        const auto publicationId =
            db.scalar<qint64>("SELECT id FROM publications WHERE admin_id = ? AND source_key = ? AND resolved_at IS NULL",
                              adminId, key);
        if (!publicationId)
            continue;
        db.exec("UPDATE publications SET resolved_at = ? WHERE id = ?", t, *publicationId);
        db.exec("UPDATE alerts SET resolved_at = ? WHERE id IN (SELECT alert_id FROM receipts WHERE publication_id = ?)",
                t, *publicationId);
        ++r.resolved;
    }
    r.outcome = Publication::Published;
    return r;
}

} // namespace alertserver
