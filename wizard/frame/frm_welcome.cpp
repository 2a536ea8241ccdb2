#include "frm_welcome.h"


#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrup {

frm_welcome::frm_welcome(WizardContext &context, QWidget *parent)
    : WizardPage(context, parent)
    , m_Picture1(new QLabel(this))
    , m_lblWelcome(new QLabel(QStringLiteral("Welcome!"), this))
    , m_lblWelcomeTo(new QLabel(welcomeText(), this))
    , m_cmdLogin(new QPushButton(tr("I already have an administrator account: &Log in"), this))
{
    setObjectName(QStringLiteral("frm_welcome"));
    ThisCanExit = false;

    m_lblWelcome->setObjectName(QStringLiteral("lblWelcome"));
    m_lblWelcomeTo->setObjectName(QStringLiteral("lblWelcomeTo"));
    m_cmdLogin->setObjectName(QStringLiteral("cmdLogin"));

    QVBoxLayout *column = addSidePictureContent(m_Picture1, m_lblWelcome, m_lblWelcomeTo);
    column->addStretch(1);
    column->addWidget(m_cmdLogin, 0, Qt::AlignLeft);

    cmdBack()->setEnabled(false);
    connect(cmdNext(), &QPushButton::clicked, this, &frm_welcome::cmdNext_Click);
    connect(cmdCancel(), &QPushButton::clicked, this, &frm_welcome::cmdCancel_Click);
    connect(m_cmdLogin, &QPushButton::clicked, this, &frm_welcome::cmdLogin_Click);

    setTabOrder(cmdNext(), cmdCancel());
    setTabOrder(cmdCancel(), m_cmdLogin);
    setTabOrder(m_cmdLogin, cmdBack());
    cmdNext()->setFocus();
    setFixedSize(sizeHint());
}

QString frm_welcome::welcomeText()
{
    return QStringLiteral(
        "Welcome to Vantorel Software Administrative setup program. This program will guide you on "
        "registering administrative account, and add users to your Vantorel Software\n\n"
        "Click Cancel to quit Wizard. Click Next to continue with the Wizard program.\n\n"
        "WARNING: This program is protected by copyright law. Copying, reproducing or "
        "distributing this program, or any part of it, without the written permission of "
        "Vantorel Software is not allowed.\n\n"
        "Unauthorised reproduction or distribution of this program may lead to civil and "
        "criminal penalties and will be prosecuted to the full extent of the law.");
}

void frm_welcome::cmdNext_Click()
{
    moveTo(Page::AdminReg);
}

void frm_welcome::cmdCancel_Click()
{
    close();
}

void frm_welcome::cmdLogin_Click()
{
    moveTo(Page::LoginAccount);
}

} // namespace kestrup
