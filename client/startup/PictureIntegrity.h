#pragma once

#include <QByteArray>

namespace client {

// Whether the bytes of a picture in the given format (as QImageReader names
// it: "gif", "jpeg", "bmp", ...) hold the whole picture. Qt's readers decode
// a GIF, JPEG or BMP that was cut short into a full-sized image with the
// missing part filled in black or grey; a skin made of such pictures would
// show a broken window, so a cut-short file counts as not delivered.
// Formats whose readers already refuse cut-short data always pass.
bool pictureIsWhole(const QByteArray &bytes, const QByteArray &format);

} // namespace client
