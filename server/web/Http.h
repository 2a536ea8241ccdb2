#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// What the HTTP front end and the pages behind it share: a request, its
// reply, the limits on what a request may carry, and the interface through
// which the front end hands over whole requests. The front end knows nothing
// else of the pages.
namespace alertserver {

struct HttpRequest
{
    QByteArray method;
    QByteArray target;   // path and query exactly as they arrived
    QByteArray body;
    QByteArray host;     // the Host header; never used to build addresses
    int version = 11;    // HTTP/1.1: 11, HTTP/1.0: 10
    // The caller's address as text ("127.0.0.2", "::1"): the TCP peer, or the
    // address a trusted proxy forwarded for. Rules that speak of "the caller"
    // use this and nothing else. Empty when a trusted proxy forwarded no
    // usable address: such a caller is nobody's, never bound to anything.
    QByteArray peer;
    // Whether the request came over TLS, and whether its TCP peer is a
    // trusted proxy (whose own leg to the caller the server cannot see).
    bool secure = false;
    bool proxied = false;
    // Every header field in the order it arrived, names as sent.
    QList<std::pair<QByteArray, QByteArray>> headers;

    // The first value of a header, its name compared without case.
    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

struct HttpReply
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    // Further header fields (WWW-Authenticate, Retry-After, Allow).
    QList<std::pair<QByteArray, QByteArray>> headers = {};
};

// Longest accepted value of each kind of field. Longer values are refused
// rather than cut, so nothing is stored other than what was sent.
namespace limits {
constexpr int kUserName = 64;
constexpr int kPassword = 128;
constexpr int kName = 100;      // first and last name, company, country, state, city, carrier
constexpr int kAddress = 255;
constexpr int kEmail = 254;
constexpr int kPhone = 40;
constexpr int kPostalCode = 20;
constexpr int kTokenLabel = 64;
// An alert's text, in bytes of UTF-8, however it is raised.
constexpr int kAlertTextBytes = 4096;
// Any request's body, unless its page says otherwise; the front end reads no
// more.
constexpr int kMaxBodyBytes = 1024 * 1024;
// An administrator's form (a registration, a user's fields) with room to spare.
constexpr int kMaxFormBodyBytes = 8 * 1024;
// A request to the publishing interface: a few thousand user names and the
// text, escaped as JSON may escape it, fit with room to spare.
constexpr int kMaxApiBodyBytes = 256 * 1024;
} // namespace limits

// Whatever serves the requests: the front end hands it each whole request,
// on a worker thread, many at once.
class RequestHandler
{
public:
    virtual ~RequestHandler() = default;
    virtual HttpReply handle(const HttpRequest &request) = 0;
    // What a request that the front end refuses itself (a head too large, a
    // body without a length) is answered, in the form the page it was meant
    // for refuses in. `target` may be empty when not even the request line
    // could be read.
    virtual HttpReply refusal(const QByteArray &target, int status, const QString &why) const = 0;
    // The largest body the request's page takes, known from its head alone
    // (a longer Content-Length is refused before any of the body is read).
    virtual qint64 bodyLimit(const HttpRequest &head) const
    {
        (void)head;
        return limits::kMaxBodyBytes;
    }
    // Whether answering the request hashes a password: the front end hands
    // such requests to a small pool of their own, so that a flood of them
    // never holds the workers that answer everything else.
    virtual bool hashes(const QByteArray &target) const
    {
        (void)target;
        return false;
    }
};

} // namespace alertserver
