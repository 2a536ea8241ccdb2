#pragma once

#include "server/mail/MailMessage.h"
#include "server/store/Records.h"

#include <QString>

namespace alertserver {

// What became of one message handed to a mail system.
struct Handover
{
    enum Outcome {
        Sent,        // taken by the mail system
        TryLater,    // not taken this time: kept, and tried again after a pause
        Refused,     // refused for good (an SMTP 5xx): kept as failed, not tried again
        Unreachable, // the mail system is out of reach: kept, and the round ends here
    };
    Outcome outcome = TryLater;
    QString why;
};

// One way out of the server for the queue's messages.
class MailTransport
{
public:
    virtual ~MailTransport() = default;
    virtual Handover send(const QueuedMail &message) = 0;
    // A round of deliveries is over: a connection kept open for it is closed.
    virtual void endRound() {}
    // True for a transport that only writes a local file: it hands messages
    // over on the thread that queued them, at once and on many threads.
    // Every other one runs on the delivery loop alone, never on a request.
    virtual bool handsOverAtOnce() const { return false; }
    // Names the way out in the start-up line: "outbox DIR", "sendmail", ...
    virtual QString describe() const = 0;

    void setSender(const QString &address) { m_sender = address; }
    const QString &sender() const { return m_sender; }
    // A descriptor that becomes readable when the server stops: every wait
    // of a delivery under way watches it and gives up.
    void setStopSignal(int fd) { m_stopFd = fd; }
    int stopSignal() const { return m_stopFd; }

private:
    QString m_sender = QLatin1String(kDefaultMailSender);
    int m_stopFd = -1;
};

} // namespace alertserver
