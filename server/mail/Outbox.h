#pragma once

#include "server/mail/MailTransport.h"

#include <QString>

namespace alertserver {

// Mail that is not sent anywhere: each message becomes one .eml file in the
// outbox folder, ready for a mail program or a test to pick up. A message
// appears whole or not at all (written beside, then renamed), readable by the
// server's user alone, and under a name of its own, so delivering it twice
// leaves one file.
class Outbox : public MailTransport
{
public:
    explicit Outbox(QString folder);
    const QString &folder() const { return m_folder; }

    Handover send(const QueuedMail &message) override;
    bool handsOverAtOnce() const override { return true; }
    QString describe() const override { return QStringLiteral("outbox %1").arg(m_folder); }
    // Writes one message; false when it could not be written.
    bool write(const QueuedMail &message);

private:
    QString m_folder;
};

} // namespace alertserver
