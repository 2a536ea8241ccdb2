#include "HttpFrontEnd.h"

#include "AlertService.h"
#include "Markup.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace alertserver {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// Clients open a new connection for every request, many at once: a short
// listen queue would drop connection attempts under load, and a dropped SYN
// costs the client a whole second.
constexpr int kListenBacklog = 1024;
// How long a connection lingers after its reply (for the caller's end of
// the connection, or TLS's closing message), and how long a reply still
// being written gets once the server stops.
constexpr std::chrono::seconds kClosingGrace{2};

std::mutex g_logMutex;

void logRequest(const QByteArray &peer, const QByteArray &method, const QByteArray &target, int status)
{
    // Passwords and activation codes never reach the log.
    const QByteArray shown = AlertService::loggableTarget(target);
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "alertserver: %s %s %s -> %d\n", peer.isEmpty() ? "-" : peer.constData(),
                 method.isEmpty() ? "-" : method.constData(), shown.isEmpty() ? "-" : shown.constData(), status);
}

// ---- addresses

// IPv4 addresses as IPv6 ones (::ffff:a.b.c.d), so one comparison serves both.
net::ip::address_v6 widened(const net::ip::address &a)
{
    return a.is_v4() ? net::ip::make_address_v6(net::ip::v4_mapped, a.to_v4()) : a.to_v6();
}

// The other way round: a peer of a dual-stack socket reads as plain IPv4.
net::ip::address narrowed(const net::ip::address &a)
{
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
    return a;
}

struct Network
{
    net::ip::address_v6::bytes_type bytes;
    int prefix; // in bits of the widened address
};

bool inNetwork(const Network &n, const net::ip::address &a)
{
    const auto bytes = widened(a).to_bytes();
    int bits = n.prefix;
    for (size_t i = 0; bits > 0; ++i, bits -= 8) {
        const unsigned mask = bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu;
        if ((bytes[i] & mask) != (n.bytes[i] & mask))
            return false;
    }
    return true;
}

std::optional<net::ip::address> parseAddress(QByteArray text)
{
    text = text.trimmed();
    if (text.startsWith('[') && text.endsWith(']'))
        text = text.mid(1, text.size() - 2);
    error_code ec;
    const auto a = net::ip::make_address(text.toStdString(), ec);
    if (ec)
        return std::nullopt;
    return narrowed(a);
}

std::optional<Network> parseNetwork(const QString &text)
{
    const qsizetype slash = text.indexOf(u'/');
    const auto address = parseAddress((slash < 0 ? text : text.left(slash)).toLatin1());
    if (!address)
        return std::nullopt;
    const int width = address->is_v4() ? 32 : 128;
    int prefix = width;
    if (slash >= 0) {
        const QString bits = text.mid(slash + 1);
        bool ok = !bits.isEmpty() && std::all_of(bits.cbegin(), bits.cend(), [](QChar c) { return c.isDigit(); });
        prefix = ok ? bits.toInt(&ok) : -1;
        if (!ok || prefix > width)
            return std::nullopt;
    }
    return Network{widened(*address).to_bytes(), prefix + (address->is_v4() ? 96 : 0)};
}

QByteArray addressText(const net::ip::address &a)
{
    return QByteArray::fromStdString(a.to_string());
}

// ---- the request parser

// Reads a request straight into an HttpRequest: the method and target as
// sent, every field in order. The engine bounds the head and the body and
// checks the framing; this adds the cap on fields and notes what the
// framing rules below need.
class RequestParser final : public http::basic_parser<true>
{
public:
    explicit RequestParser(HttpRequest &request) : m_request(request)
    {
        header_limit(HttpFrontEnd::kMaxHeadBytes);
        body_limit(std::uint64_t(limits::kMaxBodyBytes));
    }

    bool transferEncoding() const { return m_transferEncoding; }
    bool expectsContinue() const { return m_expectContinue; }

private:
    void on_request_impl(http::verb, beast::string_view method, beast::string_view target, int,
                         error_code &) override
    {
        m_request.method = QByteArray(method.data(), qsizetype(method.size()));
        m_request.target = QByteArray(target.data(), qsizetype(target.size()));
    }

