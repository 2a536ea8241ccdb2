#pragma once

#include <QHash>
#include <QIcon>

namespace client {

// The pictures that come with the program rather than with the skin, drawn
// here so that no image file has to travel with it.

// The two tray blink frames: Image1 a dark bell, Image2 the bell lit up.
QIcon blinkFrameImage1();
QIcon blinkFrameImage2();

// The menu's image list: five icons keyed by the ids of the entries that show
// them (1003 web site, 1009 about, 1010 help, 1004 contact, 1002 profile).
QHash<int, QIcon> menuImageList();

} // namespace client
