#include "server/store/Receipts.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/Limits.h"
#include "server/store/MailQueue.h"
#include "server/store/PasswordHash.h"
#include "server/store/Policy.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <limits>
#include <stdexcept>

namespace alertserver {

namespace {

constexpr int kPageKeyBytes = 32;

std::optional<int> optionalInt(const Query &q, int column)
{
    return q.isNull(column) ? std::nullopt : std::optional<int>(int(q.integer(column)));
}

} // namespace

QString priorityName(Priority p)
{
    switch (p) {
    case Priority::High: return QStringLiteral("high");
    case Priority::Emergency: return QStringLiteral("emergency");
    case Priority::Normal: break;
    }
    return QStringLiteral("normal");
}

std::optional<Priority> priorityFromName(const QString &name)
{
    for (const Priority p : {Priority::Normal, Priority::High, Priority::Emergency})
        if (name == priorityName(p))
            return p;
    return std::nullopt;
}

qint64 Receipts::open(Connection &db, const Publication &p)
{
    const std::optional<qint64> admin = p.adminId ? std::optional<qint64>(*p.adminId) : std::nullopt;
    if (p.sourceKey.isEmpty())
        return db.scalar<qint64>("INSERT INTO publications(admin_id, text, priority, expires_at, copies, escalate_at, "
                                 "created_at) VALUES(?,?,?,?,?,?,?) RETURNING id",
                                 admin, p.text, priorityName(p.priority), p.expiresAt, p.copies, p.escalateAt, now())
            .value_or(0);
    return db.scalar<qint64>("INSERT INTO publications(admin_id, text, priority, expires_at, copies, escalate_at, "
                             "source_key, created_at) VALUES(?,?,?,?,?,?,?,?) RETURNING id",
                             admin, p.text, priorityName(p.priority), p.expiresAt, p.copies, p.escalateAt, p.sourceKey,
                             now())
        .value_or(0);
}

void Receipts::raised(Connection &db, qint64 alertId, qint64 publicationId, int userId, const QString &from)
{
    db.exec("INSERT INTO receipts(alert_id, publication_id, user_id, raised_at, raised_from) VALUES(?,?,?,?,?)", alertId,
            publicationId, userId, now(), from);
}

void Receipts::told(Connection &db, int userId, qint64 after, qint64 upTo, const QString &from)
{
    const qint64 t = now();
    // A receipt not yet told was never shown either: the partial index of
    // receipts not shown finds them.
    db.exec("UPDATE receipts SET told_at = ?, told_from = ? WHERE user_id = ? AND shown_at IS NULL "
            "AND alert_id > ? AND alert_id <= ? AND told_at IS NULL AND alert_id IN (SELECT id FROM alerts "
            "WHERE user_id = ? AND id > ? AND id <= ? AND (expires_at IS NULL OR expires_at > ?))",
            t, from, userId, after, upTo, userId, after, upTo, t);
}

std::optional<QByteArray> Receipts::shown(int userId, const QString &session, const QString &from)
{
    const qint64 t = now();
    QByteArray key;
    bool unshown = false;
    const bool live = m_db.run([&](Connection &db) {
        Query q = db.query("SELECT s.page_key, CASE WHEN EXISTS(SELECT 1 FROM receipts r WHERE r.user_id = s.user_id "
                           "AND r.shown_at IS NULL AND r.told_at IS NOT NULL) THEN 1 ELSE 0 END "
                           "FROM client_sessions s WHERE s.user_id = ? AND s.address = ? AND s.last_poll > ?",
                           userId, session, t - m_policy.clientSessionSeconds);
        if (!q.next())
            return false;
        key = q.isNull(0) ? QByteArray() : q.blob(0);
        unshown = q.integer(1) != 0;
        return true;
    });
    if (!live)
        return std::nullopt;
    if (!unshown && !key.isEmpty())
        return key;
    return m_db.transaction(
        [&](Connection &db) -> std::optional<QByteArray> {
            if (unshown)
                db.exec("UPDATE receipts SET shown_at = ?, shown_from = ? WHERE user_id = ? AND shown_at IS NULL "
                        "AND told_at IS NOT NULL",
                        t, from, userId);
            // Made the first time a page is served to the session; a new
            // session (a new login after a logout) gets a new one, so forms
            // of pages served before are refused.
            db.exec("UPDATE client_sessions SET page_key = ? WHERE user_id = ? AND address = ? AND page_key IS NULL",
                    randomToken(kPageKeyBytes), userId, session);
            return db.scalar<QByteArray>("SELECT page_key FROM client_sessions WHERE user_id = ? AND address = ?",
                                         userId, session);
        },
        TransactionKind::Relaxed);
}

QByteArray Receipts::formToken(const QByteArray &key, qint64 alertId)
{
    const QByteArray message = "acknowledge " + QByteArray::number(alertId);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char *>(message.constData()),
              size_t(message.size()), mac, &length))
        throw std::runtime_error("HMAC failed");
    return QByteArray(reinterpret_cast<const char *>(mac), int(length))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool Receipts::acknowledge(int userId, const QString &session, qint64 alertId, const QByteArray &token,
                           const QString &from)
{
    const qint64 t = now();
    const auto key = m_db.run([&](Connection &db) {
        return db.scalar<QByteArray>("SELECT page_key FROM client_sessions WHERE user_id = ? AND address = ? "
                                     "AND last_poll > ? AND page_key IS NOT NULL",
                                     userId, session, t - m_policy.clientSessionSeconds);
    });
    if (!key || key->isEmpty())
        return false;
    const QByteArray expected = formToken(*key, alertId);
    if (expected.size() != token.size() || CRYPTO_memcmp(expected.constData(), token.constData(), size_t(token.size())) != 0)
        return false;
    m_db.transaction([&](Connection &db) {
        db.exec("UPDATE receipts SET acked_at = ?, acked_from = ? WHERE alert_id = ? AND user_id = ? AND acked_at IS NULL",
                t, from, alertId, userId);
    });
    return true;
}

