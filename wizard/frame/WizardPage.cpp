#include "WizardPage.h"

#include "Artwork.h"
#include "RequestCycle.h"
#include "WizardContext.h"
#include "frm_alert.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrup {

WizardPage::WizardPage(WizardContext &context, QWidget *parent)
    : QDialog(parent)
    , m_context(context)
    , m_content(new QVBoxLayout)
    , m_Frame1(new QFrame(this))
    , m_cmdBack(new QPushButton(tr("<&Back"), this))
    , m_cmdNext(new QPushButton(tr("&Next>"), this))
    , m_cmdCancel(new QPushButton(tr("&Cancel"), this))
{
    setWindowTitle(windowCaption());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setModal(false);

    m_Frame1->setObjectName(QStringLiteral("Frame1"));
    m_Frame1->setFrameShape(QFrame::HLine);
    m_Frame1->setFrameShadow(QFrame::Sunken);
    m_cmdBack->setObjectName(QStringLiteral("cmdBack"));
    m_cmdNext->setObjectName(QStringLiteral("cmdNext"));
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    // Enter presses Next unless another button has the focus, which then
    // answers Enter itself.
    m_cmdNext->setDefault(true);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cmdBack);
    buttons->addWidget(m_cmdNext);
    buttons->addSpacing(12);
    buttons->addWidget(m_cmdCancel);

    auto *outer = new QVBoxLayout(this);
    outer->addLayout(m_content, 1);
    outer->addWidget(m_Frame1);
    outer->addLayout(buttons);
}

QString WizardPage::windowCaption()
{
    return QStringLiteral("Vantorel Software Administrative Setup");
}

QVBoxLayout *WizardPage::addSidePictureContent(QLabel *Picture1, QLabel *heading, QLabel *text)
{
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setPixmap(Artwork::sidePicture());
    Picture1->setAlignment(Qt::AlignTop);
    QFont font = heading->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.8);
    heading->setFont(font);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    text->setMinimumWidth(340);

    auto *column = new QVBoxLayout;
    column->addWidget(heading);
    column->addSpacing(8);
    column->addWidget(text);
    auto *row = new QHBoxLayout;
    row->addWidget(Picture1);
    row->addSpacing(12);
    row->addLayout(column, 1);
    m_content->addLayout(row);
    return column;
}

bool WizardPage::moveTo(Page next)
{
    PageNavigator &navigator = m_context.navigator();
    if (!navigator.hasPage(next)) {
        qWarning("kestrup: cannot move to page %d, it is not part of this build", int(next));
        return false;
    }
    ThisCanExit = true;
    close();
    navigator.open(next);
    return true;
}

bool WizardPage::askToQuit()
{
    // A second close request while the question is open (the session ending
    // behind the modal dialog) is refused rather than asked twice.
    if (m_asking)
        return false;
    m_asking = true;
    // A reply that comes while the question stands must not move the page on
    // under it: it waits for the answer (on Yes the page closes and abandons it).
    QList<QPointer<RequestCycle>> held;
    for (RequestCycle *cycle : findChildren<RequestCycle *>()) {
        if (!cycle->isHeld()) {
            cycle->setHeld(true);
            held << cycle;
        }
    }
    const bool quit = frm_alert::ask(m_context, this);
    for (const QPointer<RequestCycle> &cycle : held) {
        if (cycle)
            cycle->setHeld(false);
    }
    m_asking = false;
    return quit;
}

bool WizardPage::closeRequestAllowed()
{
    return ThisCanExit || askToQuit();
}

void WizardPage::closeEvent(QCloseEvent *event)
{
    if (!closeRequestAllowed()) {
        event->ignore();
        return;
    }
    for (RequestCycle *cycle : findChildren<RequestCycle *>())
        cycle->abandon();
    event->accept();
}

void WizardPage::reject()
{
    if (m_cmdCancel->isVisible() && m_cmdCancel->isEnabled())
        m_cmdCancel->click();
}

void WizardPage::done(int result)
{
    // QDialog::done() hides without a close event; pages only leave through close().
    Q_UNUSED(result);
    close();
}

} // namespace kestrup
