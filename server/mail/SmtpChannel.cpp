#include "server/mail/SmtpChannel.h"

#include "server/mail/SmtpRelay.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace alertserver {

using namespace std::chrono;

namespace {

QString systemError(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
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

} // namespace

QString SmtpChannel::tlsError()
{
    char text[256] = "unknown error";
    if (const unsigned long e = ERR_get_error())
        ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

SmtpChannel::SmtpChannel(int stopFd)
    : m_stopFd(stopFd)
{
}

SmtpChannel::~SmtpChannel()
{
    if (m_ssl) {
        SigpipeHeld held;
        SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
    }
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SmtpChannel::connect(const SmtpRelay &relay, Deadline d, QString *error)
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

bool SmtpChannel::startTls(SSL_CTX *context, const QString &host, bool verify, Deadline d, QString *error)
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

bool SmtpChannel::write(const QByteArray &bytes, Deadline d, QString *error)
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

bool SmtpChannel::readLine(QByteArray *line, Deadline d, QString *error)
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

QByteArray SmtpChannel::localLiteral() const
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

template <typename Call>
SmtpChannel::Step SmtpChannel::tlsCall(Call call)
{
    SigpipeHeld held;
    const int n = call();
    if (n > 0)
        return {n, 0};
    const int why = SSL_get_error(m_ssl, n);
    m_lastError = why == SSL_ERROR_ZERO_RETURN ? QString() : tlsError();
    return {0, short(why == SSL_ERROR_WANT_READ ? POLLIN : why == SSL_ERROR_WANT_WRITE ? POLLOUT : 0)};
}

SmtpChannel::Step SmtpChannel::plainCall(ssize_t n, short event)
{
    if (n > 0)
        return {n, 0};
    const bool again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    m_lastError = n < 0 && !again ? systemError() : QString();
    return {0, again ? event : short(0)};
}

bool SmtpChannel::failed(QString *error)
{
    if (error->isEmpty())
        *error = m_lastError.isEmpty() ? QStringLiteral("the relay closed the connection")
                                       : QStringLiteral("the connection to the relay failed: %1").arg(m_lastError);
    return false;
}

bool SmtpChannel::wait(short events, Deadline d, QString *error)
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

} // namespace alertserver
