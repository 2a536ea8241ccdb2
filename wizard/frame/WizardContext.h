#pragma once

#include "wizard/frame/PageNavigator.h"
#include "wizard/frame/WizardSettings.h"
#include "wizard/frame/WizardState.h"
#include "wizard/frame/WizardTiming.h"

#include "common/TimeStamp.h"

#include <QString>
#include <QUrl>
#include <functional>

namespace kestrup {

// How the wizard hands things to the desktop. The defaults open an address in
// the system's browser and start a program detached; tests replace them.
struct ShellActions
{
    std::function<bool(const QUrl &)> openUrl;
    std::function<bool(const QString &program)> startProgram;

    static ShellActions system();
};

// Everything a wizard window needs from outside itself, made once in main()
// and passed by reference to every page and dialog constructor:
//
//   frm_something(WizardContext &context, QWidget *parent = nullptr);
//
//   context.state()      the one WizardState of the run
//   context.settings()   base address, vendor host, client path (setup.xml)
//   context.clock()      "now" for the request time stamps (tests pin it)
//   context.navigator()  opens pages by their Page key
//   context.shell()      browser / program start (the finished page)
//   context.timing()     the request cycle's intervals and deadline
//
// The context must outlive every window.
class WizardContext
{
public:
    explicit WizardContext(WizardSettings settings = WizardSettings::defaults(),
                           common::Clock clock = common::systemClock());
    WizardContext(const WizardContext &) = delete;
    WizardContext &operator=(const WizardContext &) = delete;

    WizardState &state() { return m_state; }
    const WizardSettings &settings() const { return m_settings; }
    WizardSettings &settings() { return m_settings; }
    const common::Clock &clock() const { return m_clock; }
    PageNavigator &navigator() { return m_navigator; }
    ShellActions &shell() { return m_shell; }
    const WizardTiming &timing() const { return m_timing; }
    WizardTiming &timing() { return m_timing; }

private:
    WizardState m_state;
    WizardSettings m_settings;
    common::Clock m_clock;
    ShellActions m_shell;
    WizardTiming m_timing;
    PageNavigator m_navigator;
};

} // namespace kestrup
