#include "MainWindowFactory.h"

#include "client/session/Form1.h"
#include "client/startup/PlatformHelpers.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSystemTrayIcon>

namespace client {

QWidget *CreateMainWindow(const StartupValues &startup, const SkinValues &skin)
{
    SessionServices services;
    services.clock = common::systemClock();
    services.programFolder = ProgramFolder();
    services.openInShell = [](const QString &target) { OpenInShell(target); };
    services.playAlertSound = [] { PlayAlertSound(); };
    services.setTopmost = [](bool on, QWidget *window) { SetTopmost(on, window); };
    services.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

    QPointer<Form1> form = new Form1(startup, skin, services);
    form->setAttribute(Qt::WA_DeleteOnClose);
    // Queued, so that a close chosen during the window's start-up still ends
    // the program once control is back in the main loop.
    QObject::connect(form, &Form1::closed, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(form, &Form1::loaded, form, [form] {
        if (!form->isClosing())
            form->show();
    });
    form->Form_Load();
    return form;
}

} // namespace client
