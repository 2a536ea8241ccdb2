#pragma once

#include <QDateTime>

namespace alertserver {

// The store's time: whole seconds since the epoch, UTC, as every table keeps it.
inline qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace alertserver

namespace alertserver {

// Session and binding times are written at most this often, so that polls
// and the pages an administrator reads stay reads.
constexpr qint64 kTouchEvery = 60;

} // namespace alertserver
