#pragma once

#include "common/HttpExchange.h"
#include "common/TimeStamp.h"

#include <QString>
#include <functional>

class QWidget;

namespace client {

// What the main window needs from outside itself, handed in at construction
// so that tests can pin the clock, point it at a folder of their own, see
// what it asks of the desktop and run its timers at a short interval. The
// intervals default to the program's own.
struct SessionServices
{
    common::Clock clock;
    QString programFolder;                          // holds html/login.htm and alert.wav
    std::function<void(const QString &)> openInShell;
    std::function<void()> playAlertSound;
    std::function<void(bool, QWidget *)> setTopmost;
    std::function<bool()> trayAvailable;            // is there a notification area to hide into?
    int requestTimeoutMs = common::HttpExchange::kTimeoutMs; // deadline of each login and status request
    int pollMs = 2000;                              // alertcheck: from one handled status reply to the next poll
    int blinkMs = 300;                              // animateIcon: one step of the tray blink
    int loginRetryMs = 2000;                        // the automatic login's wait before it tries again
    int pageStallMs = 30000;                        // the login page is opened again after this long without a sign of the browser
};

} // namespace client
