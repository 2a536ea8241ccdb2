#pragma once

#include <QString>

namespace alertserver {

// Our own artwork for skin "1": a close and a menu button (GIF), the window
// background (BMP), the application icon (ICO) and the login page background
// (PNG), drawn in code, plus the skin.ini that places them. Written into
// `folder` when it holds no skin.ini yet; existing files are never replaced,
// so an edited skin survives a restart. Answers false when writing failed.
bool writeDefaultSkin(const QString &folder);

} // namespace alertserver
