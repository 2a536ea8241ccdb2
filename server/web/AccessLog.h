#pragma once

#include <QByteArray>
#include <QString>

namespace alertserver {

struct HttpRequest;

// The server's log lines about requests, on stderr for the journal: one line
// each, passwords and activation codes never in them.
namespace accesslog {

// The request target as a log may show it: the values of "password" and
// "code" (the activation code) are hidden.
QByteArray hideSecrets(const QByteArray &target);

// A request and the status it was answered with (with --verbose only).
void answered(const QByteArray &peer, const QByteArray &method, const QByteArray &target, int status);

// A request that failed inside the server: logged whatever the verbosity,
// with the reference number its caller was given and the reason.
void failed(const QString &reference, const HttpRequest &request, const QString &why);

// An administrative change, or an attempt at one, for the audit trail:
// logged whatever the verbosity, one line with the time (UTC), who (an
// administrator's name or id, "operator" on the command line), from which
// address, and what. Callers pass names and ids, never a secret.
void audit(const QString &who, const QByteArray &from, const QString &what);

} // namespace accesslog
} // namespace alertserver
