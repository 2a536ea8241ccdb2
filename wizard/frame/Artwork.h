#pragma once

#include <QPixmap>

namespace kestrup {

// The wizard's pictures, drawn for this program and kept in the library's
// resource file.
namespace Artwork {

constexpr int kLoadingFrames = 8;          // 0..7; the animation shows 0..6 only
QPixmap loadingFrame(int index);           // 50 x 56
QPixmap sidePicture();                     // welcome and finished pages
QPixmap headerPicture();                   // registration and login pages
QPixmap alertIcon();                       // quit dialog

} // namespace Artwork

} // namespace kestrup
