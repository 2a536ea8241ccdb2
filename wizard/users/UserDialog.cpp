#include "UserDialog.h"

#include "UserRow.h"

#include "wizard/frame/PasswordBox.h"
#include "wizard/frame/TextBox.h"
#include "wizard/frame/RequestCycle.h"
#include "wizard/frame/ServerReply.h"
#include "wizard/frame/WaitPanel.h"
#include "wizard/frame/WizardMessageBox.h"
#include "wizard/frame/WizardPage.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrup {

UserDialog::UserDialog(WizardContext &context, QTreeWidget *list, const Texts &texts, QWidget *page)
    : QDialog(page)
    , m_context(context)
    , m_list(list)
    , m_lblHeader(new QLabel(texts.header, this))
    , m_txtUsername(newTextBox(QStringLiteral("txtUsername"), this))
    , m_txtPassword(newTextBox(QStringLiteral("txtPassword"), this))
    , m_txtFirstname(newTextBox(QStringLiteral("txtFirstname"), this))
    , m_txtLastname(newTextBox(QStringLiteral("txtLastname"), this))
    , m_txtEmail(newTextBox(QStringLiteral("txtEmail"), this))
    , m_txtTel(newTextBox(QStringLiteral("txtTel"), this))
    , m_txtWirelessNo(newTextBox(QStringLiteral("txtWirelessNo"), this))
    , m_cboServiceProvider(new QComboBox(this))
    , m_cmdSend(new QPushButton(texts.sendCaption, this))
    , m_cmdCancel(new QPushButton(QStringLiteral("&Cancel"), this))
    , m_panel(new WaitPanel(texts.waitText, this))
    , m_cycle(new RequestCycle(context, m_panel, this, [this](bool busy) { setBusyControls(busy); }))
{
    setWindowTitle(WizardPage::windowCaption());
    setAttribute(Qt::WA_DeleteOnClose);
    m_lblHeader->setObjectName(QStringLiteral("lblHeader"));
    QFont bold = m_lblHeader->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    m_lblHeader->setFont(bold);
    usePasswordMask(m_txtPassword);
    m_cboServiceProvider->setObjectName(QStringLiteral("cboServiceProvider"));
    m_cmdSend->setObjectName(texts.sendName);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdSend->setDefault(true);
    m_cmdSend->setAutoDefault(true);
    m_cmdCancel->setAutoDefault(false);

    // The carrier box can also be typed in; what is typed is never added to
    // its list, and no completion changes it behind the administrator's back.
    m_cboServiceProvider->setEditable(true);
    m_cboServiceProvider->setInsertPolicy(QComboBox::NoInsert);
    m_cboServiceProvider->setCompleter(nullptr);
    liftLengthLimit(m_cboServiceProvider->lineEdit());
    m_cboServiceProvider->clear();
    m_cboServiceProvider->addItems(ProviderNames());
    m_cboServiceProvider->setCurrentIndex(-1);
    m_ProviderDomains = kestrup::ProviderDomains();

    auto *fieldsGrid = new QGridLayout;
    const std::pair<const char *, QLineEdit *> left[] = {
        {"Username:", m_txtUsername}, {"Password:", m_txtPassword},
        {"Firstname:", m_txtFirstname}, {"Lastname:", m_txtLastname},
        {"Email:", m_txtEmail}, {"Tel #:", m_txtTel},
    };
    int row = 0;
    for (const auto &[label, edit] : left) {
        auto *caption = new QLabel(QString::fromLatin1(label), this);
        caption->setBuddy(edit);
        fieldsGrid->addWidget(caption, row, 0);
        fieldsGrid->addWidget(edit, row, 1);
        ++row;
    }
    auto *lblWireless = new QLabel(QStringLiteral("Wireless Phone #"), this);
    auto *lblProvider = new QLabel(QStringLiteral("Service Provider"), this);
    fieldsGrid->addWidget(lblWireless, 0, 3);
    fieldsGrid->addWidget(m_txtWirelessNo, 1, 3);
    fieldsGrid->addWidget(lblProvider, 2, 3);
    fieldsGrid->addWidget(m_cboServiceProvider, 3, 3);
    fieldsGrid->setColumnMinimumWidth(2, 16);
    fieldsGrid->setColumnStretch(1, 1);
    fieldsGrid->setColumnStretch(3, 1);

    auto *wait = new QHBoxLayout;
    wait->addWidget(m_panel->Picture2());
    wait->addWidget(m_panel->Frame2(), 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cmdSend);
    buttons->addWidget(m_cmdCancel);

    auto *outer = new QVBoxLayout(this);
    outer->addWidget(m_lblHeader);
    outer->addLayout(fieldsGrid);
    outer->addLayout(wait);
    outer->addLayout(buttons);

    QWidget *order[] = {m_txtUsername, m_txtPassword, m_txtFirstname, m_txtLastname, m_txtEmail,
                        m_txtTel, m_txtWirelessNo, m_cboServiceProvider, m_cmdSend, m_cmdCancel};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);
    connect(m_cycle, &RequestCycle::replyReady, this, &UserDialog::handleReply);
}

