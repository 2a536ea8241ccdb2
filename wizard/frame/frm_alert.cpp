#include "frm_alert.h"

#include "Artwork.h"
#include "WizardContext.h"
#include "WizardMessageBox.h"
#include "WizardPage.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace kestrup {

frm_alert::frm_alert(const QString &vendorHost, QWidget *owner)
    : QDialog(owner)
    , m_lblAreYou(new QLabel(questionText(), this))
    , m_lblYourRegistration(new QLabel(explanationText(vendorHost), this))
    , m_imgicon(new QLabel(this))
    , m_cmdYes(new QPushButton(tr("&Yes"), this))
    , m_cmdNo(new QPushButton(tr("&No"), this))
{
    setObjectName(QStringLiteral("frm_alert"));
    setWindowTitle(WizardPage::windowCaption());
    setModal(true);
    m_lblAreYou->setObjectName(QStringLiteral("lblAreYou"));
    m_lblYourRegistration->setObjectName(QStringLiteral("lblYourRegistration"));
    m_imgicon->setObjectName(QStringLiteral("imgicon"));
    m_cmdYes->setObjectName(QStringLiteral("cmdYes"));
    m_cmdNo->setObjectName(QStringLiteral("cmdNo"));

    QFont bold = m_lblAreYou->font();
    bold.setBold(true);
    m_lblAreYou->setFont(bold);
    m_imgicon->setPixmap(Artwork::alertIcon());
    m_imgicon->setAlignment(Qt::AlignTop);

    m_cmdYes->setDefault(true);
    connect(m_cmdYes, &QPushButton::clicked, this, &frm_alert::cmdYes_Click);
    connect(m_cmdNo, &QPushButton::clicked, this, &frm_alert::cmdNo_Click);

    auto *grid = new QGridLayout(this);
    grid->addWidget(m_imgicon, 0, 0, 2, 1);
    grid->addWidget(m_lblAreYou, 0, 1);
    grid->addWidget(m_lblYourRegistration, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cmdYes);
    buttons->addWidget(m_cmdNo);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    setFixedSize(sizeHint());
}

QString frm_alert::questionText()
{
    return QStringLiteral("Are you sure that you want to quit registration wizard?");
}

QString frm_alert::explanationText(const QString &vendorHost)
{
    return QStringLiteral("Your registration is not finished, you can visit ") + vendorHost
        + QStringLiteral(" \nto register Administrative account");
}

void frm_alert::showEvent(QShowEvent *event)
{
    ExitSetup = false;
    QDialog::showEvent(event);
}

void frm_alert::cmdYes_Click()
{
    ExitSetup = true;
    accept();
}

void frm_alert::cmdNo_Click()
{
    ExitSetup = false;
    reject();
}

bool frm_alert::ask(WizardContext &context, QWidget *owner)
{
    frm_alert dialog(context.settings().vendorHost, owner);
    WizardMessageBox::Shown description;
    description.title = dialog.windowTitle();
    description.text = questionText();
    description.icon = QMessageBox::Question;
    description.buttons = QMessageBox::Yes | QMessageBox::No;
    const auto answer = WizardMessageBox::runDialog(dialog, description, [&dialog](int) {
        return dialog.ExitSetup ? WizardMessageBox::Answer::Yes : WizardMessageBox::Answer::No;
    });
    dialog.ExitSetup = answer == WizardMessageBox::Answer::Yes;
    return dialog.ExitSetup;
}

} // namespace kestrup
