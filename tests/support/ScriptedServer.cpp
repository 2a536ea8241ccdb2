#include "ScriptedServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include <sys/socket.h>

namespace testsupport {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

QByteArray escapeXml(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

void resetConnection(QTcpSocket *socket)
{
    // A zero linger time makes the close send RST instead of FIN.
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        linger lg{1, 0};
        ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    socket->abort();
}

} // namespace

ScriptedReply ScriptedReply::xml(const QByteArray &body)
{
    ScriptedReply r;
    r.body = body;
    return r;
}

ScriptedReply ScriptedReply::xmlChildren(const QStringList &children)
{
    QByteArray body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<reply>";
    for (const QString &child : children)
        body += "<v>" + escapeXml(child) + "</v>";
    body += "</reply>\n";
    return xml(body);
}

ScriptedReply ScriptedReply::text(const QByteArray &body, const QByteArray &contentType)
{
    ScriptedReply r;
    r.body = body;
    r.contentType = contentType;
    return r;
}

ScriptedReply ScriptedReply::picture(const QByteArray &bytes, const QByteArray &contentType)
{
    return text(bytes, contentType);
}

ScriptedReply ScriptedReply::hang()
{
    ScriptedReply r;
    r.kind = Kind::Hang;
    return r;
}

ScriptedReply ScriptedReply::drop()
{
    ScriptedReply r;
    r.kind = Kind::Drop;
    return r;
}

QByteArray RecordedRequest::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool RecordedRequest::hasHeader(QByteArrayView name) const
{
    for (const auto &header : headers) {
        if (QByteArrayView(header.first).compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

ScriptedServer::ScriptedServer(QObject *parent)
    : QObject(parent)
{
    m_fallback = ScriptedReply::text("not found").withStatus(404);
    m_clock.start();
}

ScriptedServer::~ScriptedServer()
{
    close();
}

bool ScriptedServer::listen(quint16 port)
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &ScriptedServer::onNewConnection);
    }
    if (!m_server->listen(QHostAddress::LocalHost, port))
        return false;
    m_port = m_server->serverPort();
    return true;
}

void ScriptedServer::close()
{
    if (m_server)
        m_server->close();
    dropConnections();
}

void ScriptedServer::dropConnections()
{
    const QList<QTcpSocket *> sockets = m_buffers.keys();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_buffers.clear();
    m_busy.clear();
    m_numbers.clear();
}

bool ScriptedServer::isListening() const
{
    return m_server && m_server->isListening();
}

QString ScriptedServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void ScriptedServer::setReply(const QByteArray &path, const ScriptedReply &reply)
{
    m_standing.insert(path, reply);
}

void ScriptedServer::queueReply(const QByteArray &path, const ScriptedReply &reply)
{
    m_queued[path].enqueue(reply);
}

QList<RecordedRequest> ScriptedServer::requestsFor(const QByteArray &path) const
{
    QList<RecordedRequest> out;
    for (const RecordedRequest &r : m_requests) {
        if (r.path == path)
            out.append(r);
    }
    return out;
}

bool ScriptedServer::waitForRequestCount(int n, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_requests.size() < n) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void ScriptedServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_buffers.insert(socket, {});
        m_busy.insert(socket, false);
        m_numbers.insert(socket, m_accepted++);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_busy.remove(socket);
            m_numbers.remove(socket);
            socket->deleteLater();
        });
    }
}

void ScriptedServer::onReadyRead(QTcpSocket *socket)
{
    if (!m_buffers.contains(socket))
        return;
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    while (!m_busy.value(socket)) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QByteArray head = buffer.left(headEnd);
        const QList<QByteArray> lines = head.split('\n');
        RecordedRequest request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        qint64 length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon);
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                length = value.toLongLong();
        }
        if (buffer.size() < headEnd + 4 + length)
            return; // the body is still coming
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        const qsizetype q = request.target.indexOf('?');
        request.path = q < 0 ? request.target : request.target.left(q);
        request.query = q < 0 ? QByteArray() : request.target.mid(q + 1);
        request.connection = m_numbers.value(socket, -1);
        request.arrivedMs = m_clock.elapsed();
        m_requests.append(request);
        const int index = m_requests.size() - 1;
        m_busy[socket] = true;
        Q_EMIT requestArrived(index);
        answer(socket, index);
    }
}

