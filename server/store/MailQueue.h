#pragma once

#include "server/store/Records.h"

#include <QList>
#include <QString>

#include <optional>

namespace alertserver {

class Connection;
class Database;
class Limits;

// Mail waiting to go out. A message is queued in the same transaction as the
// change that causes it, and claimed by one delivery at a time, so several
// servers on one store send each message once.
class MailQueue
{
public:
    // How long a delivery holds the message it claimed before another may
    // take it: longer than any delivery may take.
    static constexpr qint64 kClaimSeconds = 600;

    MailQueue(Database &db, Limits &limits) : m_db(db), m_limits(limits) {}

    // Queues the messages an administrator sends, each within the limits per
    // administrator and per recipient; answers how many were queued.
    int queueFrom(int adminId, const QList<Mail> &mails);
    // Queues one message inside a transaction of the caller's.
    static void queue(Connection &db, const Mail &mail);

    // Messages still to go out (not delivered, not failed for good).
    qint64 waiting();

    // The oldest message due, claimed for kClaimSeconds, or no value.
    std::optional<QueuedMail> claim();
    void delivered(qint64 id);
    // Tried again later, with growing pauses; after many tries it stays as failed.
    void notDelivered(qint64 id, const QString &why);
    // Refused for good by the mail system: it stays as failed, not tried again.
    void refused(qint64 id, const QString &why);

private:
    Database &m_db;
    Limits &m_limits;
};

} // namespace alertserver
