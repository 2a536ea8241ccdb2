#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

#include <sys/types.h>

struct ssl_ctx_st;
struct ssl_st;

namespace alertserver {

struct SmtpRelay;

// One connection to a relay, in clear text or TLS, every wait bounded by a
// deadline and by the server's stop signal.
class SmtpChannel
{
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // `stopFd` becomes readable when the server stops (-1: never).
    explicit SmtpChannel(int stopFd);
    ~SmtpChannel();
    SmtpChannel(const SmtpChannel &) = delete;
    SmtpChannel &operator=(const SmtpChannel &) = delete;

    bool connect(const SmtpRelay &relay, Deadline d, QString *error);
    // With `verify`, the relay's certificate must name `host`.
    bool startTls(ssl_ctx_st *context, const QString &host, bool verify, Deadline d, QString *error);
    bool write(const QByteArray &bytes, Deadline d, QString *error);
    // One line, without its line end.
    bool readLine(QByteArray *line, Deadline d, QString *error);

    // Bytes that arrived before they were asked for.
    bool hasUnread() const { return !m_in.isEmpty(); }
    bool encrypted() const { return m_ssl != nullptr; }
    // Our end of the connection as an address literal, for EHLO.
    QByteArray localLiteral() const;

    // OpenSSL's last error as text, and the queue of errors cleared.
    static QString tlsError();

private:
    // The bytes moved, or 0 and the event to wait for (0: the connection is gone).
    struct Step
    {
        qsizetype bytes;
        short event;
    };

    template <typename Call>
    Step tlsCall(Call call);
    Step plainCall(ssize_t n, short event);
    bool failed(QString *error);
    bool wait(short events, Deadline d, QString *error);

    int m_fd = -1;
    int m_stopFd;
    ssl_st *m_ssl = nullptr;
    QByteArray m_in;
    QString m_lastError;
};

} // namespace alertserver