    void on_response_impl(int, beast::string_view, int, error_code &) override {}

    void on_field_impl(http::field field, beast::string_view name, beast::string_view value,
                       error_code &ec) override
    {
        if (m_request.headers.size() >= HttpFrontEnd::kMaxFields) {
            ec = http::error::header_limit;
            return;
        }
        QByteArray v(value.data(), qsizetype(value.size()));
        if (field == http::field::host && !m_sawHost) {
            m_sawHost = true;
            m_request.host = v;
        }
        m_transferEncoding = m_transferEncoding || field == http::field::transfer_encoding;
        m_expectContinue = m_expectContinue
            || (field == http::field::expect && beast::iequals(value, beast::string_view("100-continue")));
        m_request.headers.append({QByteArray(name.data(), qsizetype(name.size())), std::move(v)});
    }

    void on_header_impl(error_code &) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t> &, error_code &) override {}

    std::size_t on_body_impl(beast::string_view body, error_code &) override
    {
        m_request.body.append(body.data(), qsizetype(body.size()));
        return body.size();
    }

    // Requests with a transfer coding are refused after the head, before any
    // of their body is read.
    void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code &ec) override
    {
        ec = http::error::bad_transfer_encoding;
    }
    std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view, error_code &ec) override
    {
        ec = http::error::bad_transfer_encoding;
        return 0;
    }

    void on_finish_impl(error_code &) override {}

    HttpRequest &m_request;
    bool m_sawHost = false;
    bool m_transferEncoding = false;
    bool m_expectContinue = false;
};

class OpenConnection
{
public:
    virtual ~OpenConnection() = default;
    // Called from any thread when the server stops.
    virtual void cut() = 0;
};

} // namespace

// ---- the engine: threads, listening socket, connection book-keeping

class HttpEngine
{
public:
    using Handler = HttpFrontEnd::Handler;
    HttpEngine(Handler handler, int workers, bool logRequests)
        : handler(std::move(handler)), log(logRequests), workers(size_t(std::max(1, workers)))
    {
    }

    ~HttpEngine() { stop(); }

    void accept();
    void stop();

    // Whether a connection from `address` may open; takes its place if so.
    bool admit(const std::string &address, bool proxy)
    {
        std::lock_guard lock(mutex);
        if (open >= maxTotal)
            return false;
        const auto known = perAddress.find(address);
        if (!proxy && known != perAddress.end() && known->second >= maxPerAddress)
            return false;
        ++open;
        ++perAddress[address];
        return true;
    }

    void enlist(OpenConnection *c, std::weak_ptr<OpenConnection> self)
    {
        std::lock_guard lock(mutex);
        connections.emplace(c, std::move(self));
    }

    void release(OpenConnection *c, const std::string &address)
    {
        std::lock_guard lock(mutex);
        connections.erase(c);
        if (--perAddress[address] <= 0)
            perAddress.erase(address);
        if (--open == 0)
            allClosed.notify_all();
    }

    bool isTrustedProxy(const net::ip::address &a) const
    {
        return std::any_of(trusted.cbegin(), trusted.cend(), [&](const Network &n) { return inNetwork(n, a); });
    }

    // The caller: the TCP peer, or for a trusted proxy the nearest address
    // in X-Forwarded-For that is not a trusted proxy itself. An entry that
    // is not an address ends the search at the proxy that handed it on.
    net::ip::address caller(const net::ip::address &peer, const HttpRequest &request) const
    {
        if (!isTrustedProxy(peer))
            return peer;
        QList<QByteArray> hops;
        for (const auto &[name, value] : request.headers)
            if (name.compare("X-Forwarded-For", Qt::CaseInsensitive) == 0)
                hops += value.split(',');
        net::ip::address nearest = peer;
        for (qsizetype i = hops.size() - 1; i >= 0; --i) {
            const auto hop = parseAddress(hops.at(i));
            if (!hop)
                break;
            nearest = *hop;
            if (!isTrustedProxy(nearest))
                break;
        }
        return nearest;
    }

