#pragma once

class QLineEdit;

namespace kestrup {

// Makes a text box a password box that shows "*" for every character (Qt's
// own styles draw a bullet instead).
void usePasswordMask(QLineEdit *box);

} // namespace kestrup
