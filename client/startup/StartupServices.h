#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace client {

// What the loading window needs from outside itself, handed in at
// construction (Form3::desktopServices() gives the real desktop's), so that
// tests can run it from a folder of their own, at a short tick, and without
// looking at other programs' windows.
struct StartupServices
{
    QString programFolder;                          // holds system.xml; html/images/background.bmp goes there
    std::function<void(bool, QWidget *)> setTopmost;
    std::function<bool(const QString &title)> isOnlyInstance;
    int tickMs = 100;                               // Timer1: the loading animation and the hand-over
};

} // namespace client
