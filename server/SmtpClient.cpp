#include "SmtpClient.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace alertserver {

using namespace std::chrono;

static_assert(milliseconds(SmtpClient::Timeouts{}.message).count() <= Store::kMailClaimSeconds * 1000 / 2,
              "a message is sent well within the store's claim on it");

namespace {

QString systemError(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString tlsError()
{
    char text[256] = "unknown error";
    if (const unsigned long e = ERR_get_error())
        ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

bool isAddressLiteral(const QByteArray &host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.constData(), buffer) == 1 || ::inet_pton(AF_INET6, host.constData(), buffer) == 1;
}

// TLS writes go through write(2): a relay that hung up would raise SIGPIPE.
// It is held back while the TLS library works, and taken if it came.
class SigpipeHeld
{
public:
    SigpipeHeld()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_before);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE);
    }
    ~SigpipeHeld()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!m_wasPending && sigismember(&pending, SIGPIPE)) {
            const timespec none{};
            sigtimedwait(&m_pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &m_before, nullptr);
    }

private:
    sigset_t m_pipe, m_before;
    bool m_wasPending = false;
};

bool hasExtension(const QList<QByteArray> &extensions, const QByteArray &keyword)
{
    return std::any_of(extensions.cbegin(), extensions.cend(), [&](const QByteArray &line) {
        return line == keyword || line.startsWith(keyword + ' ') || line.startsWith(keyword + '=');
    });
}

} // namespace

// ---- the relay's address and credentials

std::optional<SmtpRelay> SmtpRelay::parse(const QString &url, QString *error)
{
    SmtpRelay relay;
    QString rest;
    if (url.startsWith(QLatin1String("smtps://"))) {
        relay.implicitTls = true;
        relay.port = 465;
        rest = url.mid(8);
    } else if (url.startsWith(QLatin1String("smtp://"))) {
        rest = url.mid(7);
    } else {
        *error = QStringLiteral("a relay is smtp://HOST:PORT or smtps://HOST:PORT");
        return std::nullopt;
    }
    if (rest.endsWith(u'/'))
        rest.chop(1);
    if (rest.contains(u'@')) {
        *error = QStringLiteral("the relay's address takes no credentials: put them into --mail-credentials FILE");
        return std::nullopt;
    }
    QString port;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        relay.host = rest.mid(1, close - 1);
        if (close < 0 || (close + 1 < rest.size() && rest[close + 1] != u':'))
            relay.host.clear();
        port = close >= 0 && close + 1 < rest.size() ? rest.mid(close + 2) : QString();
    } else {
        const qsizetype colon = rest.indexOf(u':');
        relay.host = rest.left(colon);
        port = colon < 0 ? QString() : rest.mid(colon + 1);
    }
    bool ok = true;
    if (!port.isEmpty() || rest.endsWith(u':')) {
        const int n = port.toInt(&ok);
        ok = ok && n > 0 && n <= 65535;
        relay.port = quint16(n);
    }
    const bool plainHost = !relay.host.isEmpty() && std::all_of(relay.host.cbegin(), relay.host.cend(), [](QChar c) {
        return (c.isLetterOrNumber() && c.unicode() < 0x80) || c == u'.' || c == u'-' || c == u':';
    });
    if (!ok || !plainHost) {
        *error = QStringLiteral("%1 is not a relay's address (smtp://HOST:PORT or smtps://HOST:PORT)").arg(url);
        return std::nullopt;
    }
    return relay;
}

bool SmtpRelay::readCredentials(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, systemError());
        return false;
    }
    struct stat st{};
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= 4096) {
        text.resize(qsizetype(st.st_size));
        if (::read(fd, text.data(), size_t(text.size())) != ssize_t(text.size()))
            text.clear();
    }
    ::close(fd);
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        *error = QStringLiteral("%1 holds a password: it must belong to the server's user and be readable by "
                                "no one else (chmod 600)").arg(path);
        return false;
    }
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    user = QString::fromUtf8(lines.value(0));
    password = QString::fromUtf8(lines.value(1));
    if (user.isEmpty() || password.isEmpty()) {
        *error = QStringLiteral("%1 wants the user name on its first line and the password on its second").arg(path);
        return false;
    }
    return true;
}

