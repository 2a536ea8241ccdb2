#pragma once

#include "wizard/frame/WizardPage.h"

class QLabel;
class QLineEdit;

namespace kestrup {

class RequestCycle;
class ServerReply;
class WaitPanel;

// Administrator login: user name and password (shared with the registration
// page through the wizard state) are sent to the server; "LOGINOK" stores the
// administrator id and opens the user list page. Back leads to the
// registration page.
class frm_loginaccount : public WizardPage
{
    Q_OBJECT
public:
    explicit frm_loginaccount(WizardContext &context, QWidget *parent = nullptr);

    void cmdNext_Click();
    void cmdBack_Click();
    void cmdCancel_Click();
    void SendAdminLogin();
    RequestCycle *requestCycle() const { return m_cycle; }

private:
    void handleReply(const ServerReply &reply);
    void setBusyControls(bool busy);

    QLabel *m_imgHead;
    QLabel *m_lblVantorel;
    QLineEdit *m_txtUsername;
    QLineEdit *m_txtPassword;
    WaitPanel *m_panel;
    RequestCycle *m_cycle;
};

} // namespace kestrup
