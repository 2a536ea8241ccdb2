#include "common/HttpExchange.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

#include <cerrno>

#include <sys/socket.h>

namespace common {

namespace {

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
// A connection idle this long is not used again: the server may be closing it
// just as the request goes out, and a request is never sent twice.
constexpr int kIdleReuseMs = 30000;

// Whether a connection can carry another request: open, encrypted where it
// should be, nothing left to send and nothing unread, and the peer has not
// closed it (a peek at the socket, so that a close the event loop has not yet
// reported counts too).
bool fitForAnotherRequest(QTcpSocket *socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesAvailable() > 0
        || socket->bytesToWrite() > 0)
        return false;
    if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
        if (!ssl->isEncrypted() || ssl->encryptedBytesToWrite() > 0)
            return false;
    }
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return false;
    char byte = 0;
    const ssize_t n = ::recv(static_cast<int>(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void closeSocket(QTcpSocket *socket)
{
    socket->abort();
    socket->deleteLater();
}

// The connections kept open between requests, at most one per origin, and the
// last TLS session of each origin. It lives on the application's thread as a
// child of the application, so it ends with it and takes its sockets along.
class IdleConnections : public QObject
{
public:
    // Null on any other thread: there every request has a connection of its own.
    static IdleConnections *forThisThread()
    {
        static QPointer<IdleConnections> pool;
        QCoreApplication *app = QCoreApplication::instance();
        if (!app || app->thread() != QThread::currentThread())
            return nullptr;
        if (!pool)
            pool = new IdleConnections(app);
        return pool;
    }

    // The kept connection of an origin if it may carry a request now; the
    // caller owns it. A kept one that may not is closed.
    QTcpSocket *take(const QString &origin)
    {
        const auto it = m_idle.find(origin);
        if (it == m_idle.end())
            return nullptr;
        const Idle idle = *it;
        m_idle.erase(it);
        QTcpSocket *socket = idle.socket;
        if (!socket)
            return nullptr;
        socket->disconnect(this);
        delete idle.expiry;
        if (idle.since.elapsed() >= kIdleReuseMs || !fitForAnotherRequest(socket)) {
            closeSocket(socket);
            return nullptr;
        }
        return socket;
    }

    // Keeps a connection after a whole reply, closing the origin's older one.
    void keep(const QString &origin, QTcpSocket *socket)
    {
        forget(origin);
        socket->setParent(this);
        Idle idle;
        idle.socket = socket;
        idle.since.start();
        idle.expiry = new QTimer(socket);
        idle.expiry->setSingleShot(true);
        m_idle.insert(origin, idle);
        // Any sign of life while idle (bytes, a close, an error) or the end of
        // the reuse window ends it.
        const QPointer<QTcpSocket> guard(socket);
        const auto end = [this, origin, guard] {
            const auto it = m_idle.constFind(origin);
            if (it != m_idle.cend() && it->socket == guard)
                forget(origin);
        };
        connect(socket, &QTcpSocket::readyRead, this, end);
        connect(socket, &QTcpSocket::disconnected, this, end);
        connect(socket, &QTcpSocket::errorOccurred, this, end);
        connect(idle.expiry, &QTimer::timeout, this, end);
        idle.expiry->start(kIdleReuseMs);
    }

    int idleCount() const
    {
        int n = 0;
        for (const Idle &idle : m_idle)
            n += idle.socket ? 1 : 0;
        return n;
    }

    QByteArray ticket(const QString &origin) const { return m_tickets.value(origin); }
    void setTicket(const QString &origin, const QByteArray &ticket)
    {
        if (!ticket.isEmpty())
            m_tickets.insert(origin, ticket);
    }

private:
    using QObject::QObject;

    struct Idle
    {
        QPointer<QTcpSocket> socket;
        QTimer *expiry = nullptr; // a child of the socket
        QElapsedTimer since;
    };

    void forget(const QString &origin)
    {
        const auto it = m_idle.find(origin);
        if (it == m_idle.end())
            return;
        QPointer<QTcpSocket> socket = it->socket;
        m_idle.erase(it);
        if (socket) {
            socket->disconnect(this);
            closeSocket(socket);
        }
    }

    QHash<QString, Idle> m_idle;
    QHash<QString, QByteArray> m_tickets;
};

bool mayStandInTarget(unsigned char c)
{
    if (c <= 0x20 || c >= 0x7F)
        return false;
    switch (c) {
    case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
        return false;
    default:
        return true;
    }
}

struct SplitUrl
{
    QString scheme;
    QString authority; // without user info
    QByteArray target;
};

bool splitUrl(const QString &url, SplitUrl &out)
{
    const qsizetype sep = url.indexOf(QStringLiteral("://"));
    if (sep <= 0)
        return false;
    out.scheme = url.left(sep).toLower();
    qsizetype rest = sep + 3;
    qsizetype end = rest;
    while (end < url.size() && url[end] != u'/' && url[end] != u'?' && url[end] != u'#')
        ++end;
    QString authority = url.mid(rest, end - rest);
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0)
        authority = authority.mid(at + 1);
    if (authority.isEmpty())
        return false;
    out.authority = authority;
    QString target = url.mid(end);
    const qsizetype hash = target.indexOf(u'#');
    if (hash >= 0)
        target.truncate(hash);
    if (target.isEmpty() || target[0] == u'?')
        target.prepend(u'/');
    QByteArray bytes;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char ch : target.toUtf8()) {
        const auto c = static_cast<unsigned char>(ch);
        if (mayStandInTarget(c)) {
            bytes.append(ch);
        } else {
            bytes.append('%');
            bytes.append(kHex[c >> 4]);
            bytes.append(kHex[c & 0x0F]);
        }
    }
    out.target = bytes;
    return true;
}

} // namespace

