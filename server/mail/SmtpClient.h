#pragma once

#include "server/mail/MailTransport.h"
#include "server/mail/SmtpRelay.h"

#include <chrono>
#include <memory>
#include <optional>

struct ssl_ctx_st;

namespace alertserver {

class SmtpChannel;

// Delivers messages to an SMTP relay, one connection per round of the
// queue. TLS: smtps:// from the start; on smtp:// STARTTLS whenever the
// relay offers it. With credentials or a CA file TLS is required and the
// relay's certificate is checked against its name; credentials never travel
// in clear text. Without either, STARTTLS is used as offered and its
// certificate not checked: the offer itself came in clear text, so checking
// would stop no one who could remove it, and encryption still keeps
// listeners out. A 5xx to a message's MAIL, RCPT or DATA is a refusal; every
// other failure keeps the message for a later try.
class SmtpClient : public MailTransport
{
public:
    struct Timeouts
    {
        std::chrono::milliseconds connect{30000};
        std::chrono::milliseconds reply{60000};
        std::chrono::milliseconds dataEnd{120000}; // the answer to the message itself
        // Everything one message may take, connecting included. Well under
        // the store's claim, so that no other server takes the message over
        // while this one is still sending it.
        std::chrono::milliseconds message{300000};
    };

    explicit SmtpClient(SmtpRelay relay);
    ~SmtpClient() override;
    // False when the CA file cannot be read.
    bool ready(QString *error) const;
    void setTimeouts(const Timeouts &timeouts) { m_timeouts = timeouts; }

    Handover send(const QueuedMail &message) override;
    void endRound() override;
    QString describe() const override { return m_relay.url(); }

private:
    using Deadline = std::chrono::steady_clock::time_point;
    struct Reply;

    bool open(Deadline whole, QString *why);
    bool hello(QList<QByteArray> *extensions, Deadline d, QString *why);
    bool authenticate(const QList<QByteArray> &extensions, Deadline d, QString *why);
    bool command(const QByteArray &line, Reply *reply, Deadline d, QString *why);
    bool readReply(Reply *reply, Deadline d, QString *why);
    Handover turnedDown(const Reply &reply, const char *step, Deadline d);
    Deadline step(std::chrono::milliseconds timeout, Deadline whole) const;
    void close();

    SmtpRelay m_relay;
    Timeouts m_timeouts;
    ssl_ctx_st *m_tls = nullptr;
    QString m_tlsError;
    std::unique_ptr<SmtpChannel> m_channel;
    bool m_eightBit = false;
};

} // namespace alertserver