    const Handler handler;
    const bool log;
    net::io_context io{HttpFrontEnd::kNetworkThreads};
    // Keeps the network threads running while a connection has nothing
    // pending on them (its request is with a worker), until stop() is done.
    std::optional<net::executor_work_guard<net::io_context::executor_type>> keepRunning;
    net::thread_pool workers;
    tcp::acceptor acceptor{net::make_strand(io)};
    net::steady_timer acceptRetry{acceptor.get_executor()};
    std::optional<net::ssl::context> tls;
    std::vector<Network> trusted;
    std::chrono::milliseconds headDeadline = HttpFrontEnd::kDefaultHeadDeadline;
    std::chrono::milliseconds bodyDeadline = HttpFrontEnd::kDefaultBodyDeadline;
    int maxTotal = HttpFrontEnd::kDefaultMaxConnections;
    int maxPerAddress = HttpFrontEnd::kDefaultMaxConnectionsPerAddress;
    int port = 0;
    std::atomic<bool> stopping{false};
    bool started = false;
    std::vector<std::thread> threads;

private:
    void onAccept(const error_code &ec, tcp::socket socket);

    std::mutex mutex;
    std::condition_variable allClosed;
    int open = 0;
    std::unordered_map<std::string, int> perAddress;
    std::unordered_map<OpenConnection *, std::weak_ptr<OpenConnection>> connections;
};

namespace {

// One connection, from the accept to the close, over plain TCP or TLS. All
// its socket work runs on its own strand; the store work on the engine's
// workers.
template <class Stream>
class Session final : public OpenConnection, public std::enable_shared_from_this<Session<Stream>>
{
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;
    enum class Phase { Reading, Handling, Writing, Closing };

public:
    template <class... Args>
    Session(HttpEngine &engine, net::ip::address peer, std::string slot, Args &&...args)
        : m_engine(engine), m_stream(std::forward<Args>(args)...), m_peer(peer), m_slot(std::move(slot)),
          m_acceptedAt(std::chrono::steady_clock::now())
    {
    }

    ~Session() override { m_engine.release(this, m_slot); }

    void start()
    {
        m_engine.enlist(this, this->weak_from_this());
        net::dispatch(m_stream.get_executor(), [self = this->shared_from_this()] { self->begin(); });
    }

    void cut() override
    {
        net::post(m_stream.get_executor(), [self = this->shared_from_this()] { self->onCut(); });
    }

private:
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(m_stream); }

    void begin()
    {
        if (m_engine.stopping)
            return closeNow();
        // The handshake and the head share one deadline from the accept.
        lowest().expires_at(m_acceptedAt + m_engine.headDeadline);
        if constexpr (kTls) {
            m_stream.async_handshake(net::ssl::stream_base::server,
                                     [self = this->shared_from_this()](const error_code &ec) {
                                         if (ec)
                                             return self->closeNow();
                                         self->readHead();
                                     });
        } else {
            readHead();
        }
    }

    void readHead()
    {
        http::async_read_header(m_stream, m_buffer, m_parser,
                                [self = this->shared_from_this()](const error_code &ec, std::size_t) {
                                    self->onHead(ec);
                                });
    }

