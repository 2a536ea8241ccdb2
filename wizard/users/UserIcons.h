#pragma once

#include <QPixmap>

namespace kestrup {

// The small pictures of the user list page's four action buttons, drawn by
// the program itself.
namespace UserIcons {

constexpr int kSize = 18;

QPixmap addUser();    // a figure with a green plus
QPixmap emailUsers(); // an envelope
QPixmap removeUser(); // a figure with a red cross
QPixmap editUser();   // a pencil over a sheet

} // namespace UserIcons

} // namespace kestrup
