#pragma once

#include "wizard/frame/WizardPage.h"

class QLabel;
class QToolButton;
class QTreeWidget;

namespace kestrup {

class RequestCycle;
class ServerReply;
class WaitPanel;

// The user list page: lists the administrator's users when it opens, and
// adds, edits, removes and e-mails them. Its three requests (list, delete,
// e-mail) share one reply handler, which tells the replies apart by their
// status word alone.
class frm_emailusers : public WizardPage
{
    Q_OBJECT
public:
    explicit frm_emailusers(WizardContext &context, QWidget *parent = nullptr);

    static QString listWaitText();
    static QString deleteWaitText();
    static QString emailWaitText();
    // The title of the delete question: the application's title as the
    // wizard has always shown it, cut short.
    static QString applicationTitle();

    QTreeWidget *ListView1() const { return m_ListView1; }
    RequestCycle *cycle() const { return m_cycle; }

    void Form_Load();
    void RequestUserList();
    void RemoveSelectedUser();
    void EmailCheckedUsers();
    void EditSelectedUser();
    void cmdCommand1_Click();
    void cmdBack_Click();
    void cmdNext_Click();
    void cmdCancel_Click();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void handleReply(const ServerReply &reply);
    void deleteCompletion(const ServerReply &reply);
    void emailCompletion(const ServerReply &reply);
    void listCompletion(const ServerReply &reply);
    void unreadableReply();
    void setBusyControls(bool busy);

    bool m_loaded = false;
    QLabel *m_lblTitle;
    QLabel *m_lblCheckOn;
    QToolButton *m_cmdCommand1;
    QToolButton *m_cmdEmail;
    QToolButton *m_Command1;
    QToolButton *m_cmdEdit;
    QTreeWidget *m_ListView1;
    WaitPanel *m_panel;
    RequestCycle *m_cycle;
};

} // namespace kestrup
