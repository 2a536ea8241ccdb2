#pragma once

#include "wizard/frame/WizardPage.h"

class QLabel;

namespace kestrup {

// The first page: what the wizard does and the legal notice. Next leads to
// the registration page; an administrator who already has an account goes
// to the login page with cmdLogin.
class frm_welcome : public WizardPage
{
    Q_OBJECT
public:
    explicit frm_welcome(WizardContext &context, QWidget *parent = nullptr);

    static QString welcomeText();

    void cmdNext_Click();
    void cmdCancel_Click();
    void cmdLogin_Click();

private:
    QLabel *m_Picture1;
    QLabel *m_lblWelcome;
    QLabel *m_lblWelcomeTo;
    QPushButton *m_cmdLogin;
};

} // namespace kestrup