    void onHead(const error_code &ec)
    {
        if (ec)
            return refuseOrDrop(ec);
        // Only a length frames a body here: with a transfer coding too the
        // two could be read differently by a proxy in front (smuggling).
        if (m_parser.transferEncoding())
            return refuse(m_parser.content_length() || m_request.method != "POST"
                              ? refusal(400, QStringLiteral("malformed request"))
                              : refusal(411, QStringLiteral("a request body needs a Content-Length")));
        // A POST without a length would be carried out with an empty form.
        if (m_request.method == "POST" && !m_parser.content_length())
            return refuse(refusal(411, QStringLiteral("a request body needs a Content-Length")));
        if (m_parser.is_done())
            return dispatch();
        lowest().expires_after(m_engine.bodyDeadline);
        if (m_parser.expectsContinue()) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(m_stream, net::buffer(kContinue, sizeof kContinue - 1),
                             [self = this->shared_from_this()](const error_code &ec, std::size_t) {
                                 if (ec)
                                     return self->closeNow();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody()
    {
        http::async_read(m_stream, m_buffer, m_parser, [self = this->shared_from_this()](const error_code &ec, std::size_t) {
            if (ec)
                return self->refuseOrDrop(ec);
            self->dispatch();
        });
    }

    // A request that cannot be served: malformed ones get an answer; one
    // cut short, stalled past its deadline or hung up is only dropped, and
    // nothing of it is carried out.
    void refuseOrDrop(const error_code &ec)
    {
        if (ec.category() != http::make_error_code(http::error::bad_method).category())
            return closeNow();
        switch (http::error(ec.value())) {
        case http::error::end_of_stream:
        case http::error::partial_message:
        case http::error::short_read:
            return closeNow();
        case http::error::header_limit:
        case http::error::buffer_overflow:
            return refuse(refusal(431, QStringLiteral("request head too large")));
        case http::error::body_limit:
            return refuse(refusal(413, QStringLiteral("request body too large")));
        default:
            return refuse(refusal(400, QStringLiteral("malformed request")));
        }
    }

    // XML, or JSON on the publishing interface.
    HttpReply refusal(int status, const QString &why) const
    {
        return AlertService::refusalFor(m_request.target, status, why);
    }

    void refuse(HttpReply reply)
    {
        if (m_engine.log)
            logRequest(addressText(m_peer), m_request.method, m_request.target, reply.status);
        m_reply = std::move(reply);
        writeReply();
    }

    void dispatch()
    {
        if (m_engine.stopping)
            return closeNow();
        m_phase = Phase::Handling;
        m_readWhole = true;
        const net::ip::address caller = m_engine.caller(m_peer, m_request);
        m_request.peer = addressText(caller);
        net::post(m_engine.workers, [self = this->shared_from_this()] {
            HttpReply reply;
            try {
                reply = self->m_engine.handler(self->m_request);
            } catch (...) {
                reply = self->refusal(500, QStringLiteral("server error"));
            }
            if (self->m_engine.log)
                logRequest(self->m_request.peer, self->m_request.method, self->m_request.target, reply.status);
            net::post(self->m_stream.get_executor(), [self, reply = std::move(reply)]() mutable {
                self->m_reply = std::move(reply);
                self->writeReply();
            });
        });
    }

    void writeReply()
    {
        m_phase = Phase::Writing;
        lowest().expires_after(m_engine.stopping ? std::chrono::milliseconds(kClosingGrace) : m_engine.bodyDeadline);
        auto written = [self = this->shared_from_this()](const error_code &ec, std::size_t) {
            if (ec)
                return self->closeNow();
            self->closeGracefully();
        };
        // HEAD: the head GET would have, without the body.
        if (m_request.method == "HEAD") {
            fillHead(m_headOnly);
            m_headOnly.content_length(std::uint64_t(m_reply.body.size()));
            http::async_write(m_stream, m_headOnly, std::move(written));
        } else {
            fillHead(m_response);
            m_response.body() = {m_reply.body.constData(), size_t(m_reply.body.size())};
            m_response.prepare_payload();
            http::async_write(m_stream, m_response, std::move(written));
        }
    }

    template <class Message>
    void fillHead(Message &m)
    {
        m.version(11);
        m.result(unsigned(m_reply.status));
        if (!m_reply.contentType.isEmpty())
            m.set(http::field::content_type,
                  beast::string_view(m_reply.contentType.constData(), size_t(m_reply.contentType.size())));
        for (const auto &[name, value] : m_reply.headers)
            m.set(beast::string_view(name.constData(), size_t(name.size())),
                  beast::string_view(value.constData(), size_t(value.size())));
        m.keep_alive(false);
    }

    // One request per connection: after the reply the connection ends. With
    // TLS it waits a moment for the closing message. A connection with bytes
    // still unread (a refused request, or more than one request) lingers a
    // moment too, reading and dropping whatever still comes: closed at once,
    // the kernel would reset it, and the caller could lose the reply.
    void closeGracefully()
    {
        m_phase = Phase::Closing;
        if (m_engine.stopping)
            return closeNow();
        lowest().expires_after(kClosingGrace);
        if constexpr (kTls) {
            m_stream.async_shutdown([self = this->shared_from_this()](const error_code &) { self->closeNow(); });
        } else {
            error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            if (!m_readWhole || m_buffer.size() > 0 || lowest().socket().available(ignored) > 0)
                return drain();
            closeNow();
        }
    }

    void drain()
    {
        m_buffer.clear();
        lowest().async_read_some(m_buffer.prepare(4096), [self = this->shared_from_this()](const error_code &ec, std::size_t) {
            if (ec)
                return self->closeNow();
            self->drain();
        });
    }

    void onCut()
    {
        switch (m_phase) {
        case Phase::Reading:
        case Phase::Closing:
            return closeNow();
        case Phase::Handling:
            return; // the reply follows with a short deadline
        case Phase::Writing:
            // A reply already going out gets a moment more, not its whole deadline.
            m_stopTimer.emplace(m_stream.get_executor());
            m_stopTimer->expires_after(kClosingGrace);
            m_stopTimer->async_wait([self = this->shared_from_this()](const error_code &ec) {
                if (!ec)
                    self->closeNow();
            });
            return;
        }
    }

    void closeNow()
    {
        lowest().close();
        if (m_stopTimer)
            m_stopTimer->cancel();
    }

    HttpEngine &m_engine;
    Stream m_stream;
    const net::ip::address m_peer;
    const std::string m_slot;
    const std::chrono::steady_clock::time_point m_acceptedAt;
    Phase m_phase = Phase::Reading;
    bool m_readWhole = false; // the request was read to its end
    beast::flat_buffer m_buffer{size_t(HttpFrontEnd::kMaxHeadBytes) + 1024};
    HttpRequest m_request;
    RequestParser m_parser{m_request};
    HttpReply m_reply;
    http::response<http::span_body<const char>> m_response;
    http::response<http::empty_body> m_headOnly;
    std::optional<net::steady_timer> m_stopTimer;
};

} // namespace

void HttpEngine::accept()
{
    acceptor.async_accept(net::make_strand(io), [this](const error_code &ec, tcp::socket socket) {
        onAccept(ec, std::move(socket));
    });
}

void HttpEngine::onAccept(const error_code &ec, tcp::socket socket)
{
    if (ec == net::error::operation_aborted || !acceptor.is_open())
        return;
    if (ec) {
        // Out of descriptors, most likely: the caller waits in the listen
        // queue until connections have ended.
        acceptRetry.expires_after(std::chrono::milliseconds(50));
        acceptRetry.async_wait([this](const error_code &e) {
            if (!e)
                accept();
        });
        return;
    }
    error_code ignored;
    const tcp::endpoint remote = socket.remote_endpoint(ignored);
    if (!ignored && !stopping) {
        const net::ip::address peer = narrowed(remote.address());
        std::string slot = peer.to_string();
        if (admit(slot, isTrustedProxy(peer))) {
            socket.set_option(tcp::no_delay(true), ignored);
            if (tls) {
                std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(*this, peer, std::move(slot),
                                                                                std::move(socket), *tls)
                    ->start();
            } else {
                std::make_shared<Session<beast::tcp_stream>>(*this, peer, std::move(slot), std::move(socket))->start();
            }
        }
    }
    accept();
}

void HttpEngine::stop()
{
    if (!started) {
        error_code ignored;
        acceptor.close(ignored);
        return;
    }
    if (stopping.exchange(true))
        return;
    net::post(acceptor.get_executor(), [this] {
        error_code ignored;
        acceptor.close(ignored);
        acceptRetry.cancel();
    });
    std::vector<std::shared_ptr<OpenConnection>> live;
    {
        std::lock_guard lock(mutex);
        for (const auto &[key, weak] : connections)
            if (auto c = weak.lock())
                live.push_back(std::move(c));
    }
    for (const auto &c : live)
        c->cut();
    live.clear();
    {
        std::unique_lock lock(mutex);
        allClosed.wait(lock, [this] { return open == 0; });
    }
    keepRunning.reset();
    for (std::thread &t : threads)
        t.join();
    threads.clear();
    workers.join();
}

// ---- HttpFrontEnd

HttpFrontEnd::HttpFrontEnd(AlertService &service, int threads, bool logRequests)
    : HttpFrontEnd([&service](const HttpRequest &r) { return service.handle(r); }, threads, logRequests)
{
}

HttpFrontEnd::HttpFrontEnd(Handler handler, int threads, bool logRequests)
    : m_engine(std::make_unique<HttpEngine>(std::move(handler), threads, logRequests))
{
}

HttpFrontEnd::~HttpFrontEnd()
{
    stop();
}

bool HttpFrontEnd::useTls(const QString &certificateFile, const QString &keyFile, QString *error)
{
    try {
        net::ssl::context context(net::ssl::context::tls_server);
        context.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2
                            | net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1
                            | net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
        context.use_certificate_chain_file(certificateFile.toStdString());
        context.use_private_key_file(keyFile.toStdString(), net::ssl::context::pem);
        if (SSL_CTX_check_private_key(context.native_handle()) != 1)
            throw std::runtime_error("the key does not belong to the certificate");
        m_engine->tls.emplace(std::move(context));
        return true;
    } catch (const std::exception &e) {
        if (error)
            *error = QStringLiteral("cannot use the certificate %1 with the key %2: %3")
                         .arg(certificateFile, keyFile, QString::fromLocal8Bit(e.what()));
        return false;
    }
}

bool HttpFrontEnd::usesTls() const
{
    return m_engine->tls.has_value();
}

bool HttpFrontEnd::setTrustedProxies(const QStringList &networks, QString *error)
{
    std::vector<Network> parsed;
    for (const QString &text : networks) {
        const auto n = parseNetwork(text);
        if (!n) {
            if (error)
                *error = QStringLiteral("%1 is not an address or a network (ADDRESS/BITS)").arg(text);
            return false;
        }
        parsed.push_back(*n);
    }
    m_engine->trusted = std::move(parsed);
    return true;
}

void HttpFrontEnd::setDeadlines(std::chrono::milliseconds head, std::chrono::milliseconds body)
{
    m_engine->headDeadline = std::max(head, std::chrono::milliseconds(1));
    m_engine->bodyDeadline = std::max(body, std::chrono::milliseconds(1));
}

void HttpFrontEnd::setConnectionCaps(int total, int perAddress)
{
    m_engine->maxTotal = std::max(1, total);
    m_engine->maxPerAddress = std::max(1, perAddress);
}

bool HttpFrontEnd::bind(const QString &host, int port, QString *error)
{
    HttpEngine &e = *m_engine;
    error_code ec;
    tcp::resolver resolver(e.io);
    const auto found = resolver.resolve(host.toStdString(), std::to_string(port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (!ec && found.empty())
        ec = net::error::host_not_found;
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

void HttpFrontEnd::start()
{
    HttpEngine &e = *m_engine;
    if (e.started || !e.acceptor.is_open())
        return;
    // Every connection is a descriptor: make room for the cap if the hard
    // limit allows.
    rlimit files{};
    const rlim_t wanted = rlim_t(e.maxTotal) + 256;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < wanted) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, files.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    e.started = true;
    e.keepRunning.emplace(e.io.get_executor());
    net::dispatch(e.acceptor.get_executor(), [&e] { e.accept(); });
    for (int i = 0; i < kNetworkThreads; ++i)
        e.threads.emplace_back([&e] { e.io.run(); });
}

void HttpFrontEnd::stop()
{
    m_engine->stop();
}

} // namespace alertserver
