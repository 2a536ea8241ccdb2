#pragma once

#include <cstdint>

class QComboBox;
class QString;

namespace kestrup {

// The drop-down side of the country list (the names and the look-up itself
// are in FieldChecks.h).

// Appends the 182 countries to the list.
void FillCountryList(QComboBox *list);

// Position of the first entry equal to `text`, ignoring case; -1 when none.
std::int16_t FindListIndex(const QString &text, const QComboBox *list);

} // namespace kestrup
