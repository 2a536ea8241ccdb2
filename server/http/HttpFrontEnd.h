#pragma once

#include "server/http/Admission.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace alertserver {

class RequestHandler;
struct HttpRequest;
struct HttpReply;

namespace http {
class Engine;
}

// The HTTP side: a listening socket served by a few network threads that
// read requests and write replies without ever blocking on a caller, and a
// separate pool of workers that only ever see whole requests. A caller that
// sends slowly costs a connection slot and a little memory, never a worker.
// What the requests are for, it leaves to the handler it is given.
//
// A connection carries one request after another. Each head (the first one
// with the TLS handshake before it, counted from the accept; later ones from
// their first byte) must arrive within the head deadline, its body within the
// body deadline counted from the end of the head; past either the connection
// is dropped and nothing is carried out. The reply gets as long as the body
// did. Between requests a connection waits up to the idle time-out; after
// the last request allowed on one connection, a refused request, an HTTP/1.0
// request or a caller's "Connection: close", the reply closes it.
class HttpFrontEnd
{
public:
    using Handler = std::function<HttpReply(const HttpRequest &)>;

    // Workers for store work. On two cores more only add switching; eight
    // still leave room for a few slow store calls at once.
    static constexpr int kDefaultThreads = 8;
    // Threads that read and write the sockets and make the TLS handshakes.
    static constexpr int kNetworkThreads = 2;
    // Workers for the requests that hash a password (RequestHandler::hashes).
    static constexpr int kHashingThreads = 2;
    static constexpr std::chrono::milliseconds kDefaultHeadDeadline{15000};
    static constexpr std::chrono::milliseconds kDefaultBodyDeadline{30000};
    // Longer than any client keeps a connection for reuse, so that the
    // server never closes one under a request on its way.
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{120000};
    static constexpr int kDefaultRequestsPerConnection = 1000;
    // 0: as many connections as the process's descriptors allow.
    static constexpr int kDefaultMaxConnections = 0;
    static constexpr int kDefaultMaxConnectionsPerAddress = http::Admission::kDefaultPendingPerAddress;
    static constexpr int kDefaultMaxPendingConnections = http::Admission::kDefaultPendingTotal;
    // All bodies being received at once, together.
    static constexpr qint64 kDefaultBodyBudget = 32 * 1024 * 1024;
    // A request's head at most (request line and fields), and its fields.
    static constexpr int kMaxHeadBytes = 16 * 1024;
    static constexpr int kMaxFields = 100;

    // `handler` outlives the front end.
    HttpFrontEnd(RequestHandler &handler, int threads = kDefaultThreads, bool logRequests = false);
    // A bare function; what the front end refuses itself is answered in
    // plain text.
    HttpFrontEnd(Handler handler, int threads = kDefaultThreads, bool logRequests = false);
    ~HttpFrontEnd();
    HttpFrontEnd(const HttpFrontEnd &) = delete;
    HttpFrontEnd &operator=(const HttpFrontEnd &) = delete;

    // The settings below are made before start().

    // Serves https with the certificate chain and key (PEM files). False
    // with `error` set when they cannot be used.
    bool useTls(const QString &certificateFile, const QString &keyFile, QString *error = nullptr);
    bool usesTls() const;
    // Reads the files useTls named again, at any time: new connections get
    // the new certificate, open ones keep theirs. When they cannot be used,
    // false with `error` set, and the old ones stay.
    bool reloadTls(QString *error = nullptr);
    // A new key for session tickets; tickets of the previous key still
    // resume, older ones make a full handshake (done every hour by itself).
    void rotateTicketKeys();

    // Networks ("10.0.0.0/8", "::1/128", a bare address) whose connections are
    // reverse proxies: for them alone the caller's address is taken from
    // X-Forwarded-For, and the cap per address does not apply.
    bool setTrustedProxies(const QStringList &networks, QString *error = nullptr);

    void setDeadlines(std::chrono::milliseconds head, std::chrono::milliseconds body);
    void setKeepAlive(std::chrono::milliseconds idle, int requestsPerConnection);
    // `total` caps all connections (0: as the descriptors allow; never more);
    // the others cap connections that have not yet completed a request, per
    // caller's address (an IPv6 one by its /64) and in total. A newcomer past
    // a cap takes the place of the connection that has sent nothing for
    // longest (see http::Admission).
    void setConnectionCaps(int total, int pendingPerAddress, int pendingTotal = kDefaultMaxPendingConnections);
    // Bytes of request bodies received at once, together: past them a
    // request with a body is refused (503) before any of it is read.
    void setBodyBudget(qint64 bytes);

    // Binds to host:port (port 0: any free port). False with `error` set when
    // the address cannot be used.
    bool bind(const QString &host, int port, QString *error = nullptr);
    int port() const;
    // Whether the address bound is a wildcard (0.0.0.0, [::]).
    bool listensOnEveryAddress() const;

    // Connections open, and those of them that have not completed a request.
    int openConnections() const;
    int pendingConnections() const;
    // What is left of the budget for bodies.
    qint64 bodyBudgetLeft() const;
    // Calls `alive` (on a network thread) once a task has gone through the
    // network threads and the workers and come back: never, while either
    // is wedged.
    void whenResponsive(std::function<void()> alive);

    // Serves on threads of its own until stop().
    void start();
    // Stops serving, for good: callers still sending their request are hung
    // up on at once, requests already being answered are finished.
    void stop();

private:
    std::unique_ptr<RequestHandler> m_ownHandler; // for a bare function
    std::unique_ptr<http::Engine> m_engine;
    QString m_certificateFile, m_keyFile;
};

} // namespace alertserver
