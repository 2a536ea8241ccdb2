#include "server/mail/SmtpClient.h"

#include "server/mail/SmtpChannel.h"
#include "server/store/MailQueue.h"

#include <QFile>

#include <openssl/ssl.h>

#include <unistd.h>

namespace alertserver {

using namespace std::chrono;

static_assert(milliseconds(SmtpClient::Timeouts{}.message).count() <= MailQueue::kClaimSeconds * 1000 / 2,
              "a message is sent well within the store's claim on it");

namespace {

bool hasExtension(const QList<QByteArray> &extensions, const QByteArray &keyword)
{
    return std::any_of(extensions.cbegin(), extensions.cend(), [&](const QByteArray &line) {
        return line == keyword || line.startsWith(keyword + ' ') || line.startsWith(keyword + '=');
    });
}

} // namespace

struct SmtpClient::Reply
{
    int code = 0;
    QList<QByteArray> lines;

    // For the log and the queue: the relay's words, control characters blanked.
    QString text() const
    {
        QString out = QString::number(code);
        for (const QByteArray &line : lines)
            out += u' ' + QString::fromUtf8(line).left(200);
        for (QChar &c : out)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                c = u' ';
        return out.left(500);
    }
};

SmtpClient::SmtpClient(SmtpRelay relay)
    : m_relay(std::move(relay))
{
    m_tls = SSL_CTX_new(TLS_client_method());
    if (!m_tls) {
        m_tlsError = QStringLiteral("cannot set up TLS: %1").arg(SmtpChannel::tlsError());
        return;
    }
    SSL_CTX_set_min_proto_version(m_tls, TLS1_2_VERSION);
    const bool loaded = m_relay.caFile.isEmpty()
        ? SSL_CTX_set_default_verify_paths(m_tls) == 1
        : SSL_CTX_load_verify_locations(m_tls, QFile::encodeName(m_relay.caFile).constData(), nullptr) == 1;
    if (!loaded)
        m_tlsError = QStringLiteral("cannot read the certificates in %1: %2")
                         .arg(m_relay.caFile.isEmpty() ? QStringLiteral("the system's store") : m_relay.caFile, SmtpChannel::tlsError());
}

SmtpClient::~SmtpClient()
{
    close();
    SSL_CTX_free(m_tls);
}

bool SmtpClient::ready(QString *error) const
{
    *error = m_tlsError;
    return m_tlsError.isEmpty();
}

SmtpClient::Deadline SmtpClient::step(milliseconds timeout, Deadline whole) const
{
    return std::min(whole, steady_clock::now() + timeout);
}

void SmtpClient::close()
{
    m_channel.reset();
}

bool SmtpClient::readReply(Reply *reply, Deadline d, QString *why)
{
    reply->lines.clear();
    for (;;) {
        QByteArray line;
        if (!m_channel->readLine(&line, d, why))
            return false;
        const bool numbered = line.size() >= 3 && std::all_of(line.cbegin(), line.cbegin() + 3, [](char c) { return c >= '0' && c <= '9'; });
        if (!numbered || (line.size() > 3 && line[3] != ' ' && line[3] != '-') || reply->lines.size() >= 100) {
            *why = QStringLiteral("the relay's answer is not SMTP");
            return false;
        }
        reply->code = line.left(3).toInt();
        reply->lines.append(line.mid(4));
        if (line.size() == 3 || line[3] == ' ')
            return true;
    }
}

bool SmtpClient::command(const QByteArray &line, Reply *reply, Deadline d, QString *why)
{
    return m_channel->write(line + "\r\n", d, why) && readReply(reply, d, why);
}

bool SmtpClient::hello(QList<QByteArray> *extensions, Deadline d, QString *why)
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    QByteArray name(host);
    const bool usable = name.contains('.') && std::all_of(name.cbegin(), name.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
    if (!usable)
        name = m_channel->localLiteral();
    Reply r;
    if (!command("EHLO " + name, &r, d, why))
        return false;
    extensions->clear();
    if (r.code == 250) {
        for (const QByteArray &line : r.lines.mid(1))
            extensions->append(line.toUpper());
        return true;
    }
    // A relay from before the extensions.
    if (r.code >= 500 && command("HELO " + name, &r, d, why) && r.code == 250)
        return true;
    if (why->isEmpty())
        *why = QStringLiteral("the relay refused our greeting: %1").arg(r.text());
    return false;
}

bool SmtpClient::authenticate(const QList<QByteArray> &extensions, Deadline d, QString *why)
{
    QList<QByteArray> mechanisms;
    for (const QByteArray &line : extensions)
        if (line.startsWith("AUTH ") || line.startsWith("AUTH="))
            mechanisms += line.mid(5).split(' ');
    const QByteArray user = m_relay.user.toUtf8();
    const QByteArray password = m_relay.password.toUtf8();
    Reply r;
    if (mechanisms.contains("PLAIN")) {
        if (!command("AUTH PLAIN " + (QByteArray(1, '\0') + user + QByteArray(1, '\0') + password).toBase64(), &r, d, why))
            return false;
    } else if (mechanisms.contains("LOGIN")) {
        if (!command("AUTH LOGIN", &r, d, why) || (r.code == 334 && !command(user.toBase64(), &r, d, why))
            || (r.code == 334 && !command(password.toBase64(), &r, d, why)))
            return false;
    } else {
        *why = mechanisms.isEmpty() ? QStringLiteral("the relay offers no AUTH for the credentials")
                                    : QStringLiteral("the relay offers neither AUTH PLAIN nor AUTH LOGIN");
        return false;
    }
    if (r.code == 235)
        return true;
    *why = QStringLiteral("the relay refused the credentials: %1").arg(r.text());
    return false;
}

bool SmtpClient::open(Deadline whole, QString *why)
{
    m_channel = std::make_unique<SmtpChannel>(stopSignal());
    if (!m_channel->connect(m_relay, step(m_timeouts.connect, whole), why))
        return false;
    if (m_relay.implicitTls && !m_channel->startTls(m_tls, m_relay.host, true, step(m_timeouts.reply, whole), why))
        return false;
    Reply r;
    if (!readReply(&r, step(m_timeouts.reply, whole), why))
        return false;
    if (r.code != 220) {
        *why = QStringLiteral("the relay turned us away: %1").arg(r.text());
        return false;
    }
    QList<QByteArray> extensions;
    if (!hello(&extensions, step(m_timeouts.reply, whole), why))
        return false;
    const bool tlsRequired = m_relay.implicitTls || !m_relay.user.isEmpty() || !m_relay.caFile.isEmpty();
    if (!m_channel->encrypted() && hasExtension(extensions, "STARTTLS")) {
        if (!command("STARTTLS", &r, step(m_timeouts.reply, whole), why))
            return false;
        if (r.code != 220) {
            *why = QStringLiteral("STARTTLS: %1").arg(r.text());
            return false;
        }
        // Whatever came with the answer was sent before TLS, by anyone on the way.
        if (m_channel->hasUnread()) {
            *why = QStringLiteral("the relay sent more than its answer to STARTTLS");
            return false;
        }
        if (!m_channel->startTls(m_tls, m_relay.host, tlsRequired, step(m_timeouts.reply, whole), why)
            || !hello(&extensions, step(m_timeouts.reply, whole), why))
            return false;
    }
    if (tlsRequired && !m_channel->encrypted()) {
        *why = QStringLiteral("the relay offers no STARTTLS, and %1 only over TLS")
                   .arg(m_relay.user.isEmpty() ? QStringLiteral("--mail-ca asks for mail") : QStringLiteral("credentials go"));
        return false;
    }
    if (!m_relay.user.isEmpty() && !authenticate(extensions, step(m_timeouts.reply, whole), why))
        return false;
    m_eightBit = hasExtension(extensions, "8BITMIME");
    return true;
}

Handover SmtpClient::turnedDown(const Reply &reply, const char *step, Deadline d)
{
    const QString why = QStringLiteral("%1: %2").arg(QLatin1String(step), reply.text());
    Reply reset;
    QString ignored;
    // The next message starts afresh on the same connection.
    if (reply.code == 421 || !command("RSET", &reset, d, &ignored) || reset.code != 250)
        close();
    return {reply.code >= 500 && reply.code < 600 ? Handover::Refused : Handover::TryLater, why};
}

Handover SmtpClient::send(const QueuedMail &message)
{
    const Deadline whole = steady_clock::now() + m_timeouts.message;
    const QString &to = message.mail.to;
    if (!mailmessage::isPlainAddress(to))
        return {Handover::Refused, QStringLiteral("%1 is no address SMTP can carry").arg(to)};
    if (!m_tls)
        return {Handover::Unreachable, m_tlsError};
    for (int attempt = 0;; ++attempt) {
        const bool kept = m_channel != nullptr;
        QString why;
        if (!kept && !open(whole, &why)) {
            close();
            return {Handover::Unreachable, why};
        }
        const QByteArray bytes = mailmessage::render(message, sender(), m_eightBit);
        const bool eightBit = std::any_of(bytes.cbegin(), bytes.cend(), [](char c) { return quint8(c) >= 0x80; });
        Reply r;
        if (!command("MAIL FROM:<" + sender().toLatin1() + '>' + (eightBit ? " BODY=8BITMIME" : ""), &r,
                     step(m_timeouts.reply, whole), &why)) {
            close();
            if (kept && attempt == 0)
                continue; // the relay had hung up the connection kept from the message before
            return {Handover::TryLater, why};
        }
        if (r.code != 250)
            return turnedDown(r, "MAIL FROM", step(m_timeouts.reply, whole));
        if (!command("RCPT TO:<" + to.toLatin1() + '>', &r, step(m_timeouts.reply, whole), &why)) {
            close();
            return {Handover::TryLater, why};
        }
        if (r.code != 250 && r.code != 251)
            return turnedDown(r, "RCPT TO", step(m_timeouts.reply, whole));
        if (!command("DATA", &r, step(m_timeouts.reply, whole), &why)) {
            close();
            return {Handover::TryLater, why};
        }
        if (r.code != 354)
            return turnedDown(r, "DATA", step(m_timeouts.reply, whole));
        // Lost here, after the message went out, the relay may have kept it:
        // trying again may then deliver it twice, which beats losing it.
        if (!m_channel->write(mailmessage::forData(bytes), step(m_timeouts.dataEnd, whole), &why)
            || !readReply(&r, step(m_timeouts.dataEnd, whole), &why)) {
            close();
            return {Handover::TryLater, why};
        }
        if (r.code != 250)
            return turnedDown(r, "the message", step(m_timeouts.reply, whole));
        return {Handover::Sent, {}};
    }
}

void SmtpClient::endRound()
{
    if (!m_channel)
        return;
    Reply r;
    QString ignored;
    command("QUIT", &r, steady_clock::now() + seconds(5), &ignored);
    close();
}

} // namespace alertserver
