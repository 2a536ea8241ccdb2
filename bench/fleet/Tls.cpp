#include "Tls.h"

#include "Reply.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace fleet {

namespace {

std::string sslError()
{
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return text;
}

bool writePem(const std::string &path, const std::function<int(FILE *)> &write)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    const bool ok = write(f) == 1;
    return std::fclose(f) == 0 && ok;
}

} // namespace

bool makeCertificate(const std::string &certificateFile, const std::string &keyFile, bool rsa, std::string *error)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"),
                                                            &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    bool ok = key && cert;
    if (ok) {
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7 * 24 * 3600);
        X509_NAME *name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert.get(), name);
        X509_set_pubkey(cert.get(), key.get());
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
        X509_EXTENSION *san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "IP:127.0.0.1");
        ok = san && X509_add_ext(cert.get(), san, -1) == 1;
        X509_EXTENSION_free(san);
        ok = ok && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    }
    ok = ok && writePem(keyFile, [&](FILE *f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    }) && writePem(certificateFile, [&](FILE *f) { return PEM_write_X509(f, cert.get()); });
    if (!ok && error)
        *error = "cannot make the certificate: " + sslError();
    return ok;
}

Fetched fetch(int port, uint32_t from, const std::string &request, int timeoutSeconds)
{
    static SSL_CTX *const ctx = [] {
        SSL_CTX *c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
        return c;
    }();
    Fetched out;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{timeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(from);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(uint16_t(port));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || ::connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0) {
        out.error = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return out;
    }
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    std::string bytes;
    if (SSL_connect(ssl) != 1) {
        out.error = "handshake: " + sslError();
    } else if (SSL_write(ssl, request.data(), int(request.size())) != int(request.size())) {
        out.error = "write: " + sslError();
    } else {
        char buffer[4096];
        for (;;) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0)
                bytes.append(buffer, size_t(n));
            const Reply r = readReply(bytes, n <= 0);
            if (r.state == Reply::State::Complete) {
                out.status = r.status;
                out.head = r.head;
                out.body = r.body;
                SSL_shutdown(ssl);
                break;
            }
            if (n <= 0 || r.state == Reply::State::Malformed) {
                out.error = n <= 0 ? "the connection ended before the whole reply" : "malformed reply";
                break;
            }
        }
    }
    SSL_free(ssl);
    ::close(fd);
    return out;
}

} // namespace fleet
