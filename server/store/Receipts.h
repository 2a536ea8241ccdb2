#pragma once

#include "server/store/Records.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace alertserver {

class Connection;
class Database;
class Limits;
struct Policy;

// Who saw each alert (the publications and receipts tables): each
// publication and, per recipient, when its alert was raised, first told to a
// session by a poll, first shown on the alert page and acknowledged there,
// with the address of each. The poll writes "told" (Sessions::poll), the
// alert page "shown", the acknowledgement form "acknowledged".
class Receipts
{
public:
    Receipts(Database &db, const Policy &policy) : m_db(db), m_policy(policy) {}

    // The publication's row, inside the transaction that raises its alerts.
    static qint64 open(Connection &db, const Publication &p);
    // The alert's receipt, as it is raised.
    static void raised(Connection &db, qint64 alertId, qint64 publicationId, int userId, const QString &from);
    // The unexpired alerts above `after` up to `upTo` were told to a session
    // of the user at `from`.
    static void told(Connection &db, int userId, qint64 after, qint64 upTo, const QString &from);

    // The alert page was served to the user's live session `session` at
    // `from`: every alert told and not yet shown is now shown. Answers the
    // key the page's acknowledgement forms are signed with (made for the
    // session the first time), or nothing when the session is not live.
    std::optional<QByteArray> shown(int userId, const QString &session, const QString &from);
    // What the form for `alertId` on a page signed with `key` carries.
    static QByteArray formToken(const QByteArray &key, qint64 alertId);
    // True when the token is the one the user's live session `session` was
    // given for the alert; the first such answer acknowledges it (from
    // `from`), any later one changes nothing.
    bool acknowledge(int userId, const QString &session, qint64 alertId, const QByteArray &token, const QString &from);

    // The publication that raised alert `alertId`, with every recipient's
    // receipt; only an administrator's own when `adminId` is given.
    std::optional<PublicationReceipts> of(qint64 alertId, std::optional<int> adminId);
    // The administrator's publications since `since`, newest first, at most
    // `limit`, those below id `before` when it is not 0 (the next page).
    QList<PublicationSummary> recent(int adminId, qint64 since, int limit, qint64 before = 0);

    // Queues the copies publication `publicationId` asks for, by e-mail and
    // SMS, within the copies' limits, to every recipient (or those not yet
    // shown it), and notes per recipient what became of them. Answers how
    // many were queued.
    static int sendCopies(Connection &db, const Limits &limits, qint64 publicationId, bool unshownOnly);
    // Sends the copies of publications whose time to escalate has come,
    // each exactly once whatever the number of servers; answers how many
    // were queued.
    static int escalate(Connection &db, const Limits &limits, qint64 t);

    // Drops receipts (and the addresses in them) of alerts raised longer ago
    // than receipts are kept.
    void dropExpired(Connection &db, qint64 t) const;

private:
    Database &m_db;
    const Policy &m_policy;
};

} // namespace alertserver
