#pragma once

#include <QString>

namespace common {

// The wizard's e-mail check: an "@" with a "." somewhere after it, a last
// dot-piece of 2 or 3 plain letters, and nothing but plain letters, digits,
// ".", "@", "-" and "_" throughout. It deliberately checks no more than that
// (several "@", nothing before the "@" pass); the server adds its stricter
// one-mailbox rule on top of it.
bool IsValidEmail(const QString &address);

} // namespace common