void UserDialog::showModal()
{
    setWindowModality(Qt::ApplicationModal);
    show();
    m_txtUsername->setFocus();
}

void UserDialog::SetFieldsEnabled(bool enabled)
{
    for (QWidget *w : std::initializer_list<QWidget *>{m_txtUsername, m_txtPassword, m_txtFirstname,
                                                       m_txtLastname, m_txtTel, m_txtEmail,
                                                       m_txtWirelessNo, m_cboServiceProvider})
        w->setEnabled(enabled);
}

bool UserDialog::ValidateUserFields()
{
    const QString problem = UserFieldsProblem(fields(), usernameCheck());
    if (problem.isEmpty())
        return true;
    WizardMessageBox::information(this, problem);
    return false;
}

UserFields UserDialog::fields() const
{
    UserFields f;
    f.username = m_txtUsername->text();
    f.password = m_txtPassword->text();
    f.firstname = m_txtFirstname->text();
    f.lastname = m_txtLastname->text();
    f.email = m_txtEmail->text();
    f.tel = m_txtTel->text();
    f.wirelessNo = m_txtWirelessNo->text();
    return f;
}

int UserDialog::chosenProvider() const
{
    const int index = m_cboServiceProvider->currentIndex();
    const QString text = m_cboServiceProvider->currentText();
    if (index >= 0 && m_cboServiceProvider->itemText(index) == text)
        return index;
    // A carrier's exact name typed in is that carrier: the row shows the
    // name, so the server must get its domain too.
    return ProviderIndexOf(text);
}

QString UserDialog::domainToSend() const
{
    return DomainToSend(m_ProviderDomains, chosenProvider());
}

UserRow UserDialog::typedRow(std::int16_t id) const
{
    const UserFields f = fields();
    UserRow row;
    row.id = id;
    row.username = f.username;
    row.firstname = f.firstname;
    row.lastname = f.lastname;
    row.email = f.email;
    row.tel = f.tel;
    row.wirelessNo = f.wirelessNo;
    row.provider = m_cboServiceProvider->currentText();
    row.password = f.password;
    return row;
}

void UserDialog::sendRequest()
{
    SetFieldsEnabled(false);
    m_cycle->ShowBusyState();
    m_cycle->send(buildRequest());
}

void UserDialog::fail(const QString &message)
{
    WizardMessageBox::information(this, message);
    m_cycle->ShowIdleState();
}

void UserDialog::setBusyControls(bool busy)
{
    if (!busy) {
        SetFieldsEnabled(true);
        m_txtUsername->setFocus();
    }
    m_cmdCancel->setEnabled(!busy);
    m_cmdSend->setEnabled(!busy);
}

void UserDialog::closeEvent(QCloseEvent *event)
{
    // Nothing is handled for a dialog that is gone.
    m_cycle->abandon();
    event->accept();
}

void UserDialog::reject()
{
    // Escape is Cancel, and does nothing while Cancel is disabled.
    if (m_cmdCancel->isEnabled())
        close();
}

} // namespace kestrup
