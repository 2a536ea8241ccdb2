#include "frm_edituser.h"

#include "UserListView.h"
#include "UserRow.h"

#include "wizard/frame/ServerReply.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace kestrup {

frm_edituser::frm_edituser(WizardContext &context, QTreeWidget *list, QWidget *page)
    : UserDialog(context, list,
                 {QStringLiteral("Vantorel Software Edit User"), waitText(),
                  QStringLiteral("cmdUpdate"), QStringLiteral("&Update")},
                 page)
{
    setObjectName(QStringLiteral("frm_edituser"));
    txtUsername()->setReadOnly(true);
    connect(cmdUpdate(), &QPushButton::clicked, this, &frm_edituser::cmdUpdate_Click);
}

QString frm_edituser::waitText()
{
    return QStringLiteral("Please wait, wizard is connecting to Vantorel Software Server to Update User Account.");
}

void frm_edituser::fillFrom(const UserRow &row)
{
    txtUsername()->setText(row.username);
    txtPassword()->setText(row.password);
    txtFirstname()->setText(row.firstname);
    txtLastname()->setText(row.lastname);
    txtEmail()->setText(row.email);
    txtTel()->setText(row.tel);
    txtWirelessNo()->setText(row.wirelessNo);
    cboServiceProvider()->setCurrentIndex(ProviderIndexOf(row.provider));
}

void frm_edituser::cmdUpdate_Click()
{
    if (ValidateUserFields())
        SendUserUpdate();
}

void frm_edituser::SendUserUpdate()
{
    sendRequest();
}

ServerRequest frm_edituser::buildRequest() const
{
    return editUserRequest(fields(), domainToSend(), UserId);
}

void frm_edituser::handleReply(const ServerReply &reply)
{
    const std::optional<std::int16_t> id = reply.replyValue();
    if (!reply.is(u"EDITUSER") || !id) {
        fail(QStringLiteral("Please try again error connecting to server."));
        return;
    }
    const int position = UserListView::firstRowWithTag(list(), *id);
    if (position >= 0)
        UserListView::setSubItemsAndTag(list()->topLevelItem(position), typedRow(*id));
    close();
}

} // namespace kestrup
