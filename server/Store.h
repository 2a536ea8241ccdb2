#pragma once

#include "Database.h"
#include "PasswordHash.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>

namespace alertserver {

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

// Sessions, expiry and limits the server applies. Every limit counts within a
// fixed window (login failures: 15 minutes, the others: a day); 0 turns a
// limit off.
struct Policy
{
    qint64 adminSessionSeconds = 8 * 3600;
    qint64 clientSessionSeconds = 24 * 3600;
    // Client sessions are (user, caller's address); off, each user has one
    // session that any caller shares.
    bool sessionPerAddress = true;
    qint64 activationSeconds = 7 * 86400;
    int loginFailuresPerName = 10;
    int loginFailuresPerAddress = 50;
    int registrationsPerAddress = 10;
    int mailsPerAdmin = 200;
    int mailsPerRecipient = 5;
    int usersPerAdmin = 1000;
    // Alerts published through the HTTP interface, per token and minute; one
    // request counts once, however many users it reaches.
    int alertsPerToken = 60;
};

enum class Limit {
    ClientLoginName,
    ClientLoginAddress,
    AdminLoginName,
    AdminLoginAddress,
    Registration,     // per address
    MailsByAdmin,     // per administrator id
    MailsToRecipient, // per address mailed
    AlertsByToken,    // per publishing token (its hash), a minute
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

// The server's data: one SQLite file, or one PostgreSQL database that several
// servers share. Every method is safe to call from any number of threads
// (and processes) at once: each call leases its own connection, and every
// change that touches more than one row runs in one write transaction, so
// the database itself keeps racing servers apart. Sessions, limits and the
// mail queue live here too, so that several servers on one store agree on
// them.
class Store
{
public:
    // The schema this build writes; a store with a higher version was made by
    // a newer server and is refused rather than misread.
    static constexpr int kSchemaVersion = 4;
    // Ids go out as 16-bit signed integers, so no more than this many exist.
    static constexpr int kMaxId = 32767;
    // Alerts kept per user; older ones are dropped as new ones arrive.
    static constexpr int kAlertsKept = 1000;
    // The session key every caller shares when sessions are per user.
    static constexpr const char *kAnyAddress = "*";

    // A file path (SQLite) or a postgresql:// URI; see Database::open.
    explicit Store(const QString &location, int passwordIterations = kDefaultPasswordIterations);

    const QString &location() const { return m_db->location(); }
    Database &database() { return *m_db; }
    void setPolicy(const Policy &policy) { m_policy = policy; }
    const Policy &policy() const { return m_policy; }

    // The one form in which user and administrator names (and e-mail
    // addresses, for the limits) are compared: ASCII letters folded to lower
    // case, everything else as it stands.
    static QString nameKey(const QString &name);

    // ---- administrators
    enum class Registration { Registered, Resent, NameTaken, Full, MailLimited };
    struct RegisterResult
    {
        Registration outcome = Registration::Full;
        int id = 0;
        QByteArray activationCode;
    };
    // Builds the activation mail for a new account, inside its transaction.
    using ActivationMail = std::function<Mail(int id, const QByteArray &code)>;
    // A new account with a random id, its activation mail queued with it.
    // Registering again a name that waits for its activation, with the same
    // e-mail address and password, queues the mail again (Resent). Without
    // `mail` nothing is queued (accounts that are activated at once).
    RegisterResult registerAdmin(const AdminRegistration &reg, const ActivationMail &mail = {});
    // Activates the account with this code; the code works once and only
    // within the activation period. Answers the account's user name.
    std::optional<QString> activateAdmin(const QByteArray &code);
    bool activateAdminByName(const QString &username);
    // Expiry in seconds since the epoch; no value = never expires.
    bool setAdminExpiry(const QString &username, std::optional<qint64> expiresAt);

    enum class AdminLogin { LoggedIn, Invalid, NotActive, Expired };
    std::pair<AdminLogin, int> loginAdmin(const QString &username, const QString &password);
    // An administrator that exists, is activated and has not expired.
    bool isUsableAdmin(int adminId);
    std::optional<int> adminIdByName(const QString &username);

    // Binds an administrator to a caller's address (after a login or a
    // registration); each address is one binding, used ones stay alive.
    void bindAdmin(int adminId, const QString &address);
    // A usable administrator with a live binding to the address.
    bool isBound(int adminId, const QString &address);
    // The administrator of the user, when that administrator is bound to the
    // address; no value for an unknown user as for another's.
    std::optional<int> ownerBoundTo(int userId, const QString &address);

    // ---- users of an administrator
    enum class Addition { Added, NameTaken, Full, NoAdmin };
    // Full also when the administrator has `maxUsers` users already.
    std::pair<Addition, int> addUser(int adminId, const UserFields &fields, int maxUsers = kMaxId);
    // Changes everything but the user name; false for an unknown id.
    bool editUser(int id, const UserFields &fields);
    bool deleteUser(int id);
    QList<UserRecord> usersOf(int adminId);
    std::optional<UserRecord> userByName(const QString &username);

