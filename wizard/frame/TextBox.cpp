#include "TextBox.h"

#include <QLineEdit>

#include <limits>

namespace kestrup {

QLineEdit *newTextBox(const QString &name, QWidget *parent)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    liftLengthLimit(box);
    return box;
}

void liftLengthLimit(QLineEdit *box)
{
    box->setMaxLength(std::numeric_limits<int>::max());
}

} // namespace kestrup
