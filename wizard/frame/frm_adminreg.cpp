#include "frm_adminreg.h"

#include "AdminAccount.h"
#include "Artwork.h"
#include "CountryList.h"
#include "FieldChecks.h"
#include "PasswordBox.h"
#include "TextBox.h"
#include "RequestCycle.h"
#include "WaitPanel.h"
#include "WizardContext.h"
#include "WizardMessageBox.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrup {

frm_adminreg::frm_adminreg(WizardContext &context, QWidget *parent)
    : WizardPage(context, parent)
    , m_imgHead(new QLabel(this))
    , m_lblYouAre(new QLabel(
          QStringLiteral("You are about to register to the Vantorel Software System as an Administrator "
                         "and enjoy the privilege of being one of the first to manage instant alerts! "
                         "We at Tarvex Enterprises look forward to providing you with excellent service!"),
          this))
    , m_cboCountry(new QComboBox(this))
    , m_panel(new WaitPanel(QStringLiteral("Please wait, Setup is connecting to Vantorel Software Server "
                                           "to register your new account."),
                            this))
    , m_cycle(new RequestCycle(context, m_panel, this, [this](bool busy) { setBusyControls(busy); }))
{
    setObjectName(QStringLiteral("frm_adminreg"));
    m_imgHead->setObjectName(QStringLiteral("imgHead"));
    m_lblYouAre->setObjectName(QStringLiteral("lblYouAre"));
    m_cboCountry->setObjectName(QStringLiteral("cboCountry"));
    m_imgHead->setPixmap(Artwork::headerPicture());
    QFont bold = m_lblYouAre->font();
    bold.setBold(true);
    m_lblYouAre->setFont(bold);
    m_lblYouAre->setWordWrap(true);

    // Tab order 0..11: the boxes in this order, the country list at 8.
    struct Row { const char *label; const char *name; QString WizardState::*field; };
    const Row left[] = {
        {"Username:", "txtUsername", &WizardState::Username},
        {"Password:", "txtPassword", &WizardState::Password},
        {"Firstname:", "txtFirstname", &WizardState::Firstname},
        {"Lastname:", "txtLastname", &WizardState::Lastname},
        {"Company Name:", "txtCompanyName", &WizardState::CompanyName},
        {"Address:", "txtAddress", &WizardState::Address},
    };
    const Row right[] = {
        {"Tel #:", "txtTel", &WizardState::Tel},
        {"Email:", "txtEmail", &WizardState::Email},
        {"Country:", nullptr, &WizardState::Country},
        {"State", "txtState", &WizardState::State},
        {"City:", "txtCity", &WizardState::City},
        {"Zip Code:", "txtZipCode", &WizardState::ZipCode},
    };
    auto *grid = new QGridLayout;
    QWidget *previous = nullptr;
    int column = 0;
    for (const auto *rows : {left, right}) {
        for (int r = 0; r < 6; ++r) {
            QWidget *field = nullptr;
            if (rows[r].name)
                field = addBox(rows[r].name, rows[r].field);
            else
                field = m_cboCountry;
            grid->addWidget(new QLabel(QString::fromLatin1(rows[r].label), this), r, column);
            grid->addWidget(field, r, column + 1);
            if (previous)
                setTabOrder(previous, field);
            previous = field;
        }
        column += 2;
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setColumnMinimumWidth(2, 80);
    m_txtUsername = m_boxes.first().first;
    usePasswordMask(m_boxes.at(1).first);
    setTabOrder(previous, cmdNext());
    setTabOrder(cmdNext(), cmdCancel());
    setTabOrder(cmdCancel(), cmdBack());

    auto *wait = new QHBoxLayout;
    wait->addWidget(m_panel->Frame2(), 1);
    wait->addWidget(m_panel->Picture2());
    contentLayout()->addWidget(m_imgHead);
    contentLayout()->addWidget(m_lblYouAre);
    contentLayout()->addSpacing(6);
    contentLayout()->addLayout(grid);
    contentLayout()->addStretch(1);
    contentLayout()->addLayout(wait);

    // Opening the page.
    ThisCanExit = false;
    FillCountryList(m_cboCountry);
    m_cboCountry->setCurrentIndex(-1);
    connect(m_cboCountry, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0)
            this->context().state().Country = m_cboCountry->itemText(index);
    });
    SetFieldsEnabled(true);
    RestoreFields();
    // Back has nothing to do on opening; the idle step after a failed
    // request enables it, and then it leads to the welcome page.
    cmdBack()->setEnabled(false);

    connect(cmdNext(), &QPushButton::clicked, this, &frm_adminreg::cmdNext_Click);
    connect(cmdBack(), &QPushButton::clicked, this, &frm_adminreg::cmdBack_Click);
    connect(cmdCancel(), &QPushButton::clicked, this, &frm_adminreg::cmdCancel_Click);
    connect(m_cycle, &RequestCycle::replyReady, this, &frm_adminreg::handleReply);
    m_txtUsername->setFocus();
    setFixedSize(qMax(sizeHint().width(), 620), sizeHint().height());
}

QLineEdit *frm_adminreg::addBox(const char *name, QString WizardState::*field)
{
    QLineEdit *box = newTextBox(QString::fromLatin1(name), this);
    connect(box, &QLineEdit::textChanged, this,
            [this, field](const QString &text) { this->context().state().*field = text; });
    m_boxes.append({box, field});
    return box;
}

void frm_adminreg::RestoreFields()
{
    WizardState &state = context().state();
    // Copies first: setting a box writes its field back, and the country
    // must be read before anything can touch it.
    const WizardState saved = state;
    for (const auto &[box, field] : m_boxes)
        box->setText(saved.*field);
    m_cboCountry->setCurrentIndex(FindListIndex(saved.Country, m_cboCountry));
}

void frm_adminreg::SetFieldsEnabled(bool enabled)
{
    for (const auto &entry : m_boxes)
        entry.first->setEnabled(enabled);
    m_cboCountry->setEnabled(enabled);
}

void frm_adminreg::setBusyControls(bool busy)
{
    if (!busy) {
        SetFieldsEnabled(true);
        m_txtUsername->setFocus();
    }
    cmdBack()->setEnabled(!busy);
    cmdCancel()->setEnabled(!busy);
    cmdNext()->setEnabled(!busy);
}

bool frm_adminreg::ValidateRegistrationFields()
{
    const QString problem = firstRegistrationProblem(context().state());
    if (problem.isEmpty())
        return true;
    WizardMessageBox::information(this, problem);
    return false;
}

void frm_adminreg::SendRegistration()
{
    SetFieldsEnabled(false);
    m_cycle->ShowBusyState();
    m_cycle->send(registrationRequest(context().state()));
}

void frm_adminreg::handleReply(const ServerReply &reply)
{
    const AccountOutcome outcome = readRegistrationReply(reply);
    if (!outcome.success) {
        WizardMessageBox::information(this, outcome.message);
        m_cycle->ShowIdleState();
        return;
    }
    context().state().AdminId = outcome.adminId;
    moveTo(Page::Finished);
}

void frm_adminreg::cmdNext_Click()
{
    if (ValidateRegistrationFields())
        SendRegistration();
}

void frm_adminreg::cmdBack_Click()
{
    moveTo(Page::Welcome);
}

void frm_adminreg::cmdCancel_Click()
{
    close();
}

} // namespace kestrup
