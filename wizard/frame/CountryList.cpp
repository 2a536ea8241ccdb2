#include "CountryList.h"

#include "FieldChecks.h"

#include <QComboBox>

namespace kestrup {

void FillCountryList(QComboBox *list)
{
    if (!list)
        return;
    for (const QString &name : countryNames())
        list->addItem(name);
}

std::int16_t FindListIndex(const QString &text, const QComboBox *list)
{
    if (!list)
        return -1;
    QStringList entries;
    entries.reserve(list->count());
    for (int i = 0; i < list->count(); ++i)
        entries << list->itemText(i);
    return FindListIndex(text, entries);
}

} // namespace kestrup