ScriptedReply ScriptedServer::takeReply(const QByteArray &path)
{
    auto queued = m_queued.find(path);
    if (queued != m_queued.end() && !queued->isEmpty())
        return queued->dequeue();
    return m_standing.value(path, m_fallback);
}

void ScriptedServer::answer(QTcpSocket *socket, int requestIndex)
{
    const RecordedRequest &request = m_requests.at(requestIndex);
    const ScriptedReply reply = takeReply(request.path);
    const bool closeAfter = request.header("Connection").toLower() == "close";
    if (reply.delayMs > 0) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(reply.delayMs, this, [this, guard, requestIndex, reply, closeAfter] {
            if (guard && m_buffers.contains(guard.data()))
                send(guard, requestIndex, reply, closeAfter);
        });
    } else {
        send(socket, requestIndex, reply, closeAfter);
    }
}

void ScriptedServer::send(QTcpSocket *socket, int requestIndex, const ScriptedReply &reply,
                          bool closeAfter)
{
    using Kind = ScriptedReply::Kind;
    if (reply.kind == Kind::Hang)
        return; // the connection stays open and busy
    if (reply.kind == Kind::Drop) {
        socket->disconnectFromHost();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + reasonPhrase(reply.status) + "\r\n";
    head += "Content-Type: " + reply.contentType + "\r\n";
    if (reply.kind == Kind::Chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += "\r\n";

    switch (reply.kind) {
    case Kind::ResetAfterHead:
        socket->write(head);
        socket->flush();
        resetConnection(socket);
        return;
    case Kind::CutMidBody:
        socket->write(head + reply.body.left(reply.body.size() / 2));
        socket->flush();
        socket->disconnectFromHost();
        return;
    case Kind::Drip: {
        const QByteArray all = head + reply.body;
        QPointer<QTcpSocket> guard(socket);
        auto *timer = new QTimer(socket);
        auto position = std::make_shared<qsizetype>(0);
        connect(timer, &QTimer::timeout, this, [=, this] {
            if (!guard || *position >= all.size()) {
                timer->stop();
                return;
            }
            guard->write(all.mid((*position)++, 1));
            if (*position >= all.size()) {
                timer->stop();
                answered(guard, requestIndex, closeAfter);
            }
        });
        timer->start(reply.dripIntervalMs);
        return;
    }
    case Kind::Chunked: {
        QByteArray chunked;
        for (qsizetype i = 0; i < reply.body.size(); i += 7) {
            const QByteArray part = reply.body.mid(i, 7);
            chunked += QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n";
        }
        chunked += "0\r\n\r\n";
        socket->write(head);
        socket->write(chunked);
        break;
    }
    case Kind::Raw:
        socket->write(reply.body);
        break;
    default:
        socket->write(head + reply.body);
        break;
    }

    answered(socket, requestIndex, closeAfter);
}

// After the last byte of an answer: close, or read the next request.
void ScriptedServer::answered(QTcpSocket *socket, int requestIndex, bool closeAfter)
{
    m_requests[requestIndex].answeredMs = m_clock.elapsed();
    if (closeAfter) {
        socket->disconnectFromHost();
    } else if (m_busy.contains(socket)) {
        m_busy[socket] = false;
        if (!m_buffers.value(socket).isEmpty())
            QTimer::singleShot(0, this, [this, guard = QPointer<QTcpSocket>(socket)] {
                if (guard)
                    onReadyRead(guard);
            });
    }
}

} // namespace testsupport
