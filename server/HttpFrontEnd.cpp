#include "HttpFrontEnd.h"

#include "AlertService.h"
#include "Markup.h"

#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

namespace alertserver {

namespace {

// Clients open a new connection for every request, many at once: the
// library's listen queue of 5 would drop connection attempts under load, and
// a dropped SYN costs the client a whole second.
constexpr int kListenBacklog = 1024;

std::mutex g_logMutex;

using Clock = std::chrono::steady_clock;

Clock::duration fromTimeval(time_t sec, time_t usec)
{
    return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
}

// When the connection the calling worker is about to serve was accepted.
thread_local std::optional<Clock::time_point> t_acceptedAt;

// The library's worker pool, noting when each connection was handed over.
// The library queues a connection right after accepting it, so a connection
// that waited in the queue behind slow callers has used up that part of its
// deadline already and does not keep a worker for a whole deadline more.
class StampingPool final : public httplib::TaskQueue
{
public:
    explicit StampingPool(size_t workers) : m_pool(workers) {}

    void enqueue(std::function<void()> serve) override
    {
        m_pool.enqueue([serve = std::move(serve), accepted = Clock::now()] {
            t_acceptedAt = accepted;
            serve();
            t_acceptedAt.reset();
        });
    }
    void shutdown() override { m_pool.shutdown(); }
    void on_idle() override { m_pool.on_idle(); }

private:
    httplib::ThreadPool m_pool;
};

void socketAddress(int (*query)(int, sockaddr *, socklen_t *), socket_t sock, std::string &ip, int &port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (query(sock, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
        ip = host;
}

// One connection's socket as the library reads and writes it. Every wait is
// cut short at the connection's deadline, or when the server stops (its stop
// descriptor becomes readable), after which reads and writes fail at once:
// the library then gives up on the request and the worker is free.
class DeadlineStream final : public httplib::Stream
{
public:
    DeadlineStream(socket_t sock, int stopFd, Clock::time_point deadline, Clock::duration readTimeout,
                   Clock::duration writeTimeout)
        : m_sock(sock), m_stopFd(stopFd), m_deadline(deadline), m_readTimeout(readTimeout),
          m_writeTimeout(writeTimeout)
    {
    }

    bool is_readable() const override { return m_next < m_end || waitFor(POLLIN, m_readTimeout); }
    bool is_writable() const override { return waitFor(POLLOUT, m_writeTimeout); }

    // The library reads the head a byte at a time: that comes from a buffer.
    ssize_t read(char *data, size_t size) override
    {
        if (m_next == m_end) {
            if (!is_readable())
                return -1;
            if (size >= m_buffer.size())
                return receive(data, size);
            const ssize_t n = receive(m_buffer.data(), m_buffer.size());
            if (n <= 0)
                return n;
            m_next = 0;
            m_end = size_t(n);
        }
        const size_t n = std::min(size, m_end - m_next);
        std::memcpy(data, m_buffer.data() + m_next, n);
        m_next += n;
        return ssize_t(n);
    }

    ssize_t write(const char *data, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n;
        do
            n = ::send(m_sock, data, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { socketAddress(::getpeername, m_sock, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { socketAddress(::getsockname, m_sock, ip, port); }
    socket_t socket() const override { return m_sock; }

    // Waits up to `idle` for the next request of a kept-alive connection.
    bool waitForRequest(Clock::duration idle) const { return m_next < m_end || waitFor(POLLIN, idle); }

private:
    bool waitFor(short events, Clock::duration timeout) const
    {
        const Clock::time_point until = std::min(Clock::now() + timeout, m_deadline);
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p[2] = {{m_sock, events, 0}, {m_stopFd, POLLIN, 0}};
            const int ready = ::poll(p, m_stopFd >= 0 ? 2 : 1, int(left));
            if (ready > 0)
                return p[1].revents == 0; // a hang-up or error too: the read or write that follows reports it
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }

    ssize_t receive(char *data, size_t size)
    {
        ssize_t n;
        do
            n = ::recv(m_sock, data, size, 0);
        while (n < 0 && errno == EINTR);
        return n;
    }

    const socket_t m_sock;
    const int m_stopFd;
    const Clock::time_point m_deadline;
    const Clock::duration m_readTimeout;
    const Clock::duration m_writeTimeout;
    std::array<char, 4096> m_buffer;
    size_t m_next = 0;
    size_t m_end = 0;
};

} // namespace

class HttpFrontEnd::Server : public httplib::Server
{
public:
    // Setting the backlog again on a listening socket only changes its length.
    void widenListenQueue() { ::listen(svr_sock_, kListenBacklog); }

    Server() : m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Server() override
    {
        if (m_stopFd >= 0)
            ::close(m_stopFd);
    }

    // Wakes every connection waiting on its caller, for good: stop() waits
    // for the workers, and a caller that sends slowly must not hold it up
    // until its deadline.
    void cutConnections()
    {
        if (m_stopFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_stopFd, &one, sizeof one);
        }
    }

    std::atomic<std::chrono::milliseconds::rep> deadlineMs{kDefaultConnectionDeadline.count()};

private:
    // The library's own version of this bounds only each single read and
    // write. This one serves the connection through a DeadlineStream and
    // otherwise does the same: requests while the connection is kept alive
    // and the server runs, then an orderly close.
    bool process_and_close_socket(socket_t sock) override
    {
        const Clock::time_point accepted = t_acceptedAt.value_or(Clock::now());
        DeadlineStream stream(sock, m_stopFd, accepted + std::chrono::milliseconds(deadlineMs.load()),
                              fromTimeval(read_timeout_sec_, read_timeout_usec_),
                              fromTimeval(write_timeout_sec_, write_timeout_usec_));
        bool ok = false;
        for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
            if (!stream.waitForRequest(std::chrono::seconds(keep_alive_timeout_sec_)))
                break;
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed)
                break;
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    const int m_stopFd;
};

HttpFrontEnd::HttpFrontEnd(AlertService &service, int threads, bool logRequests)
    : m_server(std::make_unique<Server>())
{
    Server &s = *m_server;
    const size_t workers = size_t(std::max(1, threads));
    s.new_task_queue = [workers] { return new StampingPool(workers); };
    s.set_tcp_nodelay(true);
    // The library's default also sets SO_REUSEPORT, which would let a second
    // server start on a port in use and quietly take half of its requests.
    s.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // One request per connection: a worker never sits idle on a kept-alive
    // browser connection while polls wait for a free worker. The programs
    // open a connection per request anyway.
    s.set_keep_alive_max_count(1);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(10, 0);
    s.set_payload_max_length(size_t(limits::kMaxBodyBytes) + 1);

    auto serve = [&service](const httplib::Request &req, httplib::Response &res, QByteArray body) {
        HttpRequest r;
        r.method = QByteArray::fromStdString(req.method);
        r.target = QByteArray::fromStdString(req.target);
        r.host = QByteArray::fromStdString(req.get_header_value("Host"));
        r.body = std::move(body);
        r.peer = QByteArray::fromStdString(req.remote_addr);
        for (const auto &[key, value] : req.headers)
            r.headers.append({QByteArray::fromStdString(key), QByteArray::fromStdString(value)});
        const HttpReply reply = service.handle(r);
        res.status = reply.status;
        res.set_content(reply.body.constData(), size_t(reply.body.size()), reply.contentType.constData());
    };

    // GET (and anything else without a body) is answered before the library
    // does its own routing, so our router sees the raw target.
    s.set_pre_routing_handler([serve](const httplib::Request &req, httplib::Response &res) {
        if (req.method == "POST")
            return httplib::Server::HandlerResponse::Unhandled;
        serve(req, res, {});
        return httplib::Server::HandlerResponse::Handled;
    });
    // POST bodies are read here rather than by the library, which would cap
    // form bodies at 8 KiB and parse them its own way.
    s.Post(".*", [serve](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
        QByteArray body;
        bool tooLarge = false;
        reader([&](const char *data, size_t length) {
            if (size_t(body.size()) + length > size_t(limits::kMaxBodyBytes)) {
                tooLarge = true;
                return false;
            }
            body.append(data, qsizetype(length));
            return true;
        });
        if (tooLarge) {
            const QByteArray reply = errorReply(QStringLiteral("request body too large"));
            res.status = 413;
            res.set_header("Connection", "close");
            res.set_content(reply.constData(), size_t(reply.size()), "text/xml; charset=UTF-8");
            return;
        }
        serve(req, res, std::move(body));
    });
    // Whatever the library refuses by itself (bad request line, unknown
    // method, oversized head) still gets a well-formed reply.
    s.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty())
            return;
        const QByteArray reply = errorReply(QStringLiteral("request refused (HTTP %1)").arg(res.status));
        res.set_content(reply.constData(), size_t(reply.size()), "text/xml; charset=UTF-8");
    });
    s.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        const QByteArray reply = errorReply(QStringLiteral("server error"));
        res.status = 500;
        res.set_content(reply.constData(), size_t(reply.size()), "text/xml; charset=UTF-8");
    });
    if (logRequests) {
        s.set_logger([](const httplib::Request &req, const httplib::Response &res) {
            std::lock_guard lock(g_logMutex);
            std::fprintf(stderr, "alertserver: %s %s %s -> %d\n", req.remote_addr.c_str(), req.method.c_str(),
                         AlertService::loggableTarget(QByteArray::fromStdString(req.target)).constData(), res.status);
        });
    }
}

HttpFrontEnd::~HttpFrontEnd()
{
    stop();
}

void HttpFrontEnd::setConnectionDeadline(std::chrono::milliseconds deadline)
{
    m_server->deadlineMs = std::max<std::chrono::milliseconds::rep>(1, deadline.count());
}

bool HttpFrontEnd::bind(const QString &host, int port, QString *error)
{
    const std::string h = host.toStdString();
    if (port == 0) {
        m_port = m_server->bind_to_any_port(h);
    } else {
        m_port = m_server->bind_to_port(h, port) ? port : -1;
    }
    if (m_port <= 0) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2").arg(host).arg(port);
        m_port = 0;
        return false;
    }
    m_server->widenListenQueue();
    return true;
}

void HttpFrontEnd::start()
{
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() only reaches a server that has begun listening: wait for that,
    // so a stop right after start cannot be lost.
    for (int i = 0; i < 5000 && !m_server->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpFrontEnd::run()
{
    m_server->listen_after_bind();
}

void HttpFrontEnd::stop()
{
    m_server->cutConnections();
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace alertserver
