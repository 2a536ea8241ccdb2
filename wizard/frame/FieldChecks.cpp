#include "FieldChecks.h"

namespace kestrup {

const QStringList &countryNames()
{
    static const QStringList names = {
        QStringLiteral("Afghanistan"), QStringLiteral("Albania"), QStringLiteral("Algeria"),
        QStringLiteral("American Samoa"), QStringLiteral("Andorra"), QStringLiteral("Angola"),
        QStringLiteral("Antigua"), QStringLiteral("Argentina"), QStringLiteral("Armenia"),
        QStringLiteral("Aruba"), QStringLiteral("Australia"), QStringLiteral("Austria"),
        QStringLiteral("Azerbaijan"), QStringLiteral("Bahamas"), QStringLiteral("Bangladesh"),
        QStringLiteral("Barbados"), QStringLiteral("Belarus"), QStringLiteral("Belgium"),
        QStringLiteral("Belize"), QStringLiteral("Benin"), QStringLiteral("Bermuda"),
        QStringLiteral("Bolivia"), QStringLiteral("Bosnia"), QStringLiteral("Botswana"),
        QStringLiteral("Brazil"), QStringLiteral("British Virgin Islands"),
        QStringLiteral("Brunei"), QStringLiteral("Bulgaria"), QStringLiteral("Burma"),
        QStringLiteral("Burundi"), QStringLiteral("Cambodia"), QStringLiteral("Cameroon"),
        QStringLiteral("Canada"), QStringLiteral("Cape Verde"), QStringLiteral("Cayman Islands"),
        QStringLiteral("Central Africa"), QStringLiteral("Chad"), QStringLiteral("Chile"),
        QStringLiteral("China"), QStringLiteral("Colombia"), QStringLiteral("Costa Rica"),
        QStringLiteral("Cote dlvoire"), QStringLiteral("Croatia"), QStringLiteral("Cuba"),
        QStringLiteral("Cyprus"), QStringLiteral("Czech Republic/Slovakia"),
        QStringLiteral("Denmark"), QStringLiteral("Djibouti"), QStringLiteral("Dominica"),
        QStringLiteral("Dominican Republic"), QStringLiteral("Ecuador"), QStringLiteral("Egypt"),
        QStringLiteral("El Salvador"), QStringLiteral("Eritrea"), QStringLiteral("Estonia"),
        QStringLiteral("Ethiopia"), QStringLiteral("Falkland Islands"), QStringLiteral("Fiji"),
        QStringLiteral("Finland"), QStringLiteral("France"), QStringLiteral("French Guiana"),
        QStringLiteral("Gabon"), QStringLiteral("Gambia"), QStringLiteral("Georgia (Intl)"),
        QStringLiteral("Germany"), QStringLiteral("Ghana"), QStringLiteral("Gibraltar"),
        QStringLiteral("Greece"), QStringLiteral("Greenland"), QStringLiteral("Grenada"),
        QStringLiteral("Guam"), QStringLiteral("Guatemala"), QStringLiteral("Guinea"),
        QStringLiteral("Guyana"), QStringLiteral("Haiti"), QStringLiteral("Honduras"),
        QStringLiteral("Hong Kong"), QStringLiteral("Hungary"), QStringLiteral("Iceland"),
        QStringLiteral("India"), QStringLiteral("Indonesia"), QStringLiteral("Ireland"),
        QStringLiteral("Israel"), QStringLiteral("Italy"), QStringLiteral("Jamaica"),
        QStringLiteral("Japan"), QStringLiteral("Jordan"), QStringLiteral("Kenya"),
        QStringLiteral("Kuwait"), QStringLiteral("Kyrgyzstan"), QStringLiteral("Laos"),
        QStringLiteral("Latvia"), QStringLiteral("Lebanon"), QStringLiteral("Lesotho"),
        QStringLiteral("Liberia"), QStringLiteral("Libya"), QStringLiteral("Lithuania"),
        QStringLiteral("Luxembourg"), QStringLiteral("Macau"), QStringLiteral("Macedonia"),
        QStringLiteral("Madagascar"), QStringLiteral("Malawi"), QStringLiteral("Malaysia"),
        QStringLiteral("Maldives"), QStringLiteral("Mali"), QStringLiteral("Malta"),
        QStringLiteral("Martinique"), QStringLiteral("Mauritania"), QStringLiteral("Maurtius"),
        QStringLiteral("Mexico"), QStringLiteral("Micronesia"), QStringLiteral("Moldova"),
        QStringLiteral("Monaco"), QStringLiteral("Montserrat"), QStringLiteral("Morocco"),
        QStringLiteral("Mozaambique"), QStringLiteral("Namibia/Anguilla"), QStringLiteral("Nauru"),
        QStringLiteral("Netherlands"), QStringLiteral("New Caledonia"),
        QStringLiteral("New Zealand"), QStringLiteral("Nicaragua"), QStringLiteral("Niger"),
        QStringLiteral("Nigeria"), QStringLiteral("Norway"), QStringLiteral("Oman"),
        QStringLiteral("Pakistan"), QStringLiteral("Palau"), QStringLiteral("Panama"),
        QStringLiteral("Papua New Guinea"), QStringLiteral("Paraguay"), QStringLiteral("Peru"),
        QStringLiteral("Philippines"), QStringLiteral("Poland"), QStringLiteral("Portugal"),
        QStringLiteral("Puerto Rico"), QStringLiteral("Qatar"), QStringLiteral("Romania"),
        QStringLiteral("Russia"), QStringLiteral("Rwanada"), QStringLiteral("San Marino"),
        QStringLiteral("Sao Tome"), QStringLiteral("Saudi Arabia"), QStringLiteral("Senegal"),
        QStringLiteral("Seychelles"), QStringLiteral("Sierra Leone"), QStringLiteral("Singapore"),
        QStringLiteral("Slovenia"), QStringLiteral("Somalia"), QStringLiteral("South Africa"),
        QStringLiteral("South Korea"), QStringLiteral("Spain"), QStringLiteral("Sri Lanka"),
        QStringLiteral("St. Kitts and Nevis"), QStringLiteral("St. Lucia"),
        QStringLiteral("St. Vincent"), QStringLiteral("Sudan"), QStringLiteral("Suriname"),
        QStringLiteral("Sweden"), QStringLiteral("Switzerland"), QStringLiteral("Syria"),
        QStringLiteral("Taiwan"), QStringLiteral("Tanzania"), QStringLiteral("Thailand"),
        QStringLiteral("Trinidad and Tobago"), QStringLiteral("Tunisia"), QStringLiteral("Turkey"),
        QStringLiteral("Turkmenistan"), QStringLiteral("Uganda"), QStringLiteral("Ukraine"),
        QStringLiteral("United Emirates/Bahrain"), QStringLiteral("United Kingdom"),
        QStringLiteral("United States"), QStringLiteral("Uruguay"), QStringLiteral("Vatican City"),
        QStringLiteral("Venezuela"), QStringLiteral("Vietnam"), QStringLiteral("Yemen"),
        QStringLiteral("Yugoslavia"), QStringLiteral("Zaire"), QStringLiteral("Zambia"),
        QStringLiteral("Zimbabwe")
    };
    return names;
}

std::int16_t FindListIndex(const QString &text, const QStringList &entries)
{
    const QString wanted = text.toUpper();
    const qsizetype count = qMin<qsizetype>(entries.size(), 32767);
    for (qsizetype i = 0; i < count; ++i) {
        if (entries.at(i).toUpper() == wanted)
            return static_cast<std::int16_t>(i);
    }
    return -1;
}

} // namespace kestrup
