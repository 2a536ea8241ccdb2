#include "frm_emailusers.h"

#include "ProviderTable.h"
#include "UserIcons.h"
#include "UserListReply.h"
#include "UserListView.h"
#include "UserRequests.h"
#include "frm_adduser.h"
#include "frm_edituser.h"

#include "wizard/frame/RequestCycle.h"
#include "wizard/frame/ServerReply.h"
#include "wizard/frame/WaitPanel.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardMessageBox.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kestrup {

namespace {

// A focused picture button answers Enter itself, as the page's push buttons
// do; a plain tool button would let the key go on to the default button, Next.
class PictureButton : public QToolButton
{
public:
    using QToolButton::QToolButton;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            event->accept();
            click();
            return;
        }
        QToolButton::keyPressEvent(event);
    }
};

// Picture buttons of 750 x 555 twips.
QToolButton *pictureButton(const QString &name, const QString &caption, const QPixmap &picture,
                           QWidget *parent)
{
    auto *button = new PictureButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setIcon(QIcon(picture));
    button->setIconSize(QSize(UserIcons::kSize, UserIcons::kSize));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setFixedSize(750 / 15, 555 / 15);
    QFont font = button->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    button->setFont(font);
    return button;
}

} // namespace

frm_emailusers::frm_emailusers(WizardContext &context, QWidget *parent)
    : WizardPage(context, parent)
    , m_lblTitle(new QLabel(QStringLiteral("Vantorel Software Create User Account"), this))
    , m_lblCheckOn(new QLabel(QStringLiteral("Check on the checkbox to send user download link information."), this))
    , m_cmdCommand1(pictureButton(QStringLiteral("cmdCommand1"), QStringLiteral("&Add"), UserIcons::addUser(), this))
    , m_cmdEmail(pictureButton(QStringLiteral("cmdEmail"), QStringLiteral("&Email"), UserIcons::emailUsers(), this))
    , m_Command1(pictureButton(QStringLiteral("Command1"), QStringLiteral("&Remove"), UserIcons::removeUser(), this))
    , m_cmdEdit(pictureButton(QStringLiteral("cmdEdit"), QStringLiteral("&Edit"), UserIcons::editUser(), this))
    , m_ListView1(new QTreeWidget(this))
    , m_panel(new WaitPanel(listWaitText(), this))
    , m_cycle(new RequestCycle(context, m_panel, this, [this](bool busy) { setBusyControls(busy); }))
{
    setObjectName(QStringLiteral("frm_emailusers"));
    m_lblTitle->setObjectName(QStringLiteral("lblTitle"));
    m_lblCheckOn->setObjectName(QStringLiteral("lblCheckOn"));
    m_ListView1->setObjectName(QStringLiteral("ListView1"));
    QFont bold = m_lblTitle->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    m_lblTitle->setFont(bold);
    UserListView::setUp(m_ListView1);

    auto *actions = new QHBoxLayout;
    actions->addWidget(m_cmdCommand1);
    actions->addWidget(m_cmdEmail);
    actions->addWidget(m_Command1);
    actions->addWidget(m_cmdEdit);
    actions->addStretch(1);

    auto *wait = new QHBoxLayout;
    wait->addWidget(m_panel->Picture2());
    wait->addWidget(m_panel->Frame2(), 1);

    QVBoxLayout *content = contentLayout();
    content->addWidget(m_lblTitle);
    content->addWidget(m_lblCheckOn);
    content->addLayout(actions);
    content->addWidget(m_ListView1, 1);
    content->addLayout(wait);
    resize(8 * 96 + 40, 420);

    connect(m_cmdCommand1, &QToolButton::clicked, this, &frm_emailusers::cmdCommand1_Click);
    connect(m_cmdEmail, &QToolButton::clicked, this, &frm_emailusers::EmailCheckedUsers);
    connect(m_Command1, &QToolButton::clicked, this, &frm_emailusers::RemoveSelectedUser);
    connect(m_cmdEdit, &QToolButton::clicked, this, &frm_emailusers::EditSelectedUser);
    connect(cmdBack(), &QPushButton::clicked, this, &frm_emailusers::cmdBack_Click);
    connect(cmdNext(), &QPushButton::clicked, this, &frm_emailusers::cmdNext_Click);
    connect(cmdCancel(), &QPushButton::clicked, this, &frm_emailusers::cmdCancel_Click);
    connect(m_cycle, &RequestCycle::replyReady, this, &frm_emailusers::handleReply);

    setTabOrder(m_cmdCommand1, m_cmdEmail);
    setTabOrder(m_cmdEmail, m_Command1);
    setTabOrder(m_Command1, m_cmdEdit);
    setTabOrder(m_cmdEdit, m_ListView1);
    setTabOrder(m_ListView1, cmdBack());
    setTabOrder(cmdBack(), cmdNext());
    setTabOrder(cmdNext(), cmdCancel());
}

QString frm_emailusers::listWaitText()
{
    return QStringLiteral("Please wait, wizard is connecting to Vantorel Software Server to get your user accounts");
}

