#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace kestrup {

// Display name of the carrier whose gateway domain is exactly `domain`
// (case-sensitive, "@" included); "" when it is none of the known carriers.
QString ProviderNameOf(const QString &domain);

// Position of the carrier named exactly `name`; -1 when there is none.
std::int16_t ProviderIndexOf(const QString &name);

// The carrier names in table order, as the carrier box lists them.
QStringList ProviderNames();

// A user dialog's copy of the domains: slots 0 to 5 the six carriers, slots 6
// and 7 empty. Slot 6 is what "no carrier chosen" sends.
using ProviderDomainSlots = std::array<QString, 8>;
ProviderDomainSlots ProviderDomains();

// The domain a dialog sends for the carrier box's chosen position (-1: none
// chosen, which sends slot 6, the empty domain).
QString DomainToSend(const ProviderDomainSlots &domains, int chosenIndex);

} // namespace kestrup
