#pragma once

#include "common/HttpExchange.h"
#include "common/PositionalXml.h"
#include "server/controllers/AlertService.h"
#include "server/http/HttpFrontEnd.h"
#include "server/mail/MailDelivery.h"
#include "server/mail/Outbox.h"
#include "server/skins/SkinLibrary.h"
#include "server/store/Store.h"
#include "support/TestDatabase.h"

#include <QDir>
#include <QEventLoop>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace servertest {

// A real alert server on a free loopback port, with its outbox and skins in a
// fresh temporary folder and its store there or in a database of its own
// (testsupport::TestDatabase).
class RunningServer
{
public:
    // `deadline` bounds both the head and the body of each request.
    explicit RunningServer(int threads = 8,
                           std::chrono::milliseconds deadline = alertserver::HttpFrontEnd::kDefaultHeadDeadline)
        : database(dir.path())
    {
        store = std::make_unique<alertserver::Store>(database.location());
        outbox = std::make_unique<alertserver::Outbox>(dir.filePath(QStringLiteral("outbox")));
        delivery = std::make_unique<alertserver::MailDelivery>(store->mailQueue(), *outbox);
        skins = std::make_unique<alertserver::SkinLibrary>(dir.filePath(QStringLiteral("skins")));
        skins->ensureDefaultSkin();
        skins->keepPrivate(store->files());
        service = std::make_unique<alertserver::AlertService>(*store, *delivery, *skins, QString());
        front = std::make_unique<alertserver::HttpFrontEnd>(*service, threads);
        front->setDeadlines(deadline, deadline);
        front->bind(QStringLiteral("127.0.0.1"), 0);
        base = QStringLiteral("http://127.0.0.1:%1").arg(front->port());
        service->setFallbackBase(base);
        front->start();
    }

    ~RunningServer() { front->stop(); }

    // A request as the wizard sends it: "Content-Type" on every request.
    common::HttpResult wizard(const QByteArray &method, const QString &pathAndQuery, const QByteArray &body = {})
    {
        return send(method, pathAndQuery, {{"Content-Type", "application/x-www-form-urlencoded"}}, body);
    }

    // A request as the client sends it: a plain GET.
    common::HttpResult client(const QString &pathAndQuery) { return send("GET", pathAndQuery, {}, {}); }

    common::HttpResult send(const QByteArray &method, const QString &pathAndQuery, const common::HttpHeaders &headers,
                            const QByteArray &body)
    {
        common::HttpExchange exchange;
        QEventLoop loop;
        QObject::connect(&exchange, &common::HttpExchange::finished, &loop, &QEventLoop::quit);
        exchange.start(method, base + pathAndQuery, headers, body);
        loop.exec(); // the exchange always finishes: it has a deadline of its own
        return exchange.result();
    }

    // One request from another machine: a socket bound to `address` (any
    // of 127.0.0.0/8), the wizard's "Content-Type" and any further header
    // lines. Status 0 when no reply came.
    common::HttpResult from(const char *address, const QByteArray &method, const QString &pathAndQuery,
                            const QByteArray &body = {}, const QByteArray &headerLines = {})
    {
        common::HttpResult result;
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(quint16(front->port()));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const QByteArray request = method + ' ' + pathAndQuery.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            + "Content-Type: application/x-www-form-urlencoded\r\nConnection: close\r\n" + headerLines
            + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        QByteArray reply;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0
            && ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0
            && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == ssize_t(request.size())) {
            char buffer[4096];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                reply.append(buffer, n);
        }
        ::close(fd);
        const qsizetype end = reply.indexOf("\r\n\r\n");
        result.ok = reply.startsWith("HTTP/1.1 ") && end > 0;
        result.status = result.ok ? reply.mid(9, 3).toInt() : 0;
        result.body = result.ok ? reply.mid(end + 4) : QByteArray();
        return result;
    }

    // A fresh connection to the store, for checks behind the server's back.
    std::unique_ptr<alertserver::Connection> inspect() const { return database.connect(); }

    // SQLite's own check of the file; PostgreSQL keeps its files whole itself.
    bool intact() const { return database.isPostgres() || count("PRAGMA integrity_check") == 0; } // "ok" reads as 0

    qint64 count(alertserver::Sql sql) const
    {
        auto db = inspect();
        auto q = db->query(sql);
        return q.next() ? q.integer(0) : -1;
    }

    QStringList outboxFiles() const
    {
        return QDir(outbox->folder()).entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    }

    QString mail(const QString &name) const
    {
        QFile f(QDir(outbox->folder()).filePath(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir dir;
    testsupport::TestDatabase database;
    std::unique_ptr<alertserver::Store> store;
    std::unique_ptr<alertserver::Outbox> outbox;
    std::unique_ptr<alertserver::MailDelivery> delivery;
    std::unique_ptr<alertserver::SkinLibrary> skins;
    std::unique_ptr<alertserver::AlertService> service;
    std::unique_ptr<alertserver::HttpFrontEnd> front;
    QString base;
};

// The root's children as the programs read them: by position, text only.
// Empty when the reply is not well-formed.
inline QStringList replyChildren(const QByteArray &body)
{
    common::PositionalXml xml;
    if (!xml.loadText(body))
        return {QStringLiteral("<not well-formed>")};
    QStringList out;
    for (int i = 0; i < xml.rootChildCount(); ++i)
        out << xml.rootChildText(i);
    return out;
}

inline QStringList userChildren(const QByteArray &body, int element)
{
    common::PositionalXml xml;
    if (!xml.loadText(body))
        return {};
    const common::PositionalXml::Node user = xml.root().child(element);
    QStringList out;
    for (int i = 0; i < user.childCount(); ++i)
        out << user.childText(i);
    return out;
}

// Takes a store of the current version back to version 5, rows kept, so
// that tests of older versions start from what that version left.
inline void undoVersionSix(alertserver::Connection &db)
{
    db.execScript("DROP TABLE console_sessions; DROP TABLE receipts; DROP TABLE publications; DROP INDEX alerts_by_user; "
                  "ALTER TABLE alerts DROP COLUMN priority; ALTER TABLE alerts DROP COLUMN expires_at; "
                  "ALTER TABLE alerts DROP COLUMN resolved_at; CREATE INDEX alerts_by_user ON alerts(user_id, id); "
                  "ALTER TABLE client_sessions DROP COLUMN page_key; ALTER TABLE api_tokens DROP COLUMN scope");
}

} // namespace servertest
