#pragma once

#include <QString>

#include <optional>

namespace alertserver {

// Where the SMTP client delivers, and as whom.
struct SmtpRelay
{
    QString host;
    quint16 port = 25;
    bool implicitTls = false; // smtps://: TLS from the first byte
    QString user, password;   // no user: no AUTH
    QString caFile;           // certificates trusted for the relay instead of the system's

    // "smtp://HOST[:PORT]" (25) or "smtps://HOST[:PORT]" (465), HOST a name,
    // an IPv4 address or [an IPv6 address]; no credentials in the address.
    static std::optional<SmtpRelay> parse(const QString &url, QString *error);
    // The user name on the first line of `path`, the password on the second.
    // The file must belong to the server's user and be readable by no one
    // else, or it is refused.
    bool readCredentials(const QString &path, QString *error);
    QString url() const;
};

} // namespace alertserver
