#include "server/http/HttpFrontEnd.h"

#include "server/http/Engine.h"
#include "server/http/Tls.h"
#include "server/web/Http.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

namespace alertserver {

namespace {

using error_code = boost::system::error_code;
using tcp = boost::asio::ip::tcp;

// Whole fleets connect at once after a restart: a short listen queue would
// drop connection attempts, and a dropped SYN costs the client a whole second.
constexpr int kListenBacklog = 1024;

// A bare function as a handler; its refusals are plain text.
class FunctionHandler final : public RequestHandler
{
public:
    explicit FunctionHandler(HttpFrontEnd::Handler handler) : m_handler(std::move(handler)) {}
    HttpReply handle(const HttpRequest &request) override { return m_handler(request); }
    HttpReply refusal(const QByteArray &, int status, const QString &why) const override
    {
        return {status, "text/plain; charset=UTF-8", why.toUtf8() + '\n'};
    }

private:
    HttpFrontEnd::Handler m_handler;
};

} // namespace

HttpFrontEnd::HttpFrontEnd(RequestHandler &handler, int threads, bool logRequests)
    : m_engine(std::make_unique<http::Engine>(handler, threads, logRequests))
{
}

HttpFrontEnd::HttpFrontEnd(Handler handler, int threads, bool logRequests)
    : m_ownHandler(std::make_unique<FunctionHandler>(std::move(handler))),
      m_engine(std::make_unique<http::Engine>(*m_ownHandler, threads, logRequests))
{
}

HttpFrontEnd::~HttpFrontEnd()
{
    stop();
}

bool HttpFrontEnd::useTls(const QString &certificateFile, const QString &keyFile, QString *error)
{
    auto context = http::serverTls(certificateFile, keyFile, m_engine->tickets, error);
    if (!context)
        return false;
    m_engine->setTls(std::move(context));
    m_certificateFile = certificateFile;
    m_keyFile = keyFile;
    return true;
}

bool HttpFrontEnd::usesTls() const
{
    return m_engine->currentTls() != nullptr;
}

bool HttpFrontEnd::reloadTls(QString *error)
{
    if (!usesTls()) {
        if (error)
            *error = QStringLiteral("the server does not use TLS");
        return false;
    }
    return useTls(m_certificateFile, m_keyFile, error);
}

void HttpFrontEnd::rotateTicketKeys()
{
    m_engine->tickets->rotate();
}

void HttpFrontEnd::whenResponsive(std::function<void()> alive)
{
    http::Engine &e = *m_engine;
    boost::asio::post(e.io, [&e, alive = std::move(alive)]() mutable {
        boost::asio::post(e.workers, [&e, alive = std::move(alive)]() mutable {
            boost::asio::post(e.io, std::move(alive));
        });
    });
}

bool HttpFrontEnd::setTrustedProxies(const QStringList &networks, QString *error)
{
    return m_engine->proxies.set(networks, error);
}

void HttpFrontEnd::setDeadlines(std::chrono::milliseconds head, std::chrono::milliseconds body)
{
    m_engine->headDeadline = std::max(head, std::chrono::milliseconds(1));
    m_engine->bodyDeadline = std::max(body, std::chrono::milliseconds(1));
}

void HttpFrontEnd::setKeepAlive(std::chrono::milliseconds idle, int requestsPerConnection)
{
    m_engine->idleTimeout = std::max(idle, std::chrono::milliseconds(1));
    m_engine->requestsPerConnection = std::max(1, requestsPerConnection);
}

void HttpFrontEnd::setConnectionCaps(int total, int pendingPerAddress, int pendingTotal)
{
    m_engine->admission.setCaps(total, pendingPerAddress, pendingTotal);
}

void HttpFrontEnd::setBodyBudget(qint64 bytes)
{
    m_engine->bodies.set(std::max<qint64>(0, bytes));
}

bool HttpFrontEnd::bind(const QString &host, int port, QString *error)
{
    http::Engine &e = *m_engine;
    error_code ec;
    tcp::resolver resolver(e.io);
    const auto found = resolver.resolve(host.toStdString(), std::to_string(port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (!ec && found.empty())
        ec = boost::asio::error::host_not_found;
    if (!ec) {
        const tcp::endpoint endpoint = *found.begin();
        e.acceptor.open(endpoint.protocol(), ec);
        // Address reuse lets a restart bind at once past connections still in
        // TIME_WAIT; port sharing stays off, so a second server cannot quietly
        // take half of the requests.
        if (!ec)
            e.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            e.acceptor.bind(endpoint, ec);
        if (!ec)
            e.acceptor.listen(kListenBacklog, ec);
        if (!ec)
            e.port = e.acceptor.local_endpoint(ec).port();
    }
    if (ec) {
        error_code ignored;
        e.acceptor.close(ignored);
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2 (%3)").arg(host).arg(port).arg(QString::fromStdString(ec.message()));
        e.port = 0;
        return false;
    }
    return true;
}

int HttpFrontEnd::port() const
{
    return m_engine->port;
}

bool HttpFrontEnd::listensOnEveryAddress() const
{
    error_code ec;
    const tcp::endpoint local = m_engine->acceptor.local_endpoint(ec);
    return !ec && local.address().is_unspecified();
}

int HttpFrontEnd::openConnections() const
{
    return m_engine->admission.open();
}

int HttpFrontEnd::pendingConnections() const
{
    return m_engine->admission.pending();
}

qint64 HttpFrontEnd::bodyBudgetLeft() const
{
    return m_engine->bodies.left();
}

void HttpFrontEnd::start()
{
    m_engine->start();
}

void HttpFrontEnd::stop()
{
    m_engine->stop();
}

} // namespace alertserver
