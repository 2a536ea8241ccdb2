// Encoding then decoding gives back the text, and the encoding only ever
// holds the characters a form body may carry unescaped.
#include "common/FormEncoding.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = QString::fromUtf8(bytes);
    const QByteArray encoded = common::formEncode(text);
    for (const char c : encoded) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '*' || c == '-' || c == '.' || c == '_' || c == '+' || c == '%';
        if (!ok)
            __builtin_trap();
    }
    if (common::formDecode(encoded) != text)
        __builtin_trap();
    // Decoding arbitrary bytes never fails.
    (void)common::formDecode(bytes);
    return 0;
}
