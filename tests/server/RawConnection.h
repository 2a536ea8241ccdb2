#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace servertest {

// A blocking loopback connection with a receive time-out, for bytes that no
// well-behaved client would send. `from` picks the caller's own address
// within 127.0.0.0/8 (127.0.0.2 plays a second machine).
class RawConnection
{
public:
    explicit RawConnection(int port, int receiveTimeoutMs = 15000, const char *from = nullptr)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{receiveTimeoutMs / 1000, (receiveTimeoutMs % 1000) * 1000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            if (::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
                return;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RawConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool connected() const { return m_connected; }
    int descriptor() const { return m_fd; }
    bool send(const QByteArray &bytes)
    {
        if (bytes.startsWith("HEAD ") || bytes.startsWith("GET ") || bytes.startsWith("POST "))
            m_lastWasHead = bytes.startsWith("HEAD ");
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    // One reply (after any "100 Continue"), read by its Content-Length, or
    // everything until the server closes or the time-out passes.
    QByteArray receiveAll()
    {
        QByteArray all;
        char buffer[4096];
        for (;;) {
            if (complete(all))
                return all;
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return all;
            all.append(buffer, n);
        }
    }
    // Whether the server has closed the connection, waiting up to `ms` for it.
    bool closedByServer(int ms)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    // Ends the sending side only: the server reads the end of the request.
    void halfClose() { ::shutdown(m_fd, SHUT_WR); }
    // Closes with a reset rather than an orderly end.
    void reset()
    {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(m_fd);
        m_fd = -1;
    }

    // Whether `reply` holds one whole reply (after any "100 Continue"), by its
    // Content-Length; a reply to HEAD ends with its head.
    static bool completeReply(const QByteArray &reply, bool toHead = false)
    {
        qsizetype start = 0;
        while (reply.mid(start, 12) == "HTTP/1.1 100") {
            const qsizetype end = reply.indexOf("\r\n\r\n", start);
            if (end < 0)
                return false;
            start = end + 4;
        }
        const qsizetype end = reply.indexOf("\r\n\r\n", start);
        if (end < 0)
            return false;
        if (toHead)
            return true;
        const QByteArray head = reply.mid(start, end - start).toLower();
        const qsizetype field = head.indexOf("\r\ncontent-length:");
        if (field < 0)
            return false;
        const qsizetype lineEnd = head.indexOf("\r\n", field + 2);
        const qint64 length = head.mid(field + 17, lineEnd < 0 ? -1 : lineEnd - field - 17).trimmed().toLongLong();
        return reply.size() - (end + 4) >= length;
    }

private:
    bool complete(const QByteArray &reply) const { return completeReply(reply, m_lastWasHead); }

    int m_fd = -1;
    bool m_connected = false;
    bool m_lastWasHead = false;
};

// A whole exchange: sends the bytes and answers everything the server sent back.
inline QByteArray exchange(int port, const QByteArray &request, const char *from = nullptr)
{
    RawConnection c(port, 15000, from);
    if (!c.connected() || !c.send(request))
        return {};
    return c.receiveAll();
}

// The body of a raw reply.
inline QByteArray bodyOf(const QByteArray &reply)
{
    const qsizetype end = reply.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : reply.mid(end + 4);
}

} // namespace servertest