    // ---- the client side; `session` is the caller's address, or kAnyAddress
    // True when the name and password match a user of a usable administrator;
    // the session is then live. A new session is told of the alerts that no
    // session has been told of yet.
    bool loginUser(const QString &username, const QString &password, const QString &session);
    // 1: alerts arrived that this session has not been told of (told once),
    // 2: no live session (or no such user), 0: nothing new.
    int pollStatus(const QString &username, const QString &session);
    bool hasSession(int userId, const QString &session);
    // The new alert's id, or no value for an unknown user.
    std::optional<qint64> raiseAlert(const QString &username, const QString &text);
    // Ends every session of the user.
    bool logoutUser(const QString &username);
    // Newest first.
    QList<AlertRecord> alertsOf(int userId, int limit);

    // ---- publishing tokens
    // Tokens are 32 random bytes in base64url; only their SHA-256 is kept.
    static constexpr int kTokenBytes = 32;
    static constexpr int kMaxTokenLabel = 64;
    enum class TokenCreation { Created, LabelTaken, NoAdmin };
    struct CreatedToken
    {
        TokenCreation outcome = TokenCreation::NoAdmin;
        QByteArray token; // shown once, never stored
        QString label;
    };
    // Without a label the token gets the first free "token-N".
    CreatedToken createToken(int adminId, const QString &label = {});
    QList<ApiToken> tokensOf(int adminId);
    // The token stops working at once, for every server on the store.
    bool revokeToken(int adminId, const QString &label);
    // Whether a label may name a token: 1 to kMaxTokenLabel letters, digits, ". _ -".
    static bool isTokenLabel(const QString &label);

    enum class Publication { Published, NoToken, NotTheirs, Limited };
    struct PublishResult
    {
        Publication outcome = Publication::NoToken;
        QList<RaisedAlert> alerts;
        QString refusedUser;  // NotTheirs: the first name that is not the administrator's
        qint64 retryAfter = 0; // Limited: seconds until the window ends
    };
    // Raises one alert per user, all or none, for the administrator whose
    // live token this is: the named users (each must be one of that
    // administrator's), or all of them. Looked up in the store every time,
    // so a revoked token or an expired administrator is refused at once.
    PublishResult publish(const QByteArray &token, const QStringList &users, bool all, const QString &text);

    // ---- limits
    bool overLimit(Limit limit, const QString &subject);
    void countAgainst(Limit limit, const QString &subject);
    // Counts one against the limit unless it is reached: false then.
    bool spend(Limit limit, const QString &subject);

    // ---- the mail queue
    // How long a delivery holds the message it claimed before another may
    // take it: longer than any delivery may take.
    static constexpr qint64 kMailClaimSeconds = 600;
    // Queues the messages an administrator sends, each within the limits per
    // administrator and per recipient; answers how many were queued.
    int queueMails(int adminId, const QList<Mail> &mails);
    // The oldest message due, claimed for kMailClaimSeconds, or no value.
    std::optional<QueuedMail> claimMail();
    void mailDelivered(qint64 id);
    // Tried again later, with growing pauses; after many tries it stays as failed.
    void mailNotDelivered(qint64 id, const QString &why);
    // Refused for good by the mail system: it stays as failed, not tried again.
    void mailRefused(qint64 id, const QString &why);

    // Drops what has expired: sessions, bindings, limit windows, and
    // registrations never activated (freeing their names).
    void sweep();

    // ---- the store as a whole
    // Every table, parents before the tables that refer to them.
    static const QStringList &tables();
    // Copies every row of every table into `target`, which must hold no
    // data yet, in one transaction; answers the rows copied per table.
    QList<std::pair<QString, qint64>> copyInto(Store &target);

private:
    void migrate();
    static int schemaVersion(Connection &db);
    static void createSchema(Connection &db);
    static void migrateToV2(Connection &db);
    static void migrateToV3(Connection &db);
    static void migrateToV4(Connection &db);
    // The id up to which a new session of the user counts as told:
    // everything but the alerts no session has been told of yet.
    static qint64 toldUpTo(Connection &db, int userId, qint64 untold);
    int nextUserId(Connection &db);
    int randomAdminId(Connection &db);
    bool overLimit(Connection &db, Limit limit, const QString &subject);
    void countAgainst(Connection &db, Limit limit, const QString &subject);
    void queueMail(Connection &db, const Mail &mail);
    static qint64 raiseAlert(Connection &db, int userId, const QString &text);
    // Seconds until the limit's window for the subject ends.
    qint64 windowLeft(Connection &db, Limit limit, const QString &subject);
    static qint64 now();

    std::unique_ptr<Database> m_db;
    int m_passwordIterations;
    Policy m_policy;
    PasswordHash m_decoy; // verified against unknown names so that they take as long as known ones
};

} // namespace alertserver
