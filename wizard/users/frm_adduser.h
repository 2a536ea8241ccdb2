#pragma once

#include "wizard/users/UserDialog.h"

namespace kestrup {

// Adds a user for the logged-in administrator; on success appends the user
// to the page's list as typed and closes.
class frm_adduser : public UserDialog
{
    Q_OBJECT
public:
    frm_adduser(WizardContext &context, QTreeWidget *list, QWidget *page);

    static QString waitText();

    QPushButton *cmdNext() const { return sendButton(); }
    void cmdNext_Click();
    void SendNewUser();

protected:
    UsernameCheck usernameCheck() const override { return UsernameCheck::Required; }
    ServerRequest buildRequest() const override;
    void handleReply(const ServerReply &reply) override;
};

} // namespace kestrup