QString SmtpRelay::url() const
{
    const QString shown = host.contains(u':') ? u'[' + host + u']' : host;
    return QStringLiteral("%1://%2:%3").arg(implicitTls ? QStringLiteral("smtps") : QStringLiteral("smtp"), shown).arg(port);
}

// ---- one connection, in clear text or TLS, every wait bounded

class SmtpClient::Channel
{
public:
    explicit Channel(int stopFd)
        : m_stopFd(stopFd)
    {
    }
    ~Channel()
    {
        if (m_ssl) {
            SigpipeHeld held;
            SSL_shutdown(m_ssl);
            SSL_free(m_ssl);
        }
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool connect(const SmtpRelay &relay, Deadline d, QString *error)
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const int lookup = ::getaddrinfo(relay.host.toUtf8().constData(), QByteArray::number(relay.port).constData(),
                                         &hints, &found);
        if (lookup != 0) {
            *error = QStringLiteral("cannot find %1: %2").arg(relay.host, QString::fromLocal8Bit(gai_strerror(lookup)));
            return false;
        }
        QString last;
        for (addrinfo *a = found; a && m_fd < 0; a = a->ai_next) {
            m_fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (m_fd < 0)
                continue;
            int problem = ::connect(m_fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
            if (problem == EINPROGRESS) {
                socklen_t size = sizeof problem;
                problem = wait(POLLOUT, d, &last) && ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &problem, &size) == 0
                    ? problem : ETIMEDOUT;
            }
            if (problem != 0) {
                if (last.isEmpty() || problem != ETIMEDOUT)
                    last = systemError(problem);
                ::close(m_fd);
                m_fd = -1;
            }
        }
        ::freeaddrinfo(found);
        if (m_fd < 0)
            *error = QStringLiteral("cannot reach %1: %2").arg(relay.url(), last);
        return m_fd >= 0;
    }

    bool startTls(SSL_CTX *context, const QString &host, bool verify, Deadline d, QString *error)
    {
        SigpipeHeld held;
        ERR_clear_error();
        m_ssl = SSL_new(context);
        SSL_set_fd(m_ssl, m_fd);
        const QByteArray name = host.toUtf8();
        const bool literal = isAddressLiteral(name);
        if (!literal)
            SSL_set_tlsext_host_name(m_ssl, name.constData());
        SSL_set_verify(m_ssl, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
        if (verify) {
            X509_VERIFY_PARAM *check = SSL_get0_param(m_ssl);
            if (literal)
                X509_VERIFY_PARAM_set1_ip_asc(check, name.constData());
            else
                X509_VERIFY_PARAM_set1_host(check, name.constData(), size_t(name.size()));
        }
        for (;;) {
            const int done = SSL_connect(m_ssl);
            if (done == 1)
                return true;
            const int why = SSL_get_error(m_ssl, done);
            if ((why == SSL_ERROR_WANT_READ && wait(POLLIN, d, error)) || (why == SSL_ERROR_WANT_WRITE && wait(POLLOUT, d, error)))
                continue;
            if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE)
                return false;
            const long checked = SSL_get_verify_result(m_ssl);
            *error = verify && checked != X509_V_OK
                ? QStringLiteral("the relay's certificate is not trusted: %1").arg(QString::fromLatin1(X509_verify_cert_error_string(checked)))
                : QStringLiteral("TLS with the relay failed: %1").arg(tlsError());
            return false;
        }
    }

