#include "EngineTuning.h"

#include <QByteArray>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace client {

namespace {

constexpr char kGlIntegration[] = "QT_XCB_GL_INTEGRATION";
bool g_glSwitchSet = false;

} // namespace

void PrepareSoftwareDrawing()
{
    // Qt's X11 platform loads no GL integration at all; a given value wins.
    if (qEnvironmentVariableIsEmpty(kGlIntegration)) {
        qputenv(kGlIntegration, "none");
        g_glSwitchSet = true;
    }
    // The engine's view composes its frames in the software scene graph.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

void EndPlatformSwitches()
{
    if (g_glSwitchSet)
        qunsetenv(kGlIntegration);
    g_glSwitchSet = false;
}

void TuneProfile(QWebEngineProfile *profile)
{
    profile->setHttpCacheType(QWebEngineProfile::NoCache);
    profile->setSpellCheckEnabled(false);
    QWebEngineSettings *settings = profile->settings();
    settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
}

} // namespace client
