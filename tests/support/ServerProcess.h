#pragma once

#include "common/HttpExchange.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

namespace testsupport {

// One request as the server's request log reports it (logged once answered).
struct LoggedRequest
{
    QByteArray method;
    QByteArray target; // path and query as sent
    QByteArray path;
    QByteArray query;
    int status = 0;
};

// The alertserver program of the build as a process, serving from a store,
// outbox and skins folder of its own inside `folder`, with its request log on.
// It can be stopped and started again on the port it had; the request log
// runs on across restarts.
class ServerProcess
{
public:
    struct CommandResult
    {
        int exitCode = -1;
        QString out;
        QString err;
    };

    explicit ServerProcess(const QString &folder);
    // An installed alertserver, `program`, that keeps its store, outbox and
    // skins where it does by default, `stateFolder`: neither serving nor its
    // commands are told where they are.
    ServerProcess(const QString &program, const QString &stateFolder);
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Serves https with the certificate and key (PEM) from the next start on.
    void useTls(const QString &certificateFile, const QString &keyFile);

    // Starts serving on 127.0.0.1: on a free port the first time, on the same
    // port again after stop(). True once the port is bound (10 s at most).
    bool start();
    // SIGTERM, then waits for a clean exit (10 s at most).
    bool stop();
    bool isRunning() const;

    // Serves from this store (a file or a postgresql:// URI) instead of one
    // in the folder; set before start().
    void setDatabase(const QString &location) { m_database = location; }

    int port() const { return m_port; }
    QString baseUrl() const;
    // The --db value: the store's file, or the database set.
    QString dbPath() const;
    QString outboxPath() const;

    // A command of the program against the same store ("alert", "logout",
    // "seed-admin", ...), run to its end (30 s at most).
    CommandResult command(const QStringList &args) const;

    // Every request answered so far, oldest first.
    QList<LoggedRequest> requests();
    // The answered requests for one path, from position `from` of requests() on.
    QList<LoggedRequest> requestsFor(const QByteArray &path, int from = 0);
    int countFor(const QByteArray &path, int from = 0) { return int(requestsFor(path, from).size()); }
    // True once no request for the path has come for two and a half poll
    // periods (5 s); false when they go on for 15 s.
    bool fallsQuiet(const QByteArray &path);
    // The outbox's e-mail files, by name.
    QStringList outboxFiles() const;
    QString mail(const QString &name) const;
    // The texts of the outbox's e-mails whose "To:" header is the address, oldest first.
    QStringList mailsTo(const QString &address) const;

private:
    void collectLog();

    QString m_program;
    QString m_folder;
    QString m_database;
    bool m_ownDefaults = false;
    QStringList m_tls; // the TLS options, empty for http
    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
    QByteArray m_pending;
    QList<LoggedRequest> m_requests;
};

// One GET of the address through the programs' own HTTP exchange, waited for
// (it has a deadline of its own).
common::HttpResult httpGet(const QString &url);

} // namespace testsupport
