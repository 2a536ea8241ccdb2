#pragma once

#include "Patience.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <utility>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

// What the scripted server answers to one request.
struct ScriptedReply
{
    enum class Kind {
        Normal,          // status line, headers, whole body
        Hang,            // read the request, never answer, keep the connection open
        Drop,            // close the connection without answering
        ResetAfterHead,  // send the head (with the full Content-Length), then reset the connection
        CutMidBody,      // send the head and half the body, then close
        Drip,            // send the whole reply one byte per dripIntervalMs
        Chunked,         // send the body with chunked transfer coding, in small chunks
        Raw,             // send the body as the whole reply, head and all, byte for byte
    };

    Kind kind = Kind::Normal;
    int status = 200;
    QByteArray contentType = "text/xml; charset=utf-8";
    QByteArray body;
    int delayMs = 0;          // wait this long before answering
    int dripIntervalMs = 1000;

    static ScriptedReply xml(const QByteArray &body);
    // An XML reply with the declaration, a root and one child per text, in order.
    static ScriptedReply xmlChildren(const QStringList &children);
    static ScriptedReply text(const QByteArray &body, const QByteArray &contentType = "text/plain");
    static ScriptedReply html(const QByteArray &body) { return text(body, "text/html"); }
    static ScriptedReply picture(const QByteArray &bytes, const QByteArray &contentType);
    static ScriptedReply hang();
    static ScriptedReply drop();
    static ScriptedReply raw(const QByteArray &bytes) { return text(bytes).as(Kind::Raw); }
    ScriptedReply withStatus(int code) const { ScriptedReply r = *this; r.status = code; return r; }
    ScriptedReply withDelay(int ms) const { ScriptedReply r = *this; r.delayMs = ms; return r; }
    ScriptedReply as(Kind k) const { ScriptedReply r = *this; r.kind = k; return r; }
};

// One request as it arrived, byte for byte.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target;  // the raw request target, path and query exactly as sent
    QByteArray path;    // target up to "?"
    QByteArray query;   // target after "?" (without it); empty when there is none
    QList<std::pair<QByteArray, QByteArray>> headers; // in arrival order, names as sent
    QByteArray body;
    int connection = -1;    // the connection it came on, numbered from 0 as they were accepted
    qint64 arrivedMs = 0;   // since the server was made
    qint64 answeredMs = -1; // when the last byte of the answer was written; -1 if never

    // First header of that name (case-insensitive); empty when absent.
    QByteArray header(QByteArrayView name) const;
    bool hasHeader(QByteArrayView name) const;
};

// An HTTP/1.1 server on 127.0.0.1 that answers per path from a script and
// records every request in arrival order. It lives on the test's thread, so a
// test waits for it with QTRY_* or waitForRequestCount(), which spin the loop.
class ScriptedServer : public QObject
{
    Q_OBJECT
public:
    explicit ScriptedServer(QObject *parent = nullptr);
    ~ScriptedServer() override;

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port = 0);
    // Stops listening and drops every open connection (the server "goes away").
    void close();
    // Drops every open connection and goes on listening.
    void dropConnections();
    int connectionCount() const { return m_accepted; }
    bool isListening() const;
    quint16 port() const { return m_port; }
    QString baseUrl() const;

    // The standing reply for a path (the target without its query).
    void setReply(const QByteArray &path, const ScriptedReply &reply);
    // A one-shot reply for a path, used before the standing one, in queue order.
    void queueReply(const QByteArray &path, const ScriptedReply &reply);
    // Answer for paths with no script (default: 404, "not found").
    void setFallback(const ScriptedReply &reply) { m_fallback = reply; }

    int requestCount() const { return m_requests.size(); }
    const QList<RecordedRequest> &requests() const { return m_requests; }
    const RecordedRequest &request(int index) const { return m_requests.at(index); }
    QList<RecordedRequest> requestsFor(const QByteArray &path) const;
    int countFor(const QByteArray &path) const { return requestsFor(path).size(); }
    void clearRequests() { m_requests.clear(); }
    // Spins the event loop until at least n requests have arrived.
    bool waitForRequestCount(int n, int timeoutMs = patient(15000));
    qint64 elapsedMs() const { return m_clock.elapsed(); }

Q_SIGNALS:
    void requestArrived(int index);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int requestIndex);
    ScriptedReply takeReply(const QByteArray &path);
    void send(QTcpSocket *socket, int requestIndex, const ScriptedReply &reply, bool closeAfter);
    void answered(QTcpSocket *socket, int requestIndex, bool closeAfter);

    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    QHash<QByteArray, ScriptedReply> m_standing;
    QHash<QByteArray, QQueue<ScriptedReply>> m_queued;
    ScriptedReply m_fallback;
    QList<RecordedRequest> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QHash<QTcpSocket *, bool> m_busy; // a reply is being sent or withheld on this connection
    QHash<QTcpSocket *, int> m_numbers;
    int m_accepted = 0;
    QElapsedTimer m_clock;
};

} // namespace testsupport