std::optional<PublicationReceipts> Receipts::of(qint64 alertId, std::optional<int> adminId)
{
    return m_db.run([&](Connection &db) -> std::optional<PublicationReceipts> {
        PublicationReceipts p;
        qint64 publication = 0;
        {
            Query q = db.query("SELECT p.id, p.admin_id, p.text, p.priority, p.created_at, p.expires_at, p.resolved_at "
                               "FROM receipts r JOIN publications p ON p.id = r.publication_id WHERE r.alert_id = ?",
                               alertId);
            if (!q.next())
                return std::nullopt;
            publication = q.integer(0);
            p.adminId = optionalInt(q, 1);
            p.text = q.text(2);
            p.priority = priorityFromName(q.text(3)).value_or(Priority::Normal);
            p.createdAt = q.integer(4);
            p.expiresAt = q.column<std::optional<qint64>>(5);
            p.resolvedAt = q.column<std::optional<qint64>>(6);
        }
        if (adminId && p.adminId != adminId)
            return std::nullopt;
        Query q = db.query("SELECT r.alert_id, u.username, r.raised_at, r.raised_from, r.told_at, r.told_from, "
                           "r.shown_at, r.shown_from, r.acked_at, r.acked_from, r.copy_report FROM receipts r "
                           "JOIN users u ON u.id = r.user_id WHERE r.publication_id = ? ORDER BY r.alert_id",
                           publication);
        while (q.next()) {
            Receipt r;
            r.alertId = q.integer(0);
            r.username = q.text(1);
            r.raisedAt = q.integer(2);
            r.raisedFrom = q.text(3);
            r.toldAt = q.column<std::optional<qint64>>(4);
            r.toldFrom = q.text(5);
            r.shownAt = q.column<std::optional<qint64>>(6);
            r.shownFrom = q.text(7);
            r.acknowledgedAt = q.column<std::optional<qint64>>(8);
            r.acknowledgedFrom = q.text(9);
            r.copyReport = q.text(10);
            p.recipients.append(r);
        }
        p.id = p.recipients.isEmpty() ? alertId : p.recipients.first().alertId;
        return p;
    });
}

QList<PublicationSummary> Receipts::recent(int adminId, qint64 since, int limit, qint64 before)
{
    return m_db.run([&](Connection &db) {
        Query q = db.query("SELECT min(r.alert_id), p.text, p.priority, p.created_at, p.expires_at, p.resolved_at, "
                           "count(*), count(r.told_at), count(r.shown_at), count(r.acked_at) "
                           "FROM publications p JOIN receipts r ON r.publication_id = p.id "
                           "WHERE p.admin_id = ? AND p.created_at >= ? "
                           "GROUP BY p.id, p.text, p.priority, p.created_at, p.expires_at, p.resolved_at "
                           "HAVING min(r.alert_id) < ? ORDER BY p.id DESC LIMIT ?",
                           adminId, since, before > 0 ? before : std::numeric_limits<qint64>::max(), limit);
        QList<PublicationSummary> out;
        while (q.next()) {
            PublicationSummary s;
            s.id = q.integer(0);
            s.text = q.text(1);
            s.priority = priorityFromName(q.text(2)).value_or(Priority::Normal);
            s.createdAt = q.integer(3);
            s.expiresAt = q.column<std::optional<qint64>>(4);
            s.resolvedAt = q.column<std::optional<qint64>>(5);
            s.recipients = int(q.integer(6));
            s.told = int(q.integer(7));
            s.shown = int(q.integer(8));
            s.acknowledged = int(q.integer(9));
            out.append(s);
        }
        return out;
    });
}