QString frm_emailusers::deleteWaitText()
{
    return QStringLiteral("Please wait, wizard is connecting to Vantorel Software Server to delete selected user account");
}

QString frm_emailusers::emailWaitText()
{
    return QStringLiteral("Please wait, wizard is connecting to Vantorel Software Server to send email to selected users.");
}

QString frm_emailusers::applicationTitle()
{
    return QStringLiteral("Vantorel Software Administrative S");
}

void frm_emailusers::showEvent(QShowEvent *event)
{
    WizardPage::showEvent(event);
    // The page loads when it is first shown, so that it is on screen while
    // the list is fetched.
    if (!m_loaded) {
        m_loaded = true;
        Form_Load();
    }
}

void frm_emailusers::Form_Load()
{
    ThisCanExit = false;
    RequestUserList();
    UserListView::hidePasswordColumn(m_ListView1);
}

void frm_emailusers::setBusyControls(bool busy)
{
    // The four action buttons stay usable in both states.
    m_ListView1->setEnabled(!busy);
    cmdCancel()->setEnabled(!busy);
    cmdNext()->setEnabled(!busy);
    cmdBack()->setEnabled(!busy);
}

void frm_emailusers::RequestUserList()
{
    m_cycle->ShowBusyState();
    m_panel->setWaitText(listWaitText());
    m_cycle->send(userListRequest(context().state().AdminId));
}

void frm_emailusers::RemoveSelectedUser()
{
    const QTreeWidgetItem *row = UserListView::selectedRow(m_ListView1);
    if (!row) {
        WizardMessageBox::information(this, QStringLiteral("Please select user to delete."));
        return;
    }
    const std::int16_t id = UserListView::tagOf(row);
    if (!WizardMessageBox::question(this, applicationTitle(), QStringLiteral("Delete Selected account?"),
                                    QMessageBox::Information))
        return;
    m_cycle->ShowBusyState();
    m_panel->setWaitText(deleteWaitText());
    m_cycle->send(deleteUserRequest(id));
}

void frm_emailusers::EmailCheckedUsers()
{
    const QStringList mails = UserListView::checkedEmails(m_ListView1);
    if (mails.isEmpty()) {
        WizardMessageBox::information(this, QStringLiteral("Please select user to send email link."));
        return;
    }
    // Rows can be ticked with none selected; the address then names no user.
    const QTreeWidgetItem *selected = UserListView::selectedRow(m_ListView1);
    const std::int16_t selectedId = selected ? UserListView::tagOf(selected) : std::int16_t(0);
    m_cycle->ShowBusyState();
    m_panel->setWaitText(emailWaitText());
    m_cycle->send(emailUsersRequest(selectedId, mails, context().state().AdminId));
}

void frm_emailusers::EditSelectedUser()
{
    const QTreeWidgetItem *item = UserListView::selectedRow(m_ListView1);
    if (!item) {
        WizardMessageBox::information(this, QStringLiteral("Please select user to edit."));
        return;
    }
    const UserRow row = UserListView::rowOf(item);
    auto *dialog = new frm_edituser(context(), m_ListView1, this);
    dialog->UserId = row.id;
    dialog->fillFrom(row);
    dialog->showModal();
}

void frm_emailusers::cmdCommand1_Click()
{
    auto *dialog = new frm_adduser(context(), m_ListView1, this);
    dialog->showModal();
}

void frm_emailusers::cmdBack_Click()
{
    moveTo(Page::LoginAccount);
}

void frm_emailusers::cmdNext_Click()
{
    moveTo(Page::Finished);
}

void frm_emailusers::cmdCancel_Click()
{
    close();
}

void frm_emailusers::handleReply(const ServerReply &reply)
{
    if (!reply.isReadable()) {
        unreadableReply();
        return;
    }
    if (reply.is(u"DELETEOK"))
        deleteCompletion(reply);
    else if (reply.is(u"MSGSEND"))
        emailCompletion(reply);
    else
        listCompletion(reply);
}

void frm_emailusers::unreadableReply()
{
    WizardMessageBox::information(this, QStringLiteral("Please try again, error connecting to server."));
    m_cycle->ShowIdleState();
}

void frm_emailusers::deleteCompletion(const ServerReply &reply)
{
    const std::optional<std::int16_t> id = reply.replyValue();
    if (!id) {
        // Without a usable id there is no telling which row went.
        unreadableReply();
        return;
    }
    const int position = UserListView::lastRowWithTag(m_ListView1, *id);
    if (position >= 0)
        delete m_ListView1->takeTopLevelItem(position);
    m_cycle->ShowIdleState();
}

void frm_emailusers::emailCompletion(const ServerReply &reply)
{
    const std::optional<std::int16_t> count = reply.replyValue();
    if (!count) {
        unreadableReply();
        return;
    }
    WizardMessageBox::information(this, QStringLiteral("Email sent to %1 selected users").arg(*count));
    m_cycle->ShowIdleState();
}

void frm_emailusers::listCompletion(const ServerReply &reply)
{
    UserListView::appendRows(m_ListView1, readUserList(reply.xml()).rows);
    m_cycle->ShowIdleState();
}

} // namespace kestrup
