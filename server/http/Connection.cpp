#include "server/http/Connection.h"

#include "server/http/TlsStream.h"

#include "server/web/AccessLog.h"
#include "server/web/Http.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>

#include <sys/ioctl.h>
#include <sys/socket.h>

namespace alertserver::http {

namespace {

int socketWrite(BIO *b, const char *data, int size)
{
    BIO_clear_retry_flags(b);
    const ssize_t n = ::send(int(reinterpret_cast<std::intptr_t>(BIO_get_data(b))), data, size_t(size), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(b);
    return int(n);
}

int socketRead(BIO *b, char *data, int size)
{
    BIO_clear_retry_flags(b);
    const ssize_t n = ::recv(int(reinterpret_cast<std::intptr_t>(BIO_get_data(b))), data, size_t(size), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(b);
    return int(n);
}

long socketControl(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

} // namespace

BIO *socketBio(int fd)
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "alertserver socket");
        BIO_meth_set_write(m, socketWrite);
        BIO_meth_set_read(m, socketRead);
        BIO_meth_set_ctrl(m, socketControl);
        return m;
    }();
    BIO *b = BIO_new(method);
    BIO_set_data(b, reinterpret_cast<void *>(std::intptr_t(fd)));
    BIO_set_init(b, 1);
    return b;
}

namespace {

namespace beast = boost::beast;
namespace bhttp = beast::http;
using error_code = boost::system::error_code;

// How long a connection lingers after its reply (for the caller's end of
// the connection, or TLS's closing message), and how long a reply still
// being written gets once the server stops.
constexpr std::chrono::seconds kClosingGrace{2};

// Reads a request straight into an HttpRequest: the method and target as
// sent, every field in order. The engine bounds the head and the body and
// checks the framing; this adds the cap on fields and notes what the
// framing rules below need.
class RequestParser final : public bhttp::basic_parser<true>
{
public:
    explicit RequestParser(HttpRequest &request) : m_request(request)
    {
        header_limit(HttpFrontEnd::kMaxHeadBytes);
        body_limit(std::uint64_t(limits::kMaxBodyBytes));
    }

    // A body announced with its length is read into room made for all of it
    // at once: what it costs is what the budget counted.
    void reserveBody(std::uint64_t n) { m_request.body.reserve(qsizetype(n)); }

    bool transferEncoding() const { return m_transferEncoding; }
    bool expectsContinue() const { return m_expectContinue; }

private:
    void on_request_impl(bhttp::verb, beast::string_view method, beast::string_view target, int version,
                         error_code &) override
    {
        m_request.version = version;
        m_request.method = QByteArray(method.data(), qsizetype(method.size()));
        m_request.target = QByteArray(target.data(), qsizetype(target.size()));
    }

    void on_response_impl(int, beast::string_view, int, error_code &) override {}

    void on_field_impl(bhttp::field field, beast::string_view name, beast::string_view value,
                       error_code &ec) override
    {
        if (m_request.headers.size() >= HttpFrontEnd::kMaxFields) {
            ec = bhttp::error::header_limit;
            return;
        }
        QByteArray v(value.data(), qsizetype(value.size()));
        if (field == bhttp::field::host && !m_sawHost) {
            m_sawHost = true;
            m_request.host = v;
        }
        m_transferEncoding = m_transferEncoding || field == bhttp::field::transfer_encoding;
        m_expectContinue = m_expectContinue
            || (field == bhttp::field::expect && beast::iequals(value, beast::string_view("100-continue")));
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
        ec = bhttp::error::bad_transfer_encoding;
    }
    std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view, error_code &ec) override
    {
        ec = bhttp::error::bad_transfer_encoding;
        return 0;
    }

    void on_finish_impl(error_code &) override {}

    HttpRequest &m_request;
    bool m_sawHost = false;
    bool m_transferEncoding = false;
    bool m_expectContinue = false;
};

// One connection, from the accept to the close, over plain TCP or TLS. All
// its socket work runs on its own strand; the store work on the engine's
// workers.
template <class Stream>
class Session final : public OpenConnection, public std::enable_shared_from_this<Session<Stream>>
{
    static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;
    // Idle: kept open between two requests, nothing of the next one read yet.
    enum class Phase { Reading, Handling, Writing, Idle, Closing };

public:
    template <class... Args>
    Session(Engine &engine, std::shared_ptr<net::ssl::context> tls, net::ip::address peer, Args &&...args)
        : m_engine(engine), m_tls(std::move(tls)), m_stream(std::forward<Args>(args)...), m_peer(peer),
          m_acceptedAt(std::chrono::steady_clock::now())
    {
    }

