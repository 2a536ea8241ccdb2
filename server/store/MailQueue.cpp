#include "server/store/MailQueue.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/Limits.h"

#include <algorithm>

namespace alertserver {

namespace {

constexpr int kMailAttempts = 20;

} // namespace

void MailQueue::queue(Connection &db, const Mail &mail)
{
    const qint64 t = now();
    db.exec("INSERT INTO mail_queue(recipient, subject, body, next_try, created_at) VALUES(?,?,?,?,?)", mail.to,
            mail.subject, mail.body, t, t);
}

int MailQueue::queueFrom(int adminId, const QList<Mail> &mails)
{
    const QString admin = QString::number(adminId);
    return m_db.transaction([&](Connection &db) {
        int queued = 0;
        for (const Mail &mail : mails) {
            const QString &recipient = mail.to;
            if (m_limits.over(db, Limit::MailsByAdmin, admin) || m_limits.over(db, Limit::MailsToRecipient, recipient))
                continue;
            m_limits.count(db, Limit::MailsByAdmin, admin);
            m_limits.count(db, Limit::MailsToRecipient, recipient);
            queue(db, mail);
            ++queued;
        }
        return queued;
    });
}

qint64 MailQueue::waiting()
{
    return m_db.run([](Connection &db) {
        return db.scalar<qint64>("SELECT count(*) FROM mail_queue WHERE state = 'queued'").value_or(0);
    });
}

std::optional<QueuedMail> MailQueue::claim()
{
    const qint64 t = now();
    return m_db.transaction([&](Connection &db) -> std::optional<QueuedMail> {
        QueuedMail m;
        {
            Query q = db.query("SELECT id, recipient, subject, body, created_at, attempts FROM mail_queue "
                               "WHERE state = 'queued' AND next_try <= ? ORDER BY id LIMIT 1",
                               t);
            if (!q.next())
                return std::nullopt;
            m.id = q.integer(0);
            m.mail = {q.text(1), q.text(2), q.text(3)};
            m.createdAt = q.integer(4);
            m.attempts = int(q.integer(5)) + 1;
        }
        db.exec("UPDATE mail_queue SET attempts = attempts + 1, next_try = ? WHERE id = ?", t + kClaimSeconds, m.id);
        return m;
    });
}

void MailQueue::delivered(qint64 id)
{
    m_db.run([&](Connection &db) { db.exec("DELETE FROM mail_queue WHERE id = ?", id); });
}

void MailQueue::notDelivered(qint64 id, const QString &why)
{
    m_db.transaction([&](Connection &db) {
        const auto attempts = db.scalar<int>("SELECT attempts FROM mail_queue WHERE id = ?", id);
        if (!attempts)
            return;
        // A minute, then doubling up to six hours.
        const qint64 pause = std::min<qint64>(qint64(60) << std::min(*attempts - 1, 9), 6 * 3600);
        db.exec("UPDATE mail_queue SET next_try = ?, last_error = ?, state = ? WHERE id = ?", now() + pause, why,
                *attempts >= kMailAttempts ? QStringLiteral("failed") : QStringLiteral("queued"), id);
    });
}

void MailQueue::refused(qint64 id, const QString &why)
{
    m_db.run([&](Connection &db) {
        db.exec("UPDATE mail_queue SET state = 'failed', last_error = ? WHERE id = ?", why, id);
    });
}

} // namespace alertserver
