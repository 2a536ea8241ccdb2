#pragma once

#include "wizard/frame/WizardPage.h"
#include "wizard/frame/WizardState.h"

#include <QList>

class QComboBox;
class QLabel;
class QLineEdit;

namespace kestrup {

class RequestCycle;
class ServerReply;
class WaitPanel;

// Administrator registration: twelve fields mirrored into the wizard state,
// checked in order, sent to the server; "REGISTEROK" stores the
// administrator id and opens the finished page. Back leads to the welcome page.
class frm_adminreg : public WizardPage
{
    Q_OBJECT
public:
    explicit frm_adminreg(WizardContext &context, QWidget *parent = nullptr);

    void cmdNext_Click();
    void cmdBack_Click();
    void cmdCancel_Click();
    bool ValidateRegistrationFields();
    void SendRegistration();
    void SetFieldsEnabled(bool enabled);
    void RestoreFields();
    RequestCycle *requestCycle() const { return m_cycle; }

private:
    QLineEdit *addBox(const char *name, QString WizardState::*field);
    void handleReply(const ServerReply &reply);
    void setBusyControls(bool busy);

    QLabel *m_imgHead;
    QLabel *m_lblYouAre;
    QList<std::pair<QLineEdit *, QString WizardState::*>> m_boxes; // tab order
    QLineEdit *m_txtUsername = nullptr;
    QComboBox *m_cboCountry;
    WaitPanel *m_panel;
    RequestCycle *m_cycle;
};

} // namespace kestrup
