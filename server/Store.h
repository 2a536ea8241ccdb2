#pragma once

#include "PasswordHash.h"
#include "SqliteDb.h"

#include <QList>
#include <QString>
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
    bool loggedIn = false;
};

struct AlertRecord
{
    qint64 id = 0;
    QString text;
    qint64 createdAt = 0; // seconds since the epoch, UTC
};

// The server's one SQLite file. Every method is safe to call from any number
// of threads at once: each call leases its own connection, and every change
// that touches more than one row runs in one write transaction.
class Store
{
public:
    // The schema this build writes; a file with a higher user_version was made
    // by a newer server and is refused rather than misread.
    static constexpr int kSchemaVersion = 1;
    // Ids go out as 16-bit signed integers, so no more than this many exist.
    static constexpr int kMaxId = 32767;
    // Alerts kept per user; older ones are dropped as new ones arrive.
    static constexpr int kAlertsKept = 1000;

    explicit Store(const QString &path, int passwordIterations = kDefaultPasswordIterations);

    const QString &path() const { return m_pool.path(); }

    // ---- administrators
    enum class Registration { Registered, NameTaken, Full };
    struct RegisterResult
    {
        Registration outcome = Registration::Full;
        int id = 0;
        QByteArray activationCode;
    };
    RegisterResult registerAdmin(const AdminRegistration &reg);
    // Activates the account with this code; the code works once. Answers the
    // account's user name.
    std::optional<QString> activateAdmin(const QByteArray &code);
    bool activateAdminByName(const QString &username);
    // Takes back a registration whose activation e-mail could not be written.
    void removeAdmin(int id);
    // Expiry in seconds since the epoch; no value = never expires.
    bool setAdminExpiry(const QString &username, std::optional<qint64> expiresAt);

    enum class AdminLogin { LoggedIn, Invalid, NotActive, Expired };
    std::pair<AdminLogin, int> loginAdmin(const QString &username, const QString &password);
    // An administrator that exists, is activated and has not expired.
    bool isUsableAdmin(int adminId);
    std::optional<int> adminIdByName(const QString &username);

    // ---- users of an administrator
    enum class Addition { Added, NameTaken, Full, NoAdmin };
    std::pair<Addition, int> addUser(int adminId, const UserFields &fields);
    // Changes everything but the user name; false for an unknown id.
    bool editUser(int id, const UserFields &fields);
    bool deleteUser(int id);
    QList<UserRecord> usersOf(int adminId);
    std::optional<UserRecord> userByName(const QString &username);

    // ---- the client side
    // True when the name and password match a user of a usable administrator;
    // the user is then logged in on the server.
    bool loginUser(const QString &username, const QString &password);
    // 1: alerts arrived since the last poll (reported once), 2: not logged in
    // on the server (or no such user), 0: nothing new.
    int pollStatus(const QString &username);
    // The new alert's id, or no value for an unknown user.
    std::optional<qint64> raiseAlert(const QString &username, const QString &text);
    bool logoutUser(const QString &username);
    // Newest first.
    QList<AlertRecord> alertsOf(int userId, int limit);

private:
    void migrate();
    int nextId(SqliteConnection &db, const char *table);
    static qint64 now();

    ConnectionPool m_pool;
    int m_passwordIterations;
    PasswordHash m_decoy; // verified against unknown names so that they take as long as known ones
};

} // namespace alertserver
