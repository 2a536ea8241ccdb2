#include "server/pages/MailTexts.h"

namespace alertserver::mailtexts {

// Both mails go to addresses nobody has confirmed, at the request of anyone
// who can reach the server: they carry nothing the requester wrote (no names,
// no user names), only our own words, the public address and a random code.

Mail activation(const QString &to, const QString &base, const QByteArray &code)
{
    Mail mail;
    mail.to = to;
    mail.subject = QStringLiteral("Activate your Vantorel Software administrator account");
    mail.body = QStringLiteral("Hello,\n\n"
                               "this address was given to register an administrator of the Vantorel Software alert system.\n\n"
                               "Open this link to activate the account:\n%1/alertsystem/admin/activate.php?code=%2\n\n"
                               "Until then the wizard will tell you that your account is not active. If you did not\n"
                               "register, ignore this mail: an account not activated within days is dropped.\n")
                    .arg(base, QString::fromLatin1(code));
    return mail;
}

Mail downloadLink(const QString &to, const QString &base)
{
    Mail mail;
    mail.to = to;
    mail.subject = QStringLiteral("Your Vantorel instant alert account");
    mail.body = QStringLiteral("Hello,\n\n"
                               "an alert account has been set up for you.\n\n"
                               "Download the Tarvex alert client here:\n%1/alertsystem/download.php\n\n"
                               "Log in with the user name and the password your administrator gave you.\n")
                    .arg(base);
    return mail;
}

} // namespace alertserver::mailtexts
