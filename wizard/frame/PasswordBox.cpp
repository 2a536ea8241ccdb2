#include "PasswordBox.h"

#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QProxyStyle>

namespace kestrup {

namespace {

class AsteriskStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QStyle *asteriskStyle()
{
    // One style for all password boxes, owned by the application so that it
    // goes before the application does.
    static QPointer<AsteriskStyle> style;
    if (!style) {
        style = new AsteriskStyle;
        style->setParent(qApp);
    }
    return style;
}

} // namespace

void usePasswordMask(QLineEdit *box)
{
    box->setStyle(asteriskStyle());
    box->setEchoMode(QLineEdit::Password);
}

} // namespace kestrup
