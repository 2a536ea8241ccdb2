#pragma once

#include "wizard/users/UserDialog.h"

#include <cstdint>

namespace kestrup {

// Changes an existing user; on success updates the first row of the page's
// list with the user's id and closes. The user name is shown, never changed.
class frm_edituser : public UserDialog
{
    Q_OBJECT
public:
    frm_edituser(WizardContext &context, QTreeWidget *list, QWidget *page);

    static QString waitText();

    // The id of the user being edited, sent as "id".
    std::int16_t UserId = 0;

    // Fills the boxes from a row of the list; the carrier entry is chosen by
    // name (none when the row's carrier is not one of the known ones).
    void fillFrom(const UserRow &row);

    QPushButton *cmdUpdate() const { return sendButton(); }
    void cmdUpdate_Click();
    void SendUserUpdate();

protected:
    UsernameCheck usernameCheck() const override { return UsernameCheck::Skip; }
    ServerRequest buildRequest() const override;
    void handleReply(const ServerReply &reply) override;
};

} // namespace kestrup
