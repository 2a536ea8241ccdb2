#pragma once

#include "common/MailAddress.h"

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

// The wizard's e-mail check lives beside the server's, which adds its own
// stricter rule on top of it.
using common::IsValidEmail;

} // namespace kestrup
