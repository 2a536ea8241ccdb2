#pragma once

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

struct AlertRecord
{
    qint64 id = 0;
    QString text;
    qint64 createdAt = 0; // seconds since the epoch, UTC
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
};

// One alert a publication raised.
struct RaisedAlert
{
    qint64 id = 0;
    QString username; // as stored
};

} // namespace alertserver
