#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace kestrup {

// The 182 countries of the registration page, in order and spelling; the
// entry text is also what goes to the server.
const QStringList &countryNames();

// Position of the first entry equal to `text`, ignoring case; -1 when none.
// (CountryList.h fills and searches the page's drop-down list.)
std::int16_t FindListIndex(const QString &text, const QStringList &entries);

// The wizard's e-mail check: an "@" with a "." somewhere after it, a last
// dot-piece of 2 or 3 plain letters, and nothing but plain letters, digits,
// ".", "@", "-" and "_" throughout. It deliberately checks no more than that
// (several "@", nothing before the "@" pass), so that it accepts what the
// server accepts.
bool IsValidEmail(const QString &address);

} // namespace kestrup