    bool write(const QByteArray &bytes, Deadline d, QString *error)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const auto [n, event] = m_ssl ? tlsCall([&] { return SSL_write(m_ssl, bytes.constData() + done, int(bytes.size() - done)); })
                                          : plainCall(::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL), POLLOUT);
            if (n > 0)
                done += n;
            else if (event == 0 || !wait(event, d, error))
                return failed(error);
        }
        return true;
    }

    bool readLine(QByteArray *line, Deadline d, QString *error)
    {
        for (;;) {
            const qsizetype end = m_in.indexOf('\n');
            if (end >= 0) {
                *line = m_in.left(end);
                m_in.remove(0, end + 1);
                if (line->endsWith('\r'))
                    line->chop(1);
                return true;
            }
            if (m_in.size() > 4096) {
                *error = QStringLiteral("the relay sent a line longer than 4 KiB");
                return false;
            }
            char buffer[4096];
            const auto [n, event] = m_ssl ? tlsCall([&] { return SSL_read(m_ssl, buffer, sizeof buffer); })
                                          : plainCall(::recv(m_fd, buffer, sizeof buffer, 0), POLLIN);
            if (n > 0)
                m_in.append(buffer, n);
            else if (event == 0 || !wait(event, d, error))
                return failed(error);
        }
    }

    // Bytes that arrived before they were asked for.
    bool hasUnread() const { return !m_in.isEmpty(); }
    bool encrypted() const { return m_ssl != nullptr; }

    // Our end of the connection as an address literal, for EHLO.
    QByteArray localLiteral() const
    {
        sockaddr_storage me{};
        socklen_t size = sizeof me;
        char text[INET6_ADDRSTRLEN] = "127.0.0.1";
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&me), &size);
        if (me.ss_family == AF_INET6) {
            ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&me)->sin6_addr, text, sizeof text);
            return "[IPv6:" + QByteArray(text) + ']';
        }
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&me)->sin_addr, text, sizeof text);
        return '[' + QByteArray(text) + ']';
    }

private:
    // The bytes moved, or 0 and the event to wait for (0: the connection is gone).
    struct Step
    {
        qsizetype bytes;
        short event;
    };

    template <typename Call>
    Step tlsCall(Call call)
    {
        SigpipeHeld held;
        const int n = call();
        if (n > 0)
            return {n, 0};
        const int why = SSL_get_error(m_ssl, n);
        m_lastError = why == SSL_ERROR_ZERO_RETURN ? QString() : tlsError();
        return {0, short(why == SSL_ERROR_WANT_READ ? POLLIN : why == SSL_ERROR_WANT_WRITE ? POLLOUT : 0)};
    }

    Step plainCall(ssize_t n, short event)
    {
        if (n > 0)
            return {n, 0};
        const bool again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        m_lastError = n < 0 && !again ? systemError() : QString();
        return {0, again ? event : short(0)};
    }

    bool failed(QString *error)
    {
        if (error->isEmpty())
            *error = m_lastError.isEmpty() ? QStringLiteral("the relay closed the connection")
                                           : QStringLiteral("the connection to the relay failed: %1").arg(m_lastError);
        return false;
    }

    bool wait(short events, Deadline d, QString *error)
    {
        for (;;) {
            const qint64 left = duration_cast<milliseconds>(d - steady_clock::now()).count();
            if (left <= 0) {
                *error = QStringLiteral("the relay did not answer in time");
                return false;
            }
            pollfd p[2] = {{m_fd, events, 0}, {m_stopFd, POLLIN, 0}};
            const int n = ::poll(p, m_stopFd >= 0 ? 2 : 1, int(std::min<qint64>(left, INT_MAX)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *error = systemError();
                return false;
            }
            if (m_stopFd >= 0 && (p[1].revents & POLLIN)) {
                *error = QStringLiteral("the server is stopping");
                return false;
            }
            if (n > 0)
                return true;
        }
    }

    int m_fd = -1;
    int m_stopFd;
    SSL *m_ssl = nullptr;
    QByteArray m_in;
    QString m_lastError;
};

// ---- the conversation

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
        m_tlsError = QStringLiteral("cannot set up TLS: %1").arg(tlsError());
        return;
    }
    SSL_CTX_set_min_proto_version(m_tls, TLS1_2_VERSION);
    const bool loaded = m_relay.caFile.isEmpty()
        ? SSL_CTX_set_default_verify_paths(m_tls) == 1
        : SSL_CTX_load_verify_locations(m_tls, QFile::encodeName(m_relay.caFile).constData(), nullptr) == 1;
    if (!loaded)
        m_tlsError = QStringLiteral("cannot read the certificates in %1: %2")
                         .arg(m_relay.caFile.isEmpty() ? QStringLiteral("the system's store") : m_relay.caFile, tlsError());
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
    m_channel = std::make_unique<Channel>(stopSignal());
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
