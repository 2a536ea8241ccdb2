#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

namespace common {

// Where "now" comes from. Windows that stamp addresses take one in their
// constructor so that tests can pin the time.
using Clock = std::function<QDateTime()>;

Clock systemClock();

// The local date and time as 14 digits, month, day, four-digit year, hour on
// the 24-hour clock, minute, second: 7 December 2026 04:33:25 -> "12072026043325".
// It only makes addresses unique against caches.
QString timeStamp14(const QDateTime &localTime);
QString timeStamp14(const Clock &clock);

} // namespace common
