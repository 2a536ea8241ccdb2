#include "common/NumberReader.h"

namespace common {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v'
        || c == QChar(0x00A0);
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

Number16 readNumber16(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;

    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }

    // Integer part, exactly: anything beyond 32768 is out of range whatever
    // the fraction says, so a saturating accumulator suffices.
    constexpr std::int64_t kCap = 1'000'000;
    std::int64_t whole = 0;
    bool anyDigit = false;
    while (i < n && isDigit(text[i])) {
        anyDigit = true;
        whole = whole * 10 + (text[i].unicode() - u'0');
        if (whole > kCap)
            whole = kCap;
        ++i;
    }

    // Fraction: only its relation to one half matters.
    int firstFractionDigit = -1; // -1: no fraction digit at all
    bool restNonZero = false;
    if (i < n && text[i] == u'.') {
        ++i;
        if (i < n && isDigit(text[i])) {
            anyDigit = true;
            firstFractionDigit = text[i].unicode() - u'0';
            ++i;
            while (i < n && isDigit(text[i])) {
                if (text[i] != u'0')
                    restNonZero = true;
                ++i;
            }
        }
    }
    if (!anyDigit)
        return {0, true};

    std::int64_t rounded = whole;
    if (firstFractionDigit > 5 || (firstFractionDigit == 5 && restNonZero))
        ++rounded;
    else if (firstFractionDigit == 5 && !restNonZero && (whole % 2) == 1)
        ++rounded; // exactly one half: to the even neighbour

    if (negative)
        rounded = -rounded;
    if (rounded < -32768 || rounded > 32767)
        return {0, false};
    return {static_cast<std::int16_t>(rounded), true};
}

} // namespace common
