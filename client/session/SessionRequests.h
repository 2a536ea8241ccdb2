#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace common {
struct HttpResult;
}

namespace client {

// Addresses the session builds. Every value is form-encoded; keys and fixed
// parts stand as they are, and the base is used unchanged.
QString loginAddress(const QString &serverBase, const QString &userName, const QString &password);
QString statusAddress(const QString &serverBase, const QString &userName);
QString alertPageAddress(const QString &alertPageUrl, const QString &stamp14, const QString &userName);
QString profileAddress(const QString &profilePageUrl, const QString &userName);

// What a login reply says: root child 0 compared exactly with "1", "0", "ERROR".
enum class LoginAnswer { Accepted, Refused, ServerError, Other, Unreadable };
LoginAnswer readLoginAnswer(const common::HttpResult &result);

// The status number of a poll reply (root child 0 as a 16-bit number);
// nothing when the reply did not arrive or is not well-formed XML.
std::optional<std::int16_t> readStatus(const common::HttpResult &result);

} // namespace client
