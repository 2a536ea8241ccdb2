#include "common/MailAddress.h"

namespace common {

namespace {

bool isPlainLetter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}

bool isDigit(QChar c)
{
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

} // namespace

bool IsValidEmail(const QString &address)
{
    // An "@" with a "." somewhere after it.
    const qsizetype at = address.indexOf(u'@');
    if (at < 0 || address.indexOf(u'.', at + 1) < 0)
        return false;

    // The text after the last "." is 2 or 3 plain letters. Only A-Z count as
    // letters: a character whose lower case happens to be ASCII (the Kelvin
    // sign) is still not a plain letter.
    const QString last = address.mid(address.lastIndexOf(u'.') + 1);
    if (last.size() < 2 || last.size() > 3)
        return false;
    for (const QChar c : last) {
        if (!isPlainLetter(c))
            return false;
    }

    for (const QChar c : address) {
        if (!isPlainLetter(c) && !isDigit(c) && c != u'.' && c != u'@' && c != u'-' && c != u'_')
            return false;
    }
    return true;
}

} // namespace common
