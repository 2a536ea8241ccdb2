#include "common/TimeStamp.h"

namespace common {

Clock systemClock()
{
    return [] { return QDateTime::currentDateTime(); };
}

QString timeStamp14(const QDateTime &localTime)
{
    return localTime.toString(QStringLiteral("MMddyyyyHHmmss"));
}

QString timeStamp14(const Clock &clock)
{
    return timeStamp14(clock ? clock() : QDateTime::currentDateTime());
}

} // namespace common