    ~Session() override
    {
        m_engine.bodies.release(m_bodyReserved);
        m_engine.admission.release(this);
    }

    bool waiting() const override
    {
        const int fd = m_fd.load();
        int unread = 0;
        return fd >= 0 && ::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0;
    }

    void start()
    {
        m_fd = lowest().socket().native_handle();
        if (!m_engine.admission.enter(this, this->weak_from_this(), admissionKey(m_peer), m_engine.proxies.contains(m_peer)))
            return closeNow();
        net::dispatch(m_stream.get_executor(), [self = this->shared_from_this()] { self->begin(); });
    }

    void cut() override
    {
        net::post(m_stream.get_executor(), [self = this->shared_from_this()] { self->onCut(); });
    }

    void evict() override
    {
        net::post(m_stream.get_executor(), [self = this->shared_from_this()] { self->closeNow(); });
    }

private:
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(m_stream); }
    void expireAt(std::chrono::steady_clock::time_point t)
    {
        if constexpr (kTls)
            m_stream.expires_at(t);
        else
            lowest().expires_at(t);
    }
    void expireAfter(std::chrono::steady_clock::duration d) { expireAt(std::chrono::steady_clock::now() + d); }

    void begin()
    {
        if (m_engine.stopping)
            return closeNow();
        // The handshake and the head share one deadline from the accept.
        expireAt(m_acceptedAt + m_engine.headDeadline);
        if constexpr (kTls) {
            m_stream.async_handshake([self = this->shared_from_this()](const error_code &ec) {
                if (ec)
                    return self->closeNow();
                self->readHead();
            });
        } else {
            readHead();
        }
    }

    // The head as it comes, a read at a time, so that the admission learns
    // which pending connections still send and which have stalled (the
    // parser itself would wait for the whole head).
    void readHead()
    {
        const std::size_t room = m_buffer.max_size() - m_buffer.size();
        if (room == 0)
            return refuse(refusal(431, QStringLiteral("request head too large")));
        // A connection waiting for its next request holds a small buffer.
        const std::size_t want = m_buffer.size() == 0 ? 512 : 4096;
        m_stream.async_read_some(m_buffer.prepare(std::min(room, want)),
                                 [self = this->shared_from_this()](const error_code &ec, std::size_t n) {
                                     self->onHeadPart(ec, n);
                                 });
    }

    void onHeadPart(const error_code &ec, std::size_t n)
    {
        // Hung up, cut short or past its deadline: nothing to answer.
        if (ec)
            return closeNow();
        m_buffer.commit(n);
        if (m_phase == Phase::Idle)
            beginNext();
        else if (m_served == 0)
            m_engine.admission.progressed(this);
        parseHead();
    }

    // The next request on a kept connection has begun: its head gets the head
    // deadline.
    void beginNext()
    {
        m_phase = Phase::Reading;
        m_engine.admission.busy(this);
        expireAfter(m_engine.headDeadline);
    }

    void parseHead()
    {
        error_code ec;
        m_buffer.consume(m_parser->put(m_buffer.data(), ec));
        if (ec == bhttp::error::need_more)
            return readHead();
        if (ec)
            return refuseOrDrop(ec);
        onHead();
    }

