#pragma once

#include <QString>

#include <boost/asio/ssl/context.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>

namespace alertserver::http {

// The keys that seal session tickets, so that a client coming back resumes
// its session without a full handshake. Held in memory only: a restart, or
// another server process on the same store, starts with keys of its own, and
// its clients make one full handshake. The current key seals; after a
// rotation the previous one still opens the tickets it sealed (and they are
// sealed again with the current one), so a ticket lives between one and two
// rotation periods.
class TicketKeys
{
public:
    static constexpr std::chrono::hours kRotation{1};

    TicketKeys();
    // A fresh current key; the current one becomes the previous one.
    void rotate();

    // OpenSSL's ticket callback: `encrypt` 1 seals with the current key
    // (rotating first when it is due), 0 opens with the key `name` names.
    // Answers as SSL_CTX_set_tlsext_ticket_key_evp_cb wants.
    int seal(unsigned char name[16], unsigned char iv[16], EVP_CIPHER_CTX *cipher, EVP_MAC_CTX *mac, int encrypt);

private:
    struct Key
    {
        std::array<unsigned char, 16> name;
        std::array<unsigned char, 32> cipher;
        std::array<unsigned char, 32> mac;
    };
    static Key fresh();
    // rotate() with m_mutex held.
    void turn();

    std::mutex m_mutex;
    Key m_current;
    Key m_previous;
    std::chrono::steady_clock::time_point m_since;
};

// The server's TLS: 1.2 with ECDHE and AEAD suites alone (forward secrecy),
// and 1.3, with the certificate chain and key of the PEM files and session
// tickets sealed with `tickets`. Null, with `error` set, when they cannot be
// used together.
std::shared_ptr<boost::asio::ssl::context> serverTls(const QString &certificateFile, const QString &keyFile,
                                                     std::shared_ptr<TicketKeys> tickets, QString *error);

} // namespace alertserver::http
