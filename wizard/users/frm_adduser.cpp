#include "frm_adduser.h"

#include "UserListView.h"
#include "UserRow.h"

#include "wizard/frame/ServerReply.h"
#include "wizard/frame/WizardContext.h"

#include <QPushButton>

namespace kestrup {

frm_adduser::frm_adduser(WizardContext &context, QTreeWidget *list, QWidget *page)
    : UserDialog(context, list,
                 {QStringLiteral("Vantorel Software Add User Account"), waitText(),
                  QStringLiteral("cmdNext"), QStringLiteral("&Add")},
                 page)
{
    setObjectName(QStringLiteral("frm_adduser"));
    connect(cmdNext(), &QPushButton::clicked, this, &frm_adduser::cmdNext_Click);
}

QString frm_adduser::waitText()
{
    return QStringLiteral("Please wait, wizard is connecting to Vantorel Software Server to Add New User Account.");
}

void frm_adduser::cmdNext_Click()
{
    if (ValidateUserFields())
        SendNewUser();
}

void frm_adduser::SendNewUser()
{
    sendRequest();
}

ServerRequest frm_adduser::buildRequest() const
{
    return addUserRequest(fields(), domainToSend(), context().state().AdminId);
}

void frm_adduser::handleReply(const ServerReply &reply)
{
    const QString tryAgain = QStringLiteral("Please try again registration error.");
    if (!reply.isReadable()) {
        fail(tryAgain);
        return;
    }
    if (reply.is(u"CANOTADD")) {
        fail(QStringLiteral("Error Adding User"));
        return;
    }
    const std::optional<std::int16_t> id = reply.replyValue();
    if (!reply.is(u"USERADDED") || !id) {
        fail(tryAgain);
        return;
    }
    UserListView::appendRow(list(), typedRow(*id));
    close();
}

} // namespace kestrup
