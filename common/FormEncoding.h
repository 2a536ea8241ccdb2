#pragma once

#include <QByteArray>
#include <QString>

namespace common {

// application/x-www-form-urlencoded, UTF-8: ASCII letters, digits and "*-._"
// stay, a blank becomes "+", every other byte is written %XX in upper case.
QByteArray formEncode(const QString &value);

// The reverse: "+" is a blank, %XX a byte; a "%" not followed by two hex digits
// stays as it is. Bytes that are not valid UTF-8 decode to replacement characters.
QString formDecode(QByteArrayView encoded);

} // namespace common
