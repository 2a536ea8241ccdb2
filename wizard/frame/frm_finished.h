#pragma once

#include "wizard/frame/WizardPage.h"

class QCheckBox;
class QLabel;

namespace kestrup {

// The last page. "&Finished" visits the vendor's web site and starts the
// alert client, each when its box is ticked, then closes every window of the
// wizard. The close box does nothing on this page.
class frm_finished : public WizardPage
{
    Q_OBJECT
public:
    explicit frm_finished(WizardContext &context, QWidget *parent = nullptr);

    static QString finishedText(const QString &vendorHost);

    void cmdNext_Click();
    // Opens an http(s) address in the browser or starts a program that
    // exists; does nothing for an empty or any other target.
    void RunShellExecute(const QString &target);
    // The address "Visit <host>" opens.
    QString vendorAddress() const;

protected:
    bool closeRequestAllowed() override;

private:
    QLabel *m_Picture1;
    QLabel *m_lblSetupFinished;
    QLabel *m_lblVantorel;
    QCheckBox *m_chkVisitWww;
    QCheckBox *m_chkLunch;
};

} // namespace kestrup
