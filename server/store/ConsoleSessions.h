#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace alertserver {

class Connection;
class Database;

// The publisher console's sessions (the console_sessions table). A session is
// a random cookie; the store keeps only its SHA-256, so every server on the
// store honours it and a copy of the database opens none. A session ends
// after half an hour unused, twelve hours after it was opened, at sign-out,
// and with its administrator's password, expiry or account.
class ConsoleSessions
{
public:
    static constexpr int kCookieBytes = 32;
    static constexpr qint64 kIdleSeconds = 30 * 60;
    static constexpr qint64 kLifetimeSeconds = 12 * 60 * 60;

    explicit ConsoleSessions(Database &db) : m_db(db) {}

    struct Opened
    {
        QByteArray cookie; // handed to the browser once, never stored
        QString adminName;
    };
    // A new session of the administrator, opened from `address`.
    Opened open(int adminId, const QString &address);

    struct Live
    {
        int adminId = 0;
        QString adminName;
        QByteArray key; // SHA-256 of the cookie
    };
    // The session of a cookie, while it lives and its administrator is
    // active and unexpired. Its last use is written at most once a minute,
    // so looking a session up stays a read.
    std::optional<Live> lookUp(const QByteArray &cookie);
    // Ends the session of a cookie; false when there was none.
    bool end(const QByteArray &cookie);
    // Ends every session of an administrator; answers how many.
    qint64 endAllOf(int adminId);
    static qint64 endAllOf(Connection &db, int adminId);

    // What a cookie can look like: 32 bytes in base64url, 43 characters.
    static bool plausible(const QByteArray &cookie);

    // Sessions unused or opened too long before `t`.
    static void dropExpired(Connection &db, qint64 t);

private:
    Database &m_db;
};

} // namespace alertserver
