#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kestrup {

class WizardContext;

// The modal quit question that a page asks before it closes unplanned.
// ExitSetup is the answer: true only after "&Yes"; "&No", Escape and the
// close box leave it false.
class frm_alert : public QDialog
{
    Q_OBJECT
public:
    frm_alert(const QString &vendorHost, QWidget *owner);

    bool ExitSetup = false;

    // Opens the dialog modal over `owner` (through the message-box seam) and
    // answers ExitSetup.
    static bool ask(WizardContext &context, QWidget *owner);

    static QString questionText();
    static QString explanationText(const QString &vendorHost);

    void cmdYes_Click();
    void cmdNo_Click();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLabel *m_lblAreYou;
    QLabel *m_lblYourRegistration;
    QLabel *m_imgicon;
    QPushButton *m_cmdYes;
    QPushButton *m_cmdNo;
};

} // namespace kestrup
