#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace alertserver {

// Our own artwork for skin "1": a close and a menu button (GIF), the window
// background (BMP), the application icon (ICO) and the login page background
// (PNG), plus the skin.ini that places them. The pictures are built into the
// program (default/, drawn by artwork/make_default_skin.cpp), so the server
// draws nothing and needs no display library.
namespace defaultskin {

// The window is 320 x 300 pixels (4800 x 4500 twips), tall enough for the
// whole login form; the browser box leaves a 6-pixel frame and a 36-pixel
// title band for the two buttons.
constexpr int kWidth = 320;
constexpr int kHeight = 300;
constexpr int kButton = 18;
constexpr int kTitleBand = 36;
constexpr int kFrame = 6;

// The five pictures by file name, as skin.ini names them.
const QStringList &pictureNames();
// A picture's bytes as built into the program; empty for another name.
QByteArray picture(const QString &name);
// The skin.ini that places the pictures.
QByteArray skinIni();

} // namespace defaultskin

// Writes skin "1" into `folder` when it holds no skin.ini yet; existing
// files are never replaced, so an edited skin survives a restart. Answers
// false when writing failed.
bool writeDefaultSkin(const QString &folder);

} // namespace alertserver
