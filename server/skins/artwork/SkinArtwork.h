#pragma once

#include <QByteArray>
#include <QString>

namespace alertserver::artwork {

// Draws one picture of the default skin, by its file name (defaultskin::
// pictureNames()), and encodes it as that file holds it; empty for another
// name. Needs Qt Gui: it runs when the pictures are drawn anew
// (make_default_skin), never in the server.
QByteArray drawPicture(const QString &name);

} // namespace alertserver::artwork
