#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>

namespace alertserver {

// GIF89a of one frame. Pixels with alpha below 128 become the transparent
// colour; up to 255 distinct colours are kept exactly, more are mapped onto
// a 6x6x6 colour cube.
QByteArray encodeGif(const QImage &image);

// A Windows icon file holding each given image (at most 256 x 256) as a
// 32-bit bitmap with alpha.
QByteArray encodeIco(const QList<QImage> &images);

} // namespace alertserver
