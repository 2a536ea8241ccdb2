#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <utility>

class QTcpSocket;

namespace common {

struct HttpResult
{
    bool ok = false;      // a whole reply arrived; false: callers treat it as unreadable
    int status = 0;       // the HTTP status code, for logs and tests only
    QByteArray body;      // the reply body (empty on failure)
    QString error;        // why it failed, for tests and diagnostics
};

using HttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

// One HTTP/1.1 request and its reply, on the thread that owns the object.
//
// The address goes out exactly as it was built: the request target is the text
// after the host, byte for byte ("//" included; only bytes that may not stand
// in a request line are percent-encoded). Every exchange has an overall
// deadline (30 s by default) and a cap on the body size, so a server that
// never answers, drips, or sends without end always ends in a failure instead
// of a hang. Redirects are not followed.
//
// The exchange object is used for one request at a time; the connection under
// it may outlive it. After a whole reply that leaves the connection open, the
// connection is kept idle for the next request to the same scheme, host and
// port (one per origin, on the application's thread). A request takes a kept
// connection only when it has been idle for less than 30 s and shows no sign
// of having been closed; otherwise, or while the kept one is busy, it opens
// its own. A request is never sent twice: once a byte of it is written, any
// failure ends it. After a failure, a time-out, abandon(), "Connection: close",
// an HTTP/1.0 reply, a body read until the close or bytes beyond the reply,
// the connection is closed. New TLS connections resume the last session
// (ticket) of their origin.
class HttpExchange : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 30000;
    static constexpr qint64 kMaxBodyBytes = 16 * 1024 * 1024;

    explicit HttpExchange(QObject *parent = nullptr);
    ~HttpExchange() override;

    void setTimeout(int ms) { m_timeoutMs = ms; }
    void setMaxBodyBytes(qint64 bytes) { m_maxBody = bytes; }

    // Starts the request; returns at once. finished() follows exactly once,
    // never from inside start(). Starting again abandons the running request.
    void start(const QByteArray &method, const QString &url, const HttpHeaders &headers = {},
               const QByteArray &body = {});
    void get(const QString &url) { start("GET", url); }

    // Drops the running request; no finished() follows for it.
    void abandon();

    bool isRunning() const { return m_running; }
    bool isFinished() const { return m_finished; }
    const HttpResult &result() const { return m_result; }

    // The request target that start() derives from an address (for tests).
    static QByteArray requestTarget(const QString &url);
    // How many connections are being kept idle on this thread (for tests).
    static int idleConnectionCount();

Q_SIGNALS:
    void finished();
    // Each part of the body as it arrives, in order, before finished(); the
    // parts make up result().body of a successful exchange. Receivers must
    // not start or abandon the exchange from here.
    void bodyReceived(const QByteArray &part);

private:
    void attach(QTcpSocket *socket);
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void fail(const QString &why);
    void succeed();
    void complete();
    bool parseHead();
    bool parseBody(bool atEnd);
    void appendBody(const QByteArray &part);
    void cleanup();

    enum class BodyMode { Length, Chunked, UntilClose, None };

    QPointer<QTcpSocket> m_socket;
    QString m_origin;
    QTimer m_deadline;
    int m_timeoutMs = kTimeoutMs;
    qint64 m_maxBody = kMaxBodyBytes;
    bool m_running = false;
    bool m_finished = false;
    quint64 m_generation = 0;
    QByteArray m_request;
    QByteArray m_buffer;
    bool m_headDone = false;
    BodyMode m_mode = BodyMode::UntilClose;
    qint64 m_contentLength = 0;
    qint64 m_chunkRemaining = -1; // -1: expecting a chunk-size line
    bool m_chunkTrailer = false;
    bool m_mayKeep = false; // the reply head lets the connection serve another request
    bool m_peerClosed = false;
    QByteArray m_method;
    HttpResult m_result;
};

} // namespace common
