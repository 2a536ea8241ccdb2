#pragma once

class QLineEdit;
class QString;
class QWidget;

namespace kestrup {

// A text box of the wizard: named for lookups and without a length limit
// (Qt's boxes stop at 32,767 characters unless told otherwise), so that a long
// value taken from a list row goes out whole.
QLineEdit *newTextBox(const QString &name, QWidget *parent);

// The same limit lifted on a box made elsewhere (an editable drop-down's).
void liftLengthLimit(QLineEdit *box);

} // namespace kestrup