HttpExchange::HttpExchange(QObject *parent)
    : QObject(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { fail(QStringLiteral("timed out")); });
}

HttpExchange::~HttpExchange()
{
    cleanup();
}

QByteArray HttpExchange::requestTarget(const QString &url)
{
    SplitUrl split;
    return splitUrl(url, split) ? split.target : QByteArray();
}

int HttpExchange::idleConnectionCount()
{
    IdleConnections *pool = IdleConnections::forThisThread();
    return pool ? pool->idleCount() : 0;
}

void HttpExchange::start(const QByteArray &method, const QString &url, const HttpHeaders &headers,
                         const QByteArray &body)
{
    abandon();
    ++m_generation;
    m_running = true;
    m_finished = false;
    m_result = HttpResult();
    m_buffer.clear();
    m_headDone = false;
    m_mode = BodyMode::UntilClose;
    m_contentLength = 0;
    m_chunkRemaining = -1;
    m_chunkTrailer = false;
    m_mayKeep = false;
    m_peerClosed = false;
    m_method = method.toUpper();

    SplitUrl split;
    const bool parsed = splitUrl(url, split);
    const QUrl hostUrl(split.scheme + QStringLiteral("://") + split.authority + u'/');
    const bool secure = split.scheme == u"https";
    if (!parsed || (!secure && split.scheme != u"http") || !hostUrl.isValid()
        || hostUrl.host().isEmpty()) {
        const quint64 generation = m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation && m_running)
                fail(QStringLiteral("address cannot be fetched"));
        });
        return;
    }

    QByteArray request = m_method + ' ' + split.target + " HTTP/1.1\r\n";
    request += "Host: " + split.authority.toUtf8() + "\r\n";
    bool hasAccept = false;
    for (const auto &[name, value] : headers) {
        request += name + ": " + value + "\r\n";
        if (name.compare("Accept", Qt::CaseInsensitive) == 0)
            hasAccept = true;
    }
    if (!hasAccept)
        request += "Accept: */*\r\n";
    if (!body.isEmpty() || m_method == "POST" || m_method == "PUT")
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    request += "\r\n";
    request += body;
    m_request = request;

    const quint16 port = static_cast<quint16>(hostUrl.port(secure ? 443 : 80));
    m_origin = split.scheme + QStringLiteral("://") + hostUrl.host().toLower() + u':' + QString::number(port);
    m_deadline.start(m_timeoutMs);
    IdleConnections *pool = IdleConnections::forThisThread();
    if (QTcpSocket *kept = pool ? pool->take(m_origin) : nullptr) {
        kept->setParent(this);
        m_socket = kept;
        attach(kept);
        onConnected();
        return;
    }

    if (!secure) {
        m_socket = new QTcpSocket(this);
        attach(m_socket);
        connect(m_socket, &QTcpSocket::connected, this, &HttpExchange::onConnected);
        m_socket->connectToHost(hostUrl.host(), port);
        return;
    }
    auto *ssl = new QSslSocket(this);
    m_socket = ssl;
    attach(ssl);
    // The session is kept so that the next connection to this origin resumes
    // it instead of making a full handshake.
    QSslConfiguration tls = ssl->sslConfiguration();
    tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    if (pool)
        tls.setSessionTicket(pool->ticket(m_origin));
    ssl->setSslConfiguration(tls);
    const auto keepTicket = [this, ssl] {
        if (IdleConnections *p = IdleConnections::forThisThread())
            p->setTicket(m_origin, ssl->sslConfiguration().sessionTicket());
    };
    connect(ssl, &QSslSocket::newSessionTicketReceived, this, keepTicket);
    connect(ssl, &QSslSocket::encrypted, this, keepTicket);
    connect(ssl, &QSslSocket::encrypted, this, &HttpExchange::onConnected);
    ssl->connectToHostEncrypted(hostUrl.host(), port);
}

