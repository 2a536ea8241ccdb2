#pragma once

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace alertserver::http {

namespace net = boost::asio;
namespace beast = boost::beast;

// A BIO that reads and writes a socket directly, without raising SIGPIPE on a
// caller that has gone.
BIO *socketBio(int fd);

// The server's end of a TLS connection, OpenSSL on the socket itself. Asio's
// ssl::stream keeps about 70 KB of buffers for every connection for as long
// as it lives (its own two and a BIO pair's two); here OpenSSL reads and
// writes the socket, and with its record buffers released while nothing is
// in flight a connection kept open between requests costs a few KB. Waits
// for the socket to be ready are asio's; one deadline covers them all.
class TlsStream
{
public:
    using executor_type = beast::tcp_stream::executor_type;
    using next_layer_type = beast::tcp_stream;

    TlsStream(net::ip::tcp::socket socket, SSL_CTX *context)
        : m_next(std::move(socket)), m_ssl(SSL_new(context)), m_deadline(m_next.get_executor())
    {
        boost::system::error_code ignored;
        m_next.socket().non_blocking(true, ignored);
        if (m_ssl) {
            BIO *bio = socketBio(m_next.socket().native_handle());
            SSL_set_bio(m_ssl, bio, bio);
            SSL_set_mode(m_ssl, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE
                                    | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
            SSL_set_accept_state(m_ssl);
        }
    }
    ~TlsStream()
    {
        if (m_ssl)
            SSL_free(m_ssl);
    }
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    executor_type get_executor() { return m_next.get_executor(); }
    beast::tcp_stream &next_layer() { return m_next; }

    // Past the deadline the socket is closed, and whatever waits on it ends
    // with an error.
    void expires_after(std::chrono::steady_clock::duration d) { expires_at(std::chrono::steady_clock::now() + d); }
    void expires_at(std::chrono::steady_clock::time_point t)
    {
        m_deadline.expires_at(t);
        m_deadline.async_wait([this](const boost::system::error_code &ec) {
            if (!ec)
                m_next.socket().close();
        });
    }

    void cancelDeadline() { m_deadline.cancel(); }

    template <class Handler>
    void async_handshake(Handler &&handler)
    {
        run([this] { return SSL_do_handshake(m_ssl) == 1 ? 1 : -1; }, std::forward<Handler>(handler), false);
    }

    // Sends the closing message; the caller's is not waited for.
    template <class Handler>
    void async_shutdown(Handler &&handler)
    {
        run([this] {
            const int r = SSL_shutdown(m_ssl);
            return r < 0 ? r : 1;
        }, std::forward<Handler>(handler), false);
    }

    template <class Buffers, class Handler>
    void async_read_some(const Buffers &buffers, Handler &&handler)
    {
        const net::mutable_buffer b = beast::buffers_front(buffers);
        run([this, b] {
            std::size_t n = 0;
            return SSL_read_ex(m_ssl, b.data(), b.size(), &n) == 1 ? int(n) : -1;
        }, std::forward<Handler>(handler), true, b.size() == 0);
    }

    // What the buffers hold up to one record's worth, in one piece: a reply's
    // head and body then leave as one record, not one for each buffer.
    template <class Buffers, class Handler>
    void async_write_some(const Buffers &buffers, Handler &&handler)
    {
        std::string out(std::min<std::size_t>(net::buffer_size(buffers), kRecord), '\0');
        net::buffer_copy(net::buffer(out), buffers);
        if (out.empty())
            return complete(std::forward<Handler>(handler), boost::system::error_code(), 0);
        run([this, out = std::move(out)] {
            std::size_t n = 0;
            return SSL_write_ex(m_ssl, out.data(), out.size(), &n) == 1 ? int(n) : -1;
        }, std::forward<Handler>(handler), true);
    }

private:
    static constexpr std::size_t kRecord = 16 * 1024;

    template <class Handler>
    void complete(Handler &&handler, boost::system::error_code ec, std::size_t n)
    {
        net::post(m_next.get_executor(), beast::bind_front_handler(std::forward<Handler>(handler), ec, n));
    }
    template <class Handler>
    void complete(Handler &&handler, boost::system::error_code ec)
    {
        net::post(m_next.get_executor(), beast::bind_front_handler(std::forward<Handler>(handler), ec));
    }

    // Calls `step` (an OpenSSL call) until it succeeds or fails for good,
    // waiting on the socket whenever OpenSSL needs it ready.
    template <class Step, class Handler>
    void run(Step step, Handler &&handler, bool transfers, bool nothing = false)
    {
        if (nothing)
            return fail(std::forward<Handler>(handler), {});
        ERR_clear_error();
        const int r = m_ssl && m_next.socket().is_open() ? step() : -1;
        if (r > 0) {
            if constexpr (std::is_invocable_v<Handler, boost::system::error_code, std::size_t>)
                return complete(std::forward<Handler>(handler), {}, std::size_t(transfers ? r : 0));
            else
                return complete(std::forward<Handler>(handler), boost::system::error_code());
        }
        const int error = m_ssl && m_next.socket().is_open() ? SSL_get_error(m_ssl, r) : SSL_ERROR_SSL;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            m_next.socket().async_wait(error == SSL_ERROR_WANT_READ ? net::socket_base::wait_read : net::socket_base::wait_write,
                                       [this, step = std::move(step), handler = std::forward<Handler>(handler),
                                        transfers](const boost::system::error_code &ec) mutable {
                                           if (ec)
                                               return fail(std::move(handler), ec);
                                           run(std::move(step), std::move(handler), transfers);
                                       });
            return;
        }
        // The caller's end of the stream, with or without its closing message.
        const bool ended = error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0);
        fail(std::forward<Handler>(handler), ended ? boost::system::error_code(net::error::eof)
                                                   : boost::system::error_code(net::error::connection_reset));
    }

    template <class Handler>
    void fail(Handler &&handler, boost::system::error_code ec)
    {
        if constexpr (std::is_invocable_v<Handler, boost::system::error_code, std::size_t>)
            complete(std::forward<Handler>(handler), ec, 0);
        else
            complete(std::forward<Handler>(handler), ec);
    }

    beast::tcp_stream m_next;
    SSL *m_ssl;
    net::steady_timer m_deadline;
};

} // namespace alertserver::http
