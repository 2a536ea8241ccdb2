#pragma once

#include "server/mail/MailTransport.h"

#include <QString>

namespace alertserver {

// Pipes each message to the local mail system: `sendmail -t -oi` takes the
// recipient from the header and reads a lone dot as text.
class SendmailTransport : public MailTransport
{
public:
    static constexpr const char *kProgram = "/usr/sbin/sendmail";
    // A message the program has not taken within this long is tried again.
    static constexpr int kTimeoutMs = 120000;

    explicit SendmailTransport(QString program = QLatin1String(kProgram));
    Handover send(const QueuedMail &message) override;
    QString describe() const override { return QStringLiteral("sendmail (%1 -t -oi)").arg(m_program); }

private:
    QString m_program;
};

} // namespace alertserver
