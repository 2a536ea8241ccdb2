#include "client/startup/Form3.h"
#include "client/startup/InstanceLookup.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

namespace {

// Stands in for the main window until it exists: a plain window with the
// skin's size and the configured title at the top-right of the screen.
QWidget *showPlaceholderMainWindow(const client::StartupValues &startup, const client::SkinValues &skin)
{
    auto *window = new QWidget;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(startup.WindowTitle);
    window->resize(qMax(1, client::twipsToPixels(skin.WindowWidth)),
                   qMax(1, client::twipsToPixels(skin.WindowHeight)));
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window->move(area.right() - window->width() + 1, area.top());
    }
    window->show();
    return window;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The X11 window class of every window comes from the application name;
    // the single-instance test of the next start looks for it. No display name
    // is set: Qt would append it to every window's X11 title, and the captions
    // must stay exactly as configured.
    QApplication::setApplicationName(QLatin1String(client::kWindowClass));

    client::Form3 form3(&showPlaceholderMainWindow);
    QObject::connect(&form3, &client::Form3::startupEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!form3.Form_Load())
        return 0; // ended silently before any window was shown
    form3.show();
    return app.exec();
}
