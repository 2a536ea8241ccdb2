#pragma once

#include "server/mail/MailTransport.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace alertserver {

class MailQueue;

// Takes due messages from the store's queue and hands them to a transport.
// Several processes may deliver from one store: each message is claimed by
// one of them for longer than a delivery may take, so it goes out once.
class MailDelivery
{
public:
    // How often the loop looks for messages that are due again.
    static constexpr std::chrono::seconds kRoundEvery{30};

    MailDelivery(MailQueue &queue, MailTransport &transport);
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

    MailQueue &m_queue;
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
