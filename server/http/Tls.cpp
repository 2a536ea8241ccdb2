#include "server/http/Tls.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cstring>
#include <stdexcept>

namespace alertserver::http {

namespace ssl = boost::asio::ssl;

namespace {

// TLS 1.2: key exchange by ECDHE only, so a key stolen later opens no
// recorded session, and AEAD ciphers only (no CBC with SHA-1). TLS 1.3
// offers nothing else anyway; its suites stay OpenSSL's.
const char kTls12Suites[] = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                            "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                            "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Where each context keeps its TicketKeys.
int ticketKeysIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int onTicket(SSL *s, unsigned char *name, unsigned char *iv, EVP_CIPHER_CTX *cipher, EVP_MAC_CTX *mac, int encrypt)
{
    auto *keys = static_cast<TicketKeys *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(s), ticketKeysIndex()));
    return keys ? keys->seal(name, iv, cipher, mac, encrypt) : 0;
}

} // namespace

TicketKeys::TicketKeys() : m_current(fresh()), m_previous(fresh()), m_since(std::chrono::steady_clock::now()) {}

TicketKeys::Key TicketKeys::fresh()
{
    Key k{};
    if (RAND_bytes(k.name.data(), int(k.name.size())) != 1 || RAND_bytes(k.cipher.data(), int(k.cipher.size())) != 1
        || RAND_bytes(k.mac.data(), int(k.mac.size())) != 1)
        throw std::runtime_error("no random bytes for a session ticket key");
    return k;
}

void TicketKeys::rotate()
{
    std::lock_guard lock(m_mutex);
    turn();
}

void TicketKeys::turn()
{
    const Key next = fresh();
    m_previous = m_current;
    m_current = next;
    m_since = std::chrono::steady_clock::now();
}

int TicketKeys::seal(unsigned char name[16], unsigned char iv[16], EVP_CIPHER_CTX *cipher, EVP_MAC_CTX *mac,
                     int encrypt)
{
    std::unique_lock lock(m_mutex);
    if (encrypt && std::chrono::steady_clock::now() - m_since >= kRotation) {
        try {
            turn();
        } catch (const std::exception &) {
            return -1;
        }
    }
    const Key *key = &m_current;
    int answer = 1;
    if (encrypt) {
        if (RAND_bytes(iv, EVP_MAX_IV_LENGTH) != 1)
            return -1;
        std::memcpy(name, key->name.data(), key->name.size());
    } else if (std::memcmp(name, m_current.name.data(), 16) == 0) {
        answer = 1;
    } else if (std::memcmp(name, m_previous.name.data(), 16) == 0) {
        key = &m_previous;
        answer = 2; // opened, and sealed again with the current key
    } else {
        return 0; // unknown or expired: a full handshake
    }
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, const_cast<unsigned char *>(key->mac.data()),
                                          key->mac.size()),
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    const int cipherReady = encrypt
        ? EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key->cipher.data(), iv)
        : EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key->cipher.data(), iv);
    if (cipherReady != 1 || EVP_MAC_CTX_set_params(mac, params) != 1)
        return -1;
    return answer;
}

std::shared_ptr<ssl::context> serverTls(const QString &certificateFile, const QString &keyFile,
                                        std::shared_ptr<TicketKeys> tickets, QString *error)
{
    try {
        ssl::context context(ssl::context::tls_server);
        context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3
                            | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
        SSL_CTX *native = context.native_handle();
        if (SSL_CTX_set_cipher_list(native, kTls12Suites) != 1)
            throw std::runtime_error("the TLS 1.2 suites are not available");
        context.use_certificate_chain_file(certificateFile.toStdString());
        context.use_private_key_file(keyFile.toStdString(), ssl::context::pem);
        if (SSL_CTX_check_private_key(native) != 1)
            throw std::runtime_error("the key does not belong to the certificate");
        // Tickets alone carry resumed sessions: no cache of sessions here.
        SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_timeout(native, long(std::chrono::seconds(TicketKeys::kRotation).count()));
        SSL_CTX_set_ex_data(native, ticketKeysIndex(), tickets.get());
        SSL_CTX_set_tlsext_ticket_key_evp_cb(native, onTicket);
        // The context keeps its keys alive.
        return std::shared_ptr<ssl::context>(new ssl::context(std::move(context)),
                                             [tickets](ssl::context *c) { delete c; });
    } catch (const std::exception &e) {
        if (error)
            *error = QStringLiteral("cannot use the certificate %1 with the key %2: %3")
                         .arg(certificateFile, keyFile, QString::fromLocal8Bit(e.what()));
        return nullptr;
    }
}

} // namespace alertserver::http
