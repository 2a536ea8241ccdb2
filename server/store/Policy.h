#pragma once

#include <QStringList>
#include <QtGlobal>

namespace alertserver {

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
    // Alerts sent from the publisher console, per administrator and minute:
    // no token counts them.
    int consoleAlertsPerAdmin = 30;
    // User ids that users of self-registered administrators never take, so
    // that the operator's own administrators can always add users.
    int reservedUserIds = 8192;
    // How long the receipts of an alert (and the addresses in them) are kept.
    qint64 receiptSeconds = 90 * 86400;
    // Copies of alerts by e-mail and SMS, a day: per administrator, and per
    // address they go to (sized for one alert to a whole organisation).
    int copiesPerAdmin = 20000;
    int copiesPerRecipient = 50;
    // The e-mail-to-SMS gateways copies may go through (domains in lower
    // case); a carrier outside them gets no copy.
    QStringList smsGateways{QStringLiteral("txt.att.net"),          QStringLiteral("cingularme.com"),
                            QStringLiteral("messaging.nextel.com"), QStringLiteral("messaging.sprintpcs.com"),
                            QStringLiteral("tmomail.net"),          QStringLiteral("vtext.com")};
    // Who may register through the wizard: anyone (open), anyone but
    // activated only by the operator's approve-admin (approve), or nobody
    // (closed). With domains (lower case), only e-mail addresses in one of
    // them may register.
    enum class Registration { Open, Approve, Closed };
    Registration registration = Registration::Open;
    QStringList registrationDomains;
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
    CopiesByAdmin,    // copies of alerts, per administrator id
    CopiesToRecipient, // per address a copy goes to
    ConsoleAlertsByAdmin, // sent from the console, per administrator id, a minute
};

} // namespace alertserver
