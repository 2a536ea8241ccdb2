#pragma once

#include <QByteArray>

namespace alertserver {

// Administrator passwords are kept as PBKDF2-HMAC-SHA-256 with a random
// 16-byte salt; the iteration count is stored with each hash so that it can
// be raised later without invalidating existing accounts.
struct PasswordHash
{
    QByteArray salt;
    QByteArray hash;
    int iterations = 0;
};

constexpr int kDefaultPasswordIterations = 100000;

PasswordHash hashPassword(const QByteArray &password, int iterations = kDefaultPasswordIterations);
bool verifyPassword(const QByteArray &password, const PasswordHash &stored);

// Failures of the random source or the hash throw std::runtime_error.

// Cryptographically random bytes, as lower-case hex (activation codes).
QByteArray randomHex(int bytes);

// Cryptographically random bytes, as base64url without padding (tokens).
QByteArray randomToken(int bytes);
QByteArray sha256(const QByteArray &data);

// Equal-length comparison in constant time.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

} // namespace alertserver
