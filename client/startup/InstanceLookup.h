#pragma once

#include <QString>

namespace client {

// The X11 window class under which every window of the client is created
// (the application name that main() sets); the single-instance test looks for it.
inline constexpr char kWindowClass[] = "ThunderRT6FormDC";

// True when no window of the class kWindowClass has exactly this title;
// false when one exists. The whole window tree is searched, unmapped windows
// and windows inside a window manager's frames included. Only an X11 desktop can be searched: on any
// other platform, or without a display connection, the answer is true.
bool IsOnlyInstance(const QString &title);

} // namespace client
