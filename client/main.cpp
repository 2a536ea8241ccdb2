#include "client/session/BrowserBox.h"
#include "client/session/EngineTuning.h"
#include "client/session/MainWindowFactory.h"
#include "client/startup/Form3.h"
#include "client/startup/InstanceLookup.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    client::PrepareSoftwareDrawing();
    QApplication app(argc, argv);
    client::EndPlatformSwitches();
    // The X11 window class of every window comes from the application name;
    // the single-instance test of the next start looks for it. No display name
    // is set: Qt would append it to every window's X11 title, and the captions
    // must stay exactly as configured.
    QApplication::setApplicationName(QLatin1String(client::kWindowClass));

    client::Form3 form3(&client::CreateMainWindow);
    QObject::connect(&form3, &client::Form3::startupEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!form3.Form_Load())
        return 0; // ended silently before any window was shown
    form3.show();
    // The skin request and its downloads are out: the browser engine starts
    // meanwhile, so that the main window's page can load as soon as the last
    // picture has arrived.
    QTimer::singleShot(0, &client::BrowserBox::Prepare);
    return app.exec();
}
