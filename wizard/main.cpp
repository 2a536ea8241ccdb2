#include "wizard/frame/PageNavigator.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardSettings.h"

#include "wizard/users/UserPages.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The X11 window class of every window comes from the application name,
    // and is fixed when the first window is made.
    QApplication::setApplicationName(QStringLiteral("ThunderRT6FormDC"));
    QApplication app(argc, argv);
    // Qt appends the display name to every X11 title that does not end with
    // it, and would show the application name for an empty one. An empty
    // display name ends every title: the pages, the delete question and the
    // message boxes keep their titles exactly, the empty one included. (It must
    // be empty, not null: a null one stands for the application name.)
    QApplication::setApplicationDisplayName(QStringLiteral(""));

    kestrup::WizardContext context(kestrup::WizardSettings::loadBesideProgram());
    kestrup::PageNavigator &navigator = context.navigator();
    kestrup::registerFramePages(navigator);
    kestrup::registerUserPages(navigator);
    navigator.watchSessionEnd();
    navigator.open(kestrup::Page::Welcome);
    return app.exec();
}
