#include "server/mail/MailDelivery.h"

#include "server/store/MailQueue.h"

#include <cstdio>
#include <sys/eventfd.h>
#include <unistd.h>

namespace alertserver {

MailDelivery::MailDelivery(MailQueue &queue, MailTransport &transport)
    : m_queue(queue), m_transport(transport), m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_transport.setStopSignal(m_stopFd);
}

MailDelivery::~MailDelivery()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    const quint64 one = 1;
    if (::write(m_stopFd, &one, sizeof one) < 0) {
        // the descriptor is ours and never full; nothing to do
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_transport.setStopSignal(-1);
    ::close(m_stopFd);
}

void MailDelivery::log(const QString &text) const
{
    if (m_log)
        m_log(text);
    else
        std::fprintf(stderr, "alertserver: %s\n", text.toLocal8Bit().constData());
}

int MailDelivery::deliverDue()
{
    std::unique_lock round(m_round, std::defer_lock);
    if (!m_transport.handsOverAtOnce())
        round.lock();
    // The round ends with its connection closed, whatever the store throws.
    struct EndRound
    {
        MailTransport &transport;
        ~EndRound() { transport.endRound(); }
    } endRound{m_transport};

    int delivered = 0;
    while (!m_stopping) {
        const auto message = m_queue.claim();
        if (!message)
            break;
        const Handover h = m_transport.send(*message);
        if (h.outcome == Handover::Sent) {
            m_queue.delivered(message->id);
            ++delivered;
        } else if (h.outcome == Handover::Refused) {
            m_queue.refused(message->id, h.why);
            log(QStringLiteral("mail %1 to %2 refused, not tried again: %3").arg(message->id).arg(message->mail.to, h.why));
        } else {
            m_queue.notDelivered(message->id, h.why);
            log(QStringLiteral("mail %1 to %2 not delivered (try %3), kept for later: %4")
                    .arg(message->id).arg(message->mail.to).arg(message->attempts).arg(h.why));
            if (h.outcome == Handover::Unreachable)
                break;
        }
    }
    return delivered;
}

void MailDelivery::queued()
{
    if (m_transport.handsOverAtOnce()) {
        deliverDue();
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    m_wake.notify_one();
}

void MailDelivery::start()
{
    m_thread = std::thread([this] { loop(); });
}

void MailDelivery::loop()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_woken = false;
        lock.unlock();
        try {
            deliverDue();
        } catch (const std::exception &e) {
            log(QStringLiteral("mail delivery: %1").arg(QString::fromLocal8Bit(e.what())));
        }
        lock.lock();
        m_wake.wait_for(lock, kRoundEvery, [this] { return m_stopping || m_woken; });
    }
}

} // namespace alertserver
