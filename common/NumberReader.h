#pragma once

#include <QStringView>
#include <cstdint>

namespace common {

// The leading decimal number of a text, as every reply value, skin size and
// numeric setting is read: leading blanks skipped, an optional sign, digits,
// an optional fraction; anything after that is ignored. Rounded to the
// nearest integer with halves going to the even neighbour, into a signed
// 16-bit integer. A text without a leading number reads as 0.
struct Number16
{
    std::int16_t value = 0;
    bool inRange = true; // false: the rounded number lies outside -32768..32767 (value is then 0)

    friend bool operator==(const Number16 &, const Number16 &) = default;
};

Number16 readNumber16(QStringView text);

// Convenience for callers that treat an out-of-range number like no number.
inline std::int16_t readNumber16Or(QStringView text, std::int16_t fallback)
{
    const Number16 n = readNumber16(text);
    return n.inRange ? n.value : fallback;
}

} // namespace common
