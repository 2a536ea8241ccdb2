#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

namespace testsupport {

// A top-level window of the X display as another program sees it.
struct X11Window
{
    quint32 id = 0;
    QString wmClass; // the class part of WM_CLASS
    QString title; // as searched for
    QString netWmName; // _NET_WM_NAME and WM_NAME as they stand, for exact comparisons
    QString wmName;
    QRect geometry; // in root-window coordinates
    bool viewable = false;
};

// The display's top-level windows (and one level below, for a window manager
// that reparents) that carry the class and the title (in WM_NAME or
// _NET_WM_NAME), through a connection of
// their own to $DISPLAY. Empty without a display.
QList<X11Window> findX11Windows(const QString &wmClass, const QString &title);
// Every such window of the class, whatever its title.
QList<X11Window> x11WindowsOfClass(const QString &wmClass);

// The first of those windows that is on the screen (mapped and viewable).
std::optional<X11Window> viewableX11Window(const QString &wmClass, const QString &title);

// The size of the display's first screen; empty without a display.
QSize x11ScreenSize();

} // namespace testsupport

namespace testsupport {

// Runs xdotool with the arguments against $DISPLAY (10 s at most): the way
// these tests press keys and click as a user would. True when it succeeded.
bool xdotool(const QStringList &args);

} // namespace testsupport
