#include "server/store/PasswordHash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace alertserver {

namespace {

constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

QByteArray randomBytes(int n)
{
    QByteArray out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), n) != 1)
        throw std::runtime_error("no random bytes available");
    return out;
}

QByteArray derive(const QByteArray &password, const QByteArray &salt, int iterations)
{
    QByteArray out(kHashBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()),
                          iterations, EVP_sha256(), kHashBytes,
                          reinterpret_cast<unsigned char *>(out.data())) != 1)
        throw std::runtime_error("password hashing failed");
    return out;
}

} // namespace

PasswordHash hashPassword(const QByteArray &password, int iterations)
{
    PasswordHash h;
    h.salt = randomBytes(kSaltBytes);
    h.iterations = iterations;
    h.hash = derive(password, h.salt, iterations);
    return h;
}

bool verifyPassword(const QByteArray &password, const PasswordHash &stored)
{
    if (stored.iterations <= 0 || stored.hash.size() != kHashBytes)
        return false;
    return constantTimeEquals(derive(password, stored.salt, stored.iterations), stored.hash);
}

QByteArray randomHex(int bytes)
{
    return randomBytes(bytes).toHex();
}

QByteArray randomToken(int bytes)
{
    return randomBytes(bytes).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray sha256(const QByteArray &data)
{
    QByteArray out(EVP_MAX_MD_SIZE, '\0');
    unsigned int size = 0;
    if (EVP_Digest(data.constData(), size_t(data.size()), reinterpret_cast<unsigned char *>(out.data()), &size,
                   EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("hashing failed");
    out.truncate(int(size));
    return out;
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

} // namespace alertserver
