#pragma once

#include "wizard/users/ProviderTable.h"
#include "wizard/users/UserRequests.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace kestrup {

class RequestCycle;
class ServerReply;
class WaitPanel;
class WizardContext;
struct UserRow;

// What the add and edit user dialogs share: the boxes and their tab order,
// the carrier box, the field checks, the busy and idle steps and the send.
// A dialog is modal over the user list page, works on that page's list and
// deletes itself when it closes; a request still out then is abandoned.
class UserDialog : public QDialog
{
    Q_OBJECT
public:
    QLineEdit *txtUsername() const { return m_txtUsername; }
    QLineEdit *txtPassword() const { return m_txtPassword; }
    QLineEdit *txtFirstname() const { return m_txtFirstname; }
    QLineEdit *txtLastname() const { return m_txtLastname; }
    QLineEdit *txtEmail() const { return m_txtEmail; }
    QLineEdit *txtTel() const { return m_txtTel; }
    QLineEdit *txtWirelessNo() const { return m_txtWirelessNo; }
    QComboBox *cboServiceProvider() const { return m_cboServiceProvider; }
    QPushButton *sendButton() const { return m_cmdSend; }
    QPushButton *cmdCancel() const { return m_cmdCancel; }
    RequestCycle *cycle() const { return m_cycle; }

    // Shows the dialog modal over its page without blocking the caller.
    void showModal();

    void SetFieldsEnabled(bool enabled);
    bool ValidateUserFields();

    // The boxes as typed.
    UserFields fields() const;
    // The carrier box's chosen position, -1 for none. Text typed into the box
    // counts as chosen when it is exactly one of the carrier names.
    int chosenProvider() const;

protected:
    struct Texts
    {
        QString header;
        QString waitText;
        QString sendName;    // object name of the send button
        QString sendCaption;
    };

    UserDialog(WizardContext &context, QTreeWidget *list, const Texts &texts, QWidget *page);

    virtual UsernameCheck usernameCheck() const = 0;
    virtual ServerRequest buildRequest() const = 0;
    virtual void handleReply(const ServerReply &reply) = 0;

    // The busy state and the send step of both dialogs.
    void sendRequest();
    // Shows a failure and returns to idle with the typed values kept.
    void fail(const QString &message);
    // The row as the boxes give it, for appending or updating.
    UserRow typedRow(std::int16_t id) const;
    // The domain to send for the carrier box as it stands.
    QString domainToSend() const;

    WizardContext &context() const { return m_context; }
    QTreeWidget *list() const { return m_list; }

    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void setBusyControls(bool busy);

    WizardContext &m_context;
    QTreeWidget *m_list;
    ProviderDomainSlots m_ProviderDomains; // this dialog's copy, filled when it loads
    QLabel *m_lblHeader;
    QLineEdit *m_txtUsername;
    QLineEdit *m_txtPassword;
    QLineEdit *m_txtFirstname;
    QLineEdit *m_txtLastname;
    QLineEdit *m_txtEmail;
    QLineEdit *m_txtTel;
    QLineEdit *m_txtWirelessNo;
    QComboBox *m_cboServiceProvider;
    QPushButton *m_cmdSend;
    QPushButton *m_cmdCancel;
    WaitPanel *m_panel;
    RequestCycle *m_cycle;
};

} // namespace kestrup