int Receipts::sendCopies(Connection &db, const Limits &limits, qint64 publicationId, bool unshownOnly)
{
    QString text, copies, admin;
    Priority priority = Priority::Normal;
    {
        Query q = db.query("SELECT text, copies, admin_id, priority FROM publications WHERE id = ?", publicationId);
        if (!q.next() || q.isNull(2))
            return 0;
        text = q.text(0);
        copies = q.text(1);
        admin = QString::number(q.integer(2));
        priority = priorityFromName(q.text(3)).value_or(Priority::Normal);
    }
    struct Recipient
    {
        qint64 alertId;
        QString email, wireless, carrier;
    };
    QList<Recipient> recipients;
    {
        Query q = db.query("SELECT r.alert_id, u.email, u.wirelessno, u.carrier FROM receipts r "
                           "JOIN users u ON u.id = r.user_id WHERE r.publication_id = ? "
                           "AND (? = 0 OR r.shown_at IS NULL) ORDER BY r.alert_id",
                           publicationId, qint64(unshownOnly ? 1 : 0));
        while (q.next())
            recipients.append({q.integer(0), q.text(1), q.text(2), q.text(3)});
    }
    const QString subject = priority == Priority::Emergency ? QStringLiteral("EMERGENCY alert")
        : priority == Priority::High                         ? QStringLiteral("High priority alert")
                                                             : QStringLiteral("Alert");
    // A phone cannot open a page bound to a desktop's session: the text
    // alone, cut to what one SMS holds.
    const QString sms = text.left(160);
    const QStringList &gateways = limits.policy().smsGateways;
    int queued = 0;
    for (const Recipient &r : recipients) {
        QStringList report;
        const auto send = [&](const QString &kind, const QString &to, const QString &body) {
            if (limits.over(db, Limit::CopiesByAdmin, admin) || limits.over(db, Limit::CopiesToRecipient, to)) {
                report << kind + QStringLiteral(": over the limit");
                return;
            }
            limits.count(db, Limit::CopiesByAdmin, admin);
            limits.count(db, Limit::CopiesToRecipient, to);
            MailQueue::queue(db, {to, subject, body});
            report << kind + QStringLiteral(": queued");
            ++queued;
        };
        if (copies.contains(QLatin1String("email"))) {
            if (r.email.isEmpty())
                report << QStringLiteral("email: no address");
            else
                send(QStringLiteral("email"), r.email, text);
        }
        if (copies.contains(QLatin1String("sms"))) {
            QString digits;
            for (const QChar c : r.wireless)
                if (c.isDigit() && c.unicode() < 0x80)
                    digits += c;
            QString gateway = r.carrier.trimmed().toLower();
            if (gateway.startsWith(u'@'))
                gateway.remove(0, 1);
            if (digits.isEmpty() || gateway.isEmpty())
                report << QStringLiteral("sms: no wireless number and carrier");
            else if (!gateways.contains(gateway))
                report << QStringLiteral("sms: carrier not among the gateways");
            else
                send(QStringLiteral("sms"), digits + u'@' + gateway, sms);
        }
        db.exec("UPDATE receipts SET copy_report = ? WHERE alert_id = ?", report.join(QStringLiteral("; ")), r.alertId);
    }
    return queued;
}

int Receipts::escalate(Connection &db, const Limits &limits, qint64 t)
{
    QList<qint64> due;
    {
        Query q = db.query("SELECT id FROM publications WHERE escalate_at <= ? ORDER BY id LIMIT 100", t);
        while (q.next())
            due.append(q.integer(0));
    }
    int queued = 0;
    for (const qint64 id : due) {
        // Taken by the one transaction that clears its time: the others
        // (other servers) find it cleared, or are rolled back and see so.
        if (db.exec("UPDATE publications SET escalate_at = NULL WHERE id = ? AND escalate_at IS NOT NULL", id) == 1)
            queued += sendCopies(db, limits, id, true);
    }
    return queued;
}

void Receipts::dropExpired(Connection &db, qint64 t) const
{
    if (m_policy.receiptSeconds <= 0)
        return;
    // The receipts go with their publication; its alerts stay on the page.
    db.exec("DELETE FROM publications WHERE created_at <= ?", t - m_policy.receiptSeconds);
}

} // namespace alertserver