void HttpExchange::attach(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::readyRead, this, &HttpExchange::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &HttpExchange::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            // The peer's end of the stream; over TLS its closing message,
            // after which a server may wait for ours before it closes.
            m_peerClosed = true;
            onDisconnected();
            return;
        }
        fail(m_socket ? m_socket->errorString() : QStringLiteral("socket error"));
    });
}

void HttpExchange::abandon()
{
    ++m_generation;
    m_running = false;
    cleanup();
}

void HttpExchange::cleanup()
{
    m_deadline.stop();
    if (QTcpSocket *socket = m_socket) {
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void HttpExchange::onConnected()
{
    if (m_socket)
        m_socket->write(m_request);
}

void HttpExchange::onReadyRead()
{
    if (!m_running || !m_socket)
        return;
    m_buffer += m_socket->readAll();
    if (!m_headDone) {
        if (!parseHead())
            return;
    }
    if (m_headDone && m_running)
        parseBody(false);
}

void HttpExchange::onDisconnected()
{
    if (!m_running)
        return;
    if (m_socket)
        m_buffer += m_socket->readAll();
    if (!m_headDone && !parseHead()) {
        if (m_running)
            fail(QStringLiteral("connection closed before the reply head"));
        return;
    }
    if (m_running && !parseBody(true) && m_running)
        fail(QStringLiteral("connection closed before the whole reply arrived"));
}

// Reads the status line and headers once they are all in the buffer.
// Answers whether the head is done; failures end the exchange.
bool HttpExchange::parseHead()
{
    for (;;) {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > kMaxHeadBytes)
                fail(QStringLiteral("reply head too large"));
            return false;
        }
        const QByteArray head = m_buffer.left(end);
        m_buffer.remove(0, end + 4);
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> statusParts = lines.value(0).trimmed().split(' ');
        if (statusParts.size() < 2 || !statusParts[0].startsWith("HTTP/")) {
            fail(QStringLiteral("not an HTTP reply"));
            return false;
        }
        bool ok = false;
        const int status = statusParts[1].toInt(&ok);
        if (!ok || status < 100 || status > 999) {
            fail(QStringLiteral("bad status line"));
            return false;
        }
        if (status >= 100 && status < 200)
            continue; // interim reply; the real head follows
        m_result.status = status;
        m_mayKeep = statusParts[0] == "HTTP/1.1";
        bool chunked = false;
        qint64 length = -1;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
                chunked = true;
            } else if (name == "connection") {
                for (const QByteArray &token : value.split(','))
                    m_mayKeep = m_mayKeep && token.trimmed().toLower() != "close";
            } else if (name == "content-length") {
                bool okLength = false;
                const qint64 parsed = value.toLongLong(&okLength);
                if (!okLength || parsed < 0) {
                    fail(QStringLiteral("bad content length"));
                    return false;
                }
                length = parsed;
            }
        }
        if (m_method == "HEAD" || status == 204 || status == 304)
            m_mode = BodyMode::None;
        else if (chunked)
            m_mode = BodyMode::Chunked;
        else if (length >= 0)
            m_mode = BodyMode::Length;
        else
            m_mode = BodyMode::UntilClose;
        m_contentLength = length;
        if (m_mode == BodyMode::Length && length > m_maxBody) {
            fail(QStringLiteral("reply body too large"));
            return false;
        }
        m_headDone = true;
        return true;
    }
}

