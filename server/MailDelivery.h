#pragma once

#include "MailMessage.h"
#include "Store.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

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

// Takes due messages from the store's queue and hands them to a transport.
// Several processes may deliver from one store: each message is claimed by
// one of them for longer than a delivery may take, so it goes out once.
class MailDelivery
{
public:
    // How often the loop looks for messages that are due again.
    static constexpr std::chrono::seconds kRoundEvery{30};

    MailDelivery(Store &store, MailTransport &transport);
    // Stops the loop; a delivery under way gives up and its message is kept.
    ~MailDelivery();

    // Delivers every message due now on the caller's thread; answers how
    // many the mail system took.
    int deliverDue();
    // A message was queued: a local transport writes it at once, any other
    // wakes the loop and the caller goes on.
    void queued();
    // Delivers in the background: at once, then every half minute and
    // whenever a message is queued.
    void start();
    // Refusals and failed tries are reported here; to stderr unless set.
    void setLog(std::function<void(const QString &)> log) { m_log = std::move(log); }

private:
    void loop();
    void log(const QString &text) const;

    Store &m_store;
    MailTransport &m_transport;
    std::function<void(const QString &)> m_log;
    std::mutex m_round; // transports that keep a connection serve one round at a time
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    std::atomic<bool> m_stopping{false};
    int m_stopFd = -1;
    std::thread m_thread;
};

} // namespace alertserver
