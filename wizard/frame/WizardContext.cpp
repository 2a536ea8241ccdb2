#include "WizardContext.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>

namespace kestrup {

ShellActions ShellActions::system()
{
    ShellActions shell;
    shell.openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    shell.startProgram = [](const QString &program) {
        return QProcess::startDetached(program, {}, QFileInfo(program).absolutePath());
    };
    return shell;
}

WizardContext::WizardContext(WizardSettings settings, common::Clock clock)
    : m_settings(std::move(settings))
    , m_clock(std::move(clock))
    , m_shell(ShellActions::system())
    , m_navigator(*this)
{
}

} // namespace kestrup
