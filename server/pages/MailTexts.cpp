#include "server/pages/MailTexts.h"

namespace alertserver::mailtexts {

Mail activation(const AdminRegistration &reg, const QString &base, const QByteArray &code)
{
    Mail mail;
    mail.to = reg.email;
    mail.subject = QStringLiteral("Activate your Vantorel Software administrator account");
    mail.body = QStringLiteral("Hello %1 %2,\n\n"
                               "thank you for registering as an administrator of the Vantorel Software alert system.\n"
                               "Your user name: %3\n\n"
                               "Open this link to activate your account:\n%4/alertsystem/admin/activate.php?code=%5\n\n"
                               "Until then the wizard will tell you that your account is not active.\n")
                    .arg(reg.firstname, reg.lastname, reg.username, base, QString::fromLatin1(code));
    return mail;
}

Mail downloadLink(const QString &to, const QString &greeting, const QStringList &names, const QString &base)
{
    Mail mail;
    mail.to = to;
    mail.subject = QStringLiteral("Your Vantorel instant alert account");
    mail.body = QStringLiteral("Hello %1,\n\n"
                               "an alert account has been set up for you.\n"
                               "Your user name: %2\n\n"
                               "Download the Tarvex alert client here:\n%3/alertsystem/download.php\n\n"
                               "Log in with your user name and the password your administrator gave you.\n")
                    .arg(greeting.isEmpty() ? QStringLiteral("there") : greeting, names.join(QStringLiteral(", ")), base);
    return mail;
}

} // namespace alertserver::mailtexts
