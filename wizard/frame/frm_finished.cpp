#include "frm_finished.h"

#include "WizardContext.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace kestrup {

frm_finished::frm_finished(WizardContext &context, QWidget *parent)
    : WizardPage(context, parent)
    , m_Picture1(new QLabel(this))
    , m_lblSetupFinished(new QLabel(QStringLiteral("Setup Finished"), this))
    , m_lblVantorel(new QLabel(finishedText(context.settings().vendorHost), this))
    , m_chkVisitWww(new QCheckBox(QStringLiteral("Visit ") + context.settings().vendorHost, this))
    , m_chkLunch(new QCheckBox(QStringLiteral("Lunch Vantorel Software"), this))
{
    setObjectName(QStringLiteral("frm_finished"));
    ThisCanExit = false;

    m_lblSetupFinished->setObjectName(QStringLiteral("lblSetupFinished"));
    m_lblVantorel->setObjectName(QStringLiteral("lblVantorel"));
    m_chkVisitWww->setObjectName(QStringLiteral("chkVisitWww"));
    m_chkLunch->setObjectName(QStringLiteral("chkLunch"));

    m_chkVisitWww->setChecked(true);
    m_chkLunch->setChecked(true);

    QVBoxLayout *column = addSidePictureContent(m_Picture1, m_lblSetupFinished, m_lblVantorel);
    column->addWidget(m_chkVisitWww);
    column->addWidget(m_chkLunch);
    column->addStretch(1);

    cmdNext()->setText(tr("&Finished"));
    cmdBack()->setEnabled(false);
    cmdCancel()->setEnabled(false);
    connect(cmdNext(), &QPushButton::clicked, this, &frm_finished::cmdNext_Click);

    setTabOrder(m_chkVisitWww, m_chkLunch);
    setTabOrder(m_chkLunch, cmdNext());
    cmdNext()->setFocus();
    setFixedSize(sizeHint());
}

QString frm_finished::finishedText(const QString &vendorHost)
{
    return QStringLiteral("Vantorel Software Administrative setup Wizard is finished, you can now check "
                          "your email to activate your account. Afterwards login to ")
        + vendorHost
        + QStringLiteral(" and have the privilage of sending instant alerts.\n\n"
                         "Wizard can perform the following actions:");
}

QString frm_finished::vendorAddress() const
{
    const QString host = context().settings().vendorHost.trimmed();
    if (host.isEmpty())
        return QString();
    return host.contains(QStringLiteral("://")) ? host : QStringLiteral("http://") + host;
}

void frm_finished::RunShellExecute(const QString &target)
{
    if (target.isEmpty())
        return;
    ShellActions &shell = context().shell();
    if (target.contains(QStringLiteral("://"))) {
        // Only web addresses: a setting must not be able to make the
        // desktop open a local file or run a handler of another scheme.
        const QUrl url(target, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && !url.host().isEmpty() && (scheme == u"http" || scheme == u"https")
            && shell.openUrl)
            shell.openUrl(url);
        return;
    }
    const QFileInfo program(target);
    if (program.isFile() && program.isExecutable() && shell.startProgram)
        shell.startProgram(program.absoluteFilePath());
}

void frm_finished::cmdNext_Click()
{
    if (m_chkVisitWww->isChecked())
        RunShellExecute(vendorAddress());
    if (m_chkLunch->isChecked())
        RunShellExecute(context().settings().clientPath);
    ThisCanExit = true;
    close();
}

bool frm_finished::closeRequestAllowed()
{
    if (!ThisCanExit)
        return false;
    context().navigator().CloseAllPages(this);
    return true;
}

} // namespace kestrup
