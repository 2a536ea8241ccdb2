#include "frm_loginaccount.h"

#include "AdminAccount.h"
#include "Artwork.h"
#include "PasswordBox.h"
#include "TextBox.h"
#include "RequestCycle.h"
#include "WaitPanel.h"
#include "WizardContext.h"
#include "WizardMessageBox.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrup {

frm_loginaccount::frm_loginaccount(WizardContext &context, QWidget *parent)
    : WizardPage(context, parent)
    , m_imgHead(new QLabel(this))
    , m_lblVantorel(new QLabel(QStringLiteral("Vantorel Software Administrative Check"), this))
    , m_txtUsername(newTextBox(QStringLiteral("txtUsername"), this))
    , m_txtPassword(newTextBox(QStringLiteral("txtPassword"), this))
    , m_panel(new WaitPanel(QStringLiteral("Please wait, wizard is connecting to Vantorel Software "
                                           "Server to check your account."),
                            this))
    , m_cycle(new RequestCycle(context, m_panel, this, [this](bool busy) { setBusyControls(busy); }))
{
    setObjectName(QStringLiteral("frm_loginaccount"));
    m_imgHead->setObjectName(QStringLiteral("imgHead"));
    m_lblVantorel->setObjectName(QStringLiteral("lblVantorel"));
    usePasswordMask(m_txtPassword);

    m_imgHead->setPixmap(Artwork::headerPicture());
    QFont bold = m_lblVantorel->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    m_lblVantorel->setFont(bold);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Username:"), m_txtUsername);
    form->addRow(QStringLiteral("Password:"), m_txtPassword);
    auto *wait = new QHBoxLayout;
    wait->addWidget(m_panel->Frame2(), 1);
    wait->addWidget(m_panel->Picture2());

    contentLayout()->addWidget(m_lblVantorel);
    contentLayout()->addWidget(m_imgHead);
    contentLayout()->addSpacing(8);
    contentLayout()->addLayout(form);
    contentLayout()->addStretch(1);
    contentLayout()->addLayout(wait);

    // Opening: the boxes show the shared state; from here on every change
    // is copied back at once.
    WizardState &state = context.state();
    m_txtUsername->setText(state.Username);
    m_txtPassword->setText(state.Password);
    connect(m_txtUsername, &QLineEdit::textChanged, this,
            [this](const QString &text) { this->context().state().Username = text; });
    connect(m_txtPassword, &QLineEdit::textChanged, this,
            [this](const QString &text) { this->context().state().Password = text; });
    ThisCanExit = false;

    connect(cmdNext(), &QPushButton::clicked, this, &frm_loginaccount::cmdNext_Click);
    connect(cmdBack(), &QPushButton::clicked, this, &frm_loginaccount::cmdBack_Click);
    connect(cmdCancel(), &QPushButton::clicked, this, &frm_loginaccount::cmdCancel_Click);
    connect(m_cycle, &RequestCycle::replyReady, this, &frm_loginaccount::handleReply);

    setTabOrder(m_txtUsername, m_txtPassword);
    setTabOrder(m_txtPassword, cmdCancel());
    setTabOrder(cmdCancel(), cmdNext());
    setTabOrder(cmdNext(), cmdBack());
    m_txtUsername->setFocus();
    setFixedSize(qMax(sizeHint().width(), 503), sizeHint().height());
}

void frm_loginaccount::setBusyControls(bool busy)
{
    m_txtUsername->setEnabled(!busy);
    m_txtPassword->setEnabled(!busy);
    if (!busy)
        m_txtUsername->setFocus();
    cmdBack()->setEnabled(!busy);
    cmdCancel()->setEnabled(!busy);
    cmdNext()->setEnabled(!busy);
}

void frm_loginaccount::cmdNext_Click()
{
    SendAdminLogin();
}

void frm_loginaccount::SendAdminLogin()
{
    const QString problem = firstLoginProblem(context().state());
    if (!problem.isEmpty()) {
        WizardMessageBox::information(this, problem);
        return;
    }
    m_cycle->ShowBusyState();
    m_cycle->send(loginRequest(context().state()));
}

void frm_loginaccount::handleReply(const ServerReply &reply)
{
    const AccountOutcome outcome = readLoginReply(reply);
    if (!outcome.success) {
        WizardMessageBox::information(this, outcome.message);
        m_cycle->ShowIdleState();
        return;
    }
    context().state().AdminId = outcome.adminId;
    if (!moveTo(Page::EmailUsers))
        m_cycle->ShowIdleState(); // a build without the user list page
}

void frm_loginaccount::cmdBack_Click()
{
    moveTo(Page::AdminReg);
}

void frm_loginaccount::cmdCancel_Click()
{
    close();
}

} // namespace kestrup
