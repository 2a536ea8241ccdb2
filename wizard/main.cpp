#include "wizard/frame/PageNavigator.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardSettings.h"

#include <QApplication>

#ifdef KESTRUP_HAVE_USERS
#include "wizard/users/UserPages.h"
#endif

int main(int argc, char *argv[])
{
    // The X11 window class of every window comes from the application name,
    // and is fixed when the first window is made.
    QApplication::setApplicationName(QStringLiteral("ThunderRT6FormDC"));
    QApplication app(argc, argv);
    // Qt appends the display name to every X11 title that differs from it; with
    // the wizard's own caption as the display name, page titles stay exact and
    // message boxes with an empty title still show the wizard's caption.
    QApplication::setApplicationDisplayName(QStringLiteral("Vantorel Software Administrative Setup"));

    kestrup::WizardContext context(kestrup::WizardSettings::loadBesideProgram());
    kestrup::PageNavigator &navigator = context.navigator();
    kestrup::registerFramePages(navigator);
#ifdef KESTRUP_HAVE_USERS
    kestrup::registerUserPages(navigator);
#endif
    navigator.watchSessionEnd();
    navigator.open(kestrup::Page::Welcome);
    return app.exec();
}