    void onHead()
    {
        // Only a length frames a body here: with a transfer coding too the
        // two could be read differently by a proxy in front (smuggling).
        if (m_parser->transferEncoding())
            return refuse(m_parser->content_length() || m_request.method != "POST"
                              ? refusal(400, QStringLiteral("malformed request"))
                              : refusal(411, QStringLiteral("a request body needs a Content-Length")));
        // A POST without a length would be carried out with an empty form.
        if (m_request.method == "POST" && !m_parser->content_length())
            return refuse(refusal(411, QStringLiteral("a request body needs a Content-Length")));
        if (m_parser->is_done())
            return dispatch();
        // A body costs what its page allows, and only what the front end's
        // budget for bodies still has room for; either is known from the head.
        const std::uint64_t announced = m_parser->content_length().value_or(0);
        const qint64 allowed = std::clamp<qint64>(m_engine.handler.bodyLimit(m_request), 0, limits::kMaxBodyBytes * 64LL);
        if (announced > std::uint64_t(allowed))
            return refuse(refusal(413, QStringLiteral("request body too large")));
        if (!m_engine.bodies.reserve(qint64(announced))) {
            HttpReply busy = refusal(503, QStringLiteral("too many request bodies at once, try again shortly"));
            busy.headers.append({QByteArrayLiteral("Retry-After"), QByteArrayLiteral("1")});
            return refuse(std::move(busy));
        }
        m_bodyReserved = qint64(announced);
        m_parser->body_limit(announced);
        m_parser->reserveBody(announced);
        expireAfter(m_engine.bodyDeadline);
        if (m_parser->expectsContinue()) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(m_stream, net::buffer(kContinue, sizeof kContinue - 1),
                             [self = this->shared_from_this()](const error_code &failed, std::size_t) {
                                 if (failed)
                                     return self->closeNow();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody()
    {
        bhttp::async_read(m_stream, m_buffer, *m_parser, [self = this->shared_from_this()](const error_code &ec, std::size_t) {
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
        if (ec.category() != bhttp::make_error_code(bhttp::error::bad_method).category())
            return closeNow();
        switch (bhttp::error(ec.value())) {
        case bhttp::error::end_of_stream:
        case bhttp::error::partial_message:
        case bhttp::error::short_read:
            return closeNow();
        case bhttp::error::header_limit:
        case bhttp::error::buffer_overflow:
            return refuse(refusal(431, QStringLiteral("request head too large")));
        case bhttp::error::body_limit:
            return refuse(refusal(413, QStringLiteral("request body too large")));
        default:
            return refuse(refusal(400, QStringLiteral("malformed request")));
        }
    }

    // In the form the page the request was meant for refuses in.
    HttpReply refusal(int status, const QString &why) const
    {
        return m_engine.handler.refusal(m_request.target, status, why);
    }

    // A refused request ends its connection: what follows it on the wire
    // cannot be trusted to start where the refused one ended.
    void refuse(HttpReply reply)
    {
        m_keep = false;
        if (m_engine.log)
            accesslog::answered(addressText(m_peer), m_request.method, m_request.target, reply.status);
        m_reply = std::move(reply);
        writeReply();
    }

    void dispatch()
    {
        if (m_engine.stopping)
            return closeNow();
        m_phase = Phase::Handling;
        m_readWhole = true;
        m_engine.admission.busy(this);
        // HTTP/1.0 callers get one request a connection, as they expect.
        m_keep = m_request.version == 11 && m_parser->keep_alive() && m_served + 1 < m_engine.requestsPerConnection;
        const Caller caller = m_engine.proxies.caller(m_peer, m_request);
        // Without an address the page sees none; the log says why.
        m_request.peer = caller.address ? addressText(*caller.address) : QByteArray();
        m_request.secure = kTls;
        m_request.proxied = m_engine.proxies.contains(m_peer);
        const QByteArray logged = caller.address
            ? m_request.peer
            : "- (proxy " + addressText(m_peer) + " forwarded no usable address: " + caller.why + ")";
        net::thread_pool &pool = m_engine.handler.hashes(m_request.target) ? m_engine.hashing : m_engine.workers;
        net::post(pool, [self = this->shared_from_this(), logged] {
            HttpReply reply;
            try {
                reply = self->m_engine.handler.handle(self->m_request);
            } catch (...) {
                reply = self->refusal(500, QStringLiteral("server error"));
            }
            if (self->m_engine.log)
                accesslog::answered(logged, self->m_request.method, self->m_request.target, reply.status);
            net::post(self->m_stream.get_executor(), [self, reply = std::move(reply)]() mutable {
                self->m_reply = std::move(reply);
                self->writeReply();
            });
        });
    }

    void writeReply()
    {
        m_phase = Phase::Writing;
        expireAfter(m_engine.stopping ? std::chrono::milliseconds(kClosingGrace) : m_engine.bodyDeadline);
        auto written = [self = this->shared_from_this()](const error_code &ec, std::size_t) {
            if (ec)
                return self->closeNow();
            if (self->m_keep && !self->m_engine.stopping)
                return self->next();
            self->closeGracefully();
        };
        // HEAD: the head GET would have, without the body.
        if (m_request.method == "HEAD") {
            fillHead(m_headOnly);
            m_headOnly.content_length(std::uint64_t(m_reply.body.size()));
            bhttp::async_write(m_stream, m_headOnly, std::move(written));
        } else {
            fillHead(m_response);
            m_response.body() = {m_reply.body.constData(), size_t(m_reply.body.size())};
            m_response.prepare_payload();
            bhttp::async_write(m_stream, m_response, std::move(written));
        }
    }

    template <class Message>
    void fillHead(Message &m)
    {
        m.version(11);
        m.result(unsigned(m_reply.status));
        if (!m_reply.contentType.isEmpty())
            m.set(bhttp::field::content_type,
                  beast::string_view(m_reply.contentType.constData(), size_t(m_reply.contentType.size())));
        for (const auto &[name, value] : m_reply.headers)
            m.set(beast::string_view(name.constData(), size_t(name.size())),
                  beast::string_view(value.constData(), size_t(value.size())));
        m.keep_alive(m_keep);
    }

    // Ready for the next request on the same connection: everything of the
    // last one is let go, the read buffer too unless the caller has already
    // sent more, and the connection waits up to the idle time-out.
    void next()
    {
        ++m_served;
        m_engine.bodies.release(m_bodyReserved);
        m_bodyReserved = 0;
        m_request = HttpRequest();
        m_parser.emplace(m_request);
        m_reply = HttpReply();
        m_response = {};
        m_headOnly = {};
        m_readWhole = false;
        if (m_buffer.size() == 0)
            m_buffer.shrink_to_fit();
        m_phase = Phase::Idle;
        m_engine.admission.idle(this);
        expireAfter(m_engine.idleTimeout);
        if (m_buffer.size() == 0)
            return readHead();
        // The caller has sent the next request already.
        beginNext();
        parseHead();
    }

    // The last request of the connection has been answered. With TLS it
    // waits a moment for the closing message. A connection with bytes
    // still unread (a refused request, or more than one request) lingers a
    // moment too, reading and dropping whatever still comes: closed at once,
    // the kernel would reset it, and the caller could lose the reply.
    void closeGracefully()
    {
        m_phase = Phase::Closing;
        if (m_engine.stopping)
            return closeNow();
        expireAfter(kClosingGrace);
        if constexpr (kTls) {
            m_stream.async_shutdown([self = this->shared_from_this()](const error_code &ec) {
                if (ec)
                    return self->closeNow();
                self->halfClose();
            });
        } else {
            halfClose();
        }
    }

    void halfClose()
    {
        error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        if (!m_readWhole || m_buffer.size() > 0 || lowest().socket().available(ignored) > 0)
            return drain();
        closeNow();
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
        case Phase::Idle:
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
        m_fd = -1;
        lowest().close();
        if constexpr (kTls)
            m_stream.cancelDeadline();
        if (m_stopTimer)
            m_stopTimer->cancel();
    }

    Engine &m_engine;
    const std::shared_ptr<net::ssl::context> m_tls; // outlives the stream made with it
    Stream m_stream;
    const net::ip::address m_peer;
    const std::chrono::steady_clock::time_point m_acceptedAt;
    std::atomic<int> m_fd{-1}; // the socket's, for waiting() from other threads
    Phase m_phase = Phase::Reading;
    bool m_readWhole = false; // the request was read to its end
    bool m_keep = false;      // another request may follow on this connection
    int m_served = 0;         // requests answered on this connection
    qint64 m_bodyReserved = 0; // of the front end's budget for bodies
    beast::flat_buffer m_buffer{size_t(HttpFrontEnd::kMaxHeadBytes) + 1024};
    HttpRequest m_request;
    std::optional<RequestParser> m_parser{std::in_place, m_request};
    HttpReply m_reply;
    bhttp::response<bhttp::span_body<const char>> m_response;
    bhttp::response<bhttp::empty_body> m_headOnly;
    std::optional<net::steady_timer> m_stopTimer;
};

} // namespace

void startConnection(Engine &engine, tcp::socket socket, const net::ip::address &peer)
{
    // A connection keeps the context it began with: a certificate read
    // again serves the connections that come after it.
    if (std::shared_ptr<net::ssl::context> tls = engine.currentTls()) {
        SSL_CTX *context = tls->native_handle();
        std::make_shared<Session<TlsStream>>(engine, std::move(tls), peer, std::move(socket), context)->start();
    } else {
        std::make_shared<Session<beast::tcp_stream>>(engine, nullptr, peer, std::move(socket))->start();
    }
}

} // namespace alertserver::http
