#include "HttpFrontEnd.h"

#include "AlertService.h"
#include "Markup.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cstdio>
#include <mutex>

namespace alertserver {

namespace {

// Clients open a new connection for every request, many at once: the
// library's listen queue of 5 would drop connection attempts under load, and
// a dropped SYN costs the client a whole second.
constexpr int kListenBacklog = 1024;

bool isLoopback(const std::string &address)
{
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

std::mutex g_logMutex;

} // namespace

class HttpFrontEnd::Server : public httplib::Server
{
public:
    // Setting the backlog again on a listening socket only changes its length.
    void widenListenQueue() { ::listen(svr_sock_, kListenBacklog); }
};

HttpFrontEnd::HttpFrontEnd(AlertService &service, int threads, bool logRequests)
    : m_server(std::make_unique<Server>())
{
    Server &s = *m_server;
    const size_t workers = size_t(std::max(1, threads));
    s.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
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
        r.fromLoopback = isLoopback(req.remote_addr);
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
                         req.target.c_str(), res.status);
        });
    }
}

HttpFrontEnd::~HttpFrontEnd()
{
    stop();
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
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace alertserver
