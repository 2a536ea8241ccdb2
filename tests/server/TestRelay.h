#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace servertest {

// A self-signed certificate for 127.0.0.1, made for the run; `pemPath`
// receives it for the client to trust.
struct TestCertificate
{
    explicit TestCertificate(const QString &pemPath)
    {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
        X509_EXTENSION *san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1");
        X509_add_ext(cert, san, -1);
        X509_EXTENSION_free(san);
        X509_sign(cert, key, EVP_sha256());
        if (FILE *f = std::fopen(pemPath.toLocal8Bit().constData(), "w")) {
            PEM_write_X509(f, cert);
            std::fclose(f);
        }
    }
    ~TestCertificate()
    {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
};

// A small SMTP relay on 127.0.0.1, one connection at a time. It is bound
// from the start but takes connections only after up(): until then a
// client's connection is refused, as by a relay that is down.
class TestRelay
{
public:
    enum class Tls { None, StartTls, Implicit };
    struct Behaviour
    {
        Tls tls = Tls::None;
        bool auth = false;         // offers AUTH PLAIN
        bool eightBitMime = true;
        bool injectAfterStartTls = false; // a second answer in clear text behind the 220
        bool stall = false;        // greets only after release()
        QHash<QByteArray, int> rcptCodes = {}; // recipient -> answer to RCPT (else 250)
    };

    explicit TestRelay(Behaviour behaviour, const TestCertificate *certificate = nullptr)
        : m_behaviour(std::move(behaviour)), m_stop(::eventfd(0, EFD_CLOEXEC))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), size);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &size);
        m_port = ntohs(a.sin_port);
        if (certificate) {
            m_tls = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate(m_tls, certificate->cert);
            SSL_CTX_use_PrivateKey(m_tls, certificate->key);
        }
    }
    ~TestRelay()
    {
        release();
        const quint64 one = 1;
        if (::write(m_stop, &one, sizeof one) == sizeof one && m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
        ::close(m_stop);
        SSL_CTX_free(m_tls);
    }

    int port() const { return m_port; }
    void up()
    {
        ::listen(m_listener, 8);
        m_thread = std::thread([this] { serve(); });
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_wake.notify_all();
    }
    // Every command received, "TLS " before those that came encrypted.
    QList<QByteArray> commands() const
    {
        std::lock_guard lock(m_mutex);
        return m_commands;
    }
    qsizetype count(const QByteArray &start) const
    {
        const QList<QByteArray> all = commands();
        return std::count_if(all.cbegin(), all.cend(), [&](const QByteArray &c) { return c.startsWith(start); });
    }
    // Each message as it was meant, the dots SMTP added taken away.
    QList<QByteArray> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

private:
    void serve()
    {
        for (;;) {
            pollfd p[2] = {{m_listener, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 || (p[1].revents & POLLIN))
                return;
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            timeval limit{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            session(fd);
            if (m_ssl) {
                SSL_free(m_ssl);
                m_ssl = nullptr;
            }
            ::close(fd);
        }
    }

    void session(int fd)
    {
        m_fd = fd;
        if (m_behaviour.tls == Tls::Implicit && !startTls())
            return;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_released || !m_behaviour.stall; });
        }
        if (!say("220 relay.test ESMTP"))
            return;
        QByteArray line;
        while (readLine(&line)) {
            {
                std::lock_guard lock(m_mutex);
                m_commands.append((m_ssl ? "TLS " : "") + line);
            }
            const QByteArray verb = line.left(4).toUpper();
            bool ok = true;
            if (verb == "EHLO") {
                QByteArray reply = "250-relay.test\r\n";
                if (m_behaviour.eightBitMime)
                    reply += "250-8BITMIME\r\n";
                if (m_behaviour.tls == Tls::StartTls && !m_ssl)
                    reply += "250-STARTTLS\r\n";
                if (m_behaviour.auth)
                    reply += "250-AUTH PLAIN\r\n";
                ok = say(reply + "250 HELP");
            } else if (verb == "STAR") {
                ok = say(m_behaviour.injectAfterStartTls ? "220 go ahead\r\n250-relay.test\r\n250 AUTH PLAIN" : "220 go ahead") && startTls();
            } else if (verb == "AUTH") {
                ok = say("235 welcome");
            } else if (verb == "RCPT") {
                const QByteArray to = line.mid(line.indexOf('<') + 1).chopped(1);
                const int code = m_behaviour.rcptCodes.value(to, 250);
                ok = say(QByteArray::number(code) + (code == 250 ? " ok" : " no such mailbox"));
            } else if (verb == "DATA") {
                ok = say("354 go on") && readMessage() && say("250 queued");
            } else if (verb == "QUIT") {
                say("221 bye");
                return;
            } else {
                ok = say(verb == "MAIL" || verb == "RSET" || verb == "HELO" ? "250 ok" : "500 what");
            }
            if (!ok)
                return;
        }
    }

    bool readMessage()
    {
        QByteArray message, line;
        while (readLine(&line)) {
            if (line == ".") {
                std::lock_guard lock(m_mutex);
                m_messages.append(message);
                return true;
            }
            message += (line.startsWith('.') ? line.mid(1) : line) + "\r\n";
        }
        return false;
    }

    bool startTls()
    {
        m_ssl = SSL_new(m_tls);
        SSL_set_fd(m_ssl, m_fd);
        return SSL_accept(m_ssl) == 1;
    }

    bool say(const QByteArray &text)
    {
        const QByteArray bytes = text + "\r\n";
        return m_ssl ? SSL_write(m_ssl, bytes.constData(), int(bytes.size())) == bytes.size()
                     : ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    // Lines end at LF, the CR before it dropped; bytes come one by one so
    // that none of a TLS handshake is read as text.
    bool readLine(QByteArray *line)
    {
        line->clear();
        char c = 0;
        while ((m_ssl ? SSL_read(m_ssl, &c, 1) : ::recv(m_fd, &c, 1, 0)) == 1) {
            if (c == '\n') {
                if (line->endsWith('\r'))
                    line->chop(1);
                return true;
            }
            line->append(c);
        }
        return false;
    }

    Behaviour m_behaviour;
    int m_listener = -1;
    int m_stop = -1;
    int m_port = 0;
    SSL_CTX *m_tls = nullptr;
    SSL *m_ssl = nullptr;
    int m_fd = -1;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_released = false;
    QList<QByteArray> m_commands;
    QList<QByteArray> m_messages;
    std::thread m_thread;
};

} // namespace servertest
