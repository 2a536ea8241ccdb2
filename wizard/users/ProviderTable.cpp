#include "ProviderTable.h"

#include "Carriers.h"

namespace kestrup {

namespace {

QString fromView(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

QString ProviderNameOf(const QString &domain)
{
    for (const carriers::Carrier &c : carriers::kCarriers) {
        if (domain == fromView(c.domain))
            return fromView(c.name);
    }
    return {};
}

std::int16_t ProviderIndexOf(const QString &name)
{
    for (std::size_t i = 0; i < carriers::kCarriers.size(); ++i) {
        if (name == fromView(carriers::kCarriers[i].name))
            return std::int16_t(i);
    }
    return -1;
}

QStringList ProviderNames()
{
    QStringList names;
    for (const carriers::Carrier &c : carriers::kCarriers)
        names << fromView(c.name);
    return names;
}

ProviderDomainSlots ProviderDomains()
{
    ProviderDomainSlots domains;
    for (std::size_t i = 0; i < carriers::kCarriers.size(); ++i)
        domains[i] = fromView(carriers::kCarriers[i].domain);
    return domains;
}

QString DomainToSend(const ProviderDomainSlots &domains, int chosenIndex)
{
    // Nothing chosen (or a position the box cannot have) sends the empty slot.
    if (chosenIndex < 0 || chosenIndex >= int(domains.size()))
        chosenIndex = 6;
    return domains[std::size_t(chosenIndex)];
}

} // namespace kestrup
