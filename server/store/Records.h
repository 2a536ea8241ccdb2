#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What the store keeps and hands out, apart from how it keeps it: the pages,
// the mails and the command line read these without seeing the database.
namespace alertserver {

// Ids go out as 16-bit signed integers, so no more than this many exist.
constexpr int kMaxId = 32767;

// The one form in which user and administrator names (and e-mail addresses,
// for the limits) are compared: ASCII letters folded to lower case,
// everything else as it stands.
QString nameKey(const QString &name);

struct AdminRegistration
{
    QString username, password, firstname, lastname, company, address, tel, email,
        country, state, city, postalcode, regtype;
};

// What the wizard's user dialogs send about one user. The carrier is kept as
// the gateway domain the wizard sent, whatever it is.
struct UserFields
{
    QString username, password, firstname, lastname, tel, email, wirelessno, carrier;
};

struct UserRecord : UserFields
{
    int id = 0;
    int adminId = 0;
    // Whether the caller the record is shown to has a live session.
    bool loggedIn = false;
};

// How urgent an alert is; stored and published by these names.
enum class Priority { Normal, High, Emergency };
QString priorityName(Priority p);
std::optional<Priority> priorityFromName(const QString &name);

struct AlertRecord
{
    qint64 id = 0;
    QString text;
    qint64 createdAt = 0; // seconds since the epoch, UTC
    Priority priority = Priority::Normal;
    std::optional<qint64> expiresAt, resolvedAt, acknowledgedAt;
    // It has a receipt (alerts raised before receipts were kept, or whose
    // receipt is past its time, have none) and so can be acknowledged.
    bool hasReceipt = false;
    // What the alert page's acknowledgement form carries for it.
    QByteArray ackToken;
};

// What one request to raise alerts asks for, whoever it reaches.
struct Publication
{
    std::optional<int> adminId; // none: the operator's command line
    QString text;
    Priority priority = Priority::Normal;
    std::optional<qint64> expiresAt;
    QString copies;                  // "", "email", "sms" or "email,sms"
    std::optional<qint64> escalateAt; // copies wait until then, for those not shown it
    QString sourceKey;               // a monitoring system's key for its alert
    QString from;                    // the publisher's address
};

// One recipient's receipt: when the alert was raised, first told to a
// session, first shown on the alert page and acknowledged, and from where.
struct Receipt
{
    qint64 alertId = 0;
    QString username;
    qint64 raisedAt = 0;
    QString raisedFrom;
    std::optional<qint64> toldAt, shownAt, acknowledgedAt;
    QString toldFrom, shownFrom, acknowledgedFrom;
    QString copyReport;
};

// A publication with the receipts of all its recipients. Its id is the
// lowest id of the alerts it raised.
struct PublicationReceipts
{
    qint64 id = 0;
    std::optional<int> adminId;
    QString text;
    Priority priority = Priority::Normal;
    qint64 createdAt = 0;
    std::optional<qint64> expiresAt, resolvedAt;
    QList<Receipt> recipients;
};

// A publication in a list, with how many recipients were told, shown it and
// acknowledged it.
struct PublicationSummary
{
    qint64 id = 0;
    QString text;
    Priority priority = Priority::Normal;
    qint64 createdAt = 0;
    std::optional<qint64> expiresAt, resolvedAt;
    int recipients = 0, told = 0, shown = 0, acknowledged = 0;
};

struct Mail
{
    QString to;      // one address
    QString subject;
    QString body;    // plain text; line ends are made CRLF when written
};

// A message of the mail queue, claimed by one delivery for a while.
struct QueuedMail
{
    qint64 id = 0;
    Mail mail;
    qint64 createdAt = 0;
    int attempts = 0; // this one included
};

// An administrator as `list-admins` shows it.
struct AdminSummary
{
    int id = 0;
    QString username, email;
    bool active = false;
    std::optional<qint64> expiresAt;
    qint64 users = 0;
    // Made or approved by the operator, rather than registered itself.
    bool byOperator = false;
};

// A token an administrator publishes alerts with, as `token list` shows it.
struct ApiToken
{
    QString label;
    qint64 createdAt = 0;
    std::optional<qint64> lastUsed;
    QString scope; // "all", or "webhook"
};

// One alert a publication raised.
struct RaisedAlert
{
    qint64 id = 0;
    QString username; // as stored
};

} // namespace alertserver