// Moves what the buffer holds into the body. Answers whether the body is
// complete (and then finishes the exchange).
bool HttpExchange::parseBody(bool atEnd)
{
    switch (m_mode) {
    case BodyMode::None:
        succeed();
        return true;
    case BodyMode::Length: {
        const qint64 want = m_contentLength - m_result.body.size();
        appendBody(m_buffer.left(want));
        m_buffer.remove(0, qMin(want, m_buffer.size())); // what stays is beyond the reply
        if (m_result.body.size() >= m_contentLength) {
            succeed();
            return true;
        }
        return false;
    }
    case BodyMode::UntilClose:
        if (m_result.body.size() + m_buffer.size() > m_maxBody) {
            fail(QStringLiteral("reply body too large"));
            return false;
        }
        appendBody(m_buffer);
        m_buffer.clear();
        if (atEnd) {
            succeed();
            return true;
        }
        return false;
    case BodyMode::Chunked:
        for (;;) {
            if (m_chunkTrailer) {
                // Trailer lines end with an empty line.
                const qsizetype eol = m_buffer.indexOf("\r\n");
                if (eol < 0)
                    return false;
                const bool empty = eol == 0;
                m_buffer.remove(0, eol + 2);
                if (empty) {
                    succeed();
                    return true;
                }
                continue;
            }
            if (m_chunkRemaining < 0) {
                const qsizetype eol = m_buffer.indexOf("\r\n");
                if (eol < 0) {
                    if (m_buffer.size() > 1024)
                        fail(QStringLiteral("bad chunk"));
                    return false;
                }
                QByteArray sizeText = m_buffer.left(eol);
                const qsizetype semicolon = sizeText.indexOf(';');
                if (semicolon >= 0)
                    sizeText.truncate(semicolon);
                bool ok = false;
                const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0) {
                    fail(QStringLiteral("bad chunk"));
                    return false;
                }
                m_buffer.remove(0, eol + 2);
                if (size == 0) {
                    m_chunkTrailer = true;
                    continue;
                }
                if (m_result.body.size() + size > m_maxBody) {
                    fail(QStringLiteral("reply body too large"));
                    return false;
                }
                m_chunkRemaining = size;
            }
            if (m_chunkRemaining > 0) {
                const QByteArray part = m_buffer.left(m_chunkRemaining);
                appendBody(part);
                m_buffer.remove(0, part.size());
                m_chunkRemaining -= part.size();
                if (m_chunkRemaining > 0)
                    return false;
            }
            // Each chunk's data ends with CRLF.
            if (m_buffer.size() < 2)
                return false;
            m_buffer.remove(0, 2);
            m_chunkRemaining = -1;
        }
    }
    return false;
}

void HttpExchange::appendBody(const QByteArray &part)
{
    if (part.isEmpty())
        return;
    m_result.body += part;
    Q_EMIT bodyReceived(part);
}

void HttpExchange::succeed()
{
    m_result.ok = true;
    complete();
}

void HttpExchange::fail(const QString &why)
{
    if (!m_running)
        return;
    m_result.ok = false;
    m_result.body.clear();
    m_result.error = why;
    complete();
}

void HttpExchange::complete()
{
    if (!m_running)
        return;
    m_running = false;
    m_finished = true;
    // Only a connection that ended a whole reply exactly where it said it
    // would, and that the server did not say it closes, serves again.
    if (m_result.ok && m_mayKeep && !m_peerClosed && m_mode != BodyMode::UntilClose && m_buffer.isEmpty() && m_socket
        && fitForAnotherRequest(m_socket)) {
        if (IdleConnections *pool = IdleConnections::forThisThread()) {
            QTcpSocket *socket = m_socket;
            m_socket = nullptr;
            socket->disconnect(this);
            pool->keep(m_origin, socket);
        }
    }
    cleanup();
    Q_EMIT finished();
}

} // namespace common
