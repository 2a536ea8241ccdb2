// The number reader against a slow reference: the same value for every text,
// and an in-range value always lies within 0.5 of the leading number.
#include "common/NumberReader.h"

#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const common::Number16 n = common::readNumber16(text);

    // Reference: the longest prefix of the form [blanks][sign]digits[.digits] read by strtold.
    QByteArray prefix;
    qsizetype i = 0;
    const QByteArray latin = text.toLatin1();
    // Blanks: the ASCII ones and the non-breaking space (Latin-1 0xA0).
    while (i < latin.size() && (latin[i] == ' ' || latin[i] == '\t' || latin[i] == '\n'
                                || latin[i] == '\r' || latin[i] == '\f' || latin[i] == '\v'
                                || latin[i] == '\xa0'))
        ++i;
    if (i < latin.size() && (latin[i] == '+' || latin[i] == '-'))
        prefix += latin[i++];
    bool digits = false;
    while (i < latin.size() && latin[i] >= '0' && latin[i] <= '9') {
        prefix += latin[i++];
        digits = true;
    }
    if (i < latin.size() && latin[i] == '.' && i + 1 < latin.size() && latin[i + 1] >= '0'
        && latin[i + 1] <= '9') {
        prefix += latin[i++];
        while (i < latin.size() && latin[i] >= '0' && latin[i] <= '9') {
            prefix += latin[i++];
            digits = true;
        }
    }
    if (!digits) {
        if (n.value != 0 || !n.inRange)
            __builtin_trap();
        return 0;
    }
    // Non-Latin-1 text has no digits of ours before the first such character.
    if (text.size() != latin.size())
        return 0;
    const long double reference = std::strtold(prefix.constData(), nullptr);
    if (n.inRange) {
        if (std::fabs(static_cast<long double>(n.value) - reference) > 0.5L + 1e-9L)
            __builtin_trap();
    } else if (std::fabs(reference) < 32767.0L) {
        __builtin_trap();
    }
    return 0;
}
