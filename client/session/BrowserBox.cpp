#include "BrowserBox.h"

#include "client/session/EngineTuning.h"

#include <QCoreApplication>
#include <QWebChannel>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace client {

const quint32 BrowserBox::kProgramWorld = QWebEngineScript::ApplicationWorld;

namespace {

// What Prepare() made ready for the next browser box.
QPointer<QWebEngineProfile> g_preparedProfile;
QPointer<QWebEnginePage> g_preparedPage;

// An off-the-record profile of the box's own without an HTTP cache: the login
// page and the alert page must always come fresh.
QWebEngineProfile *newProfile(QObject *parent)
{
    auto *profile = new QWebEngineProfile(parent);
    TuneProfile(profile);
    return profile;
}

} // namespace

void BrowserBox::Prepare()
{
    if (g_preparedProfile)
        return;
    // Making the first profile starts the engine: its threads, its helper
    // processes. The page has loaded nothing, so it has nothing to report.
    g_preparedProfile = newProfile(nullptr);
    g_preparedPage = new QWebEnginePage(g_preparedProfile);
    // Left unused when the start-up ends early: the page must go before its
    // profile, and both before the engine shuts down with the application.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, g_preparedProfile, [] {
        delete g_preparedPage.data();
        delete g_preparedProfile.data();
    });
}

BrowserBox::BrowserBox(QWidget *container, QObject *parent)
    : QObject(parent)
{
    QWebEnginePage *page = nullptr;
    if (g_preparedProfile && g_preparedPage) {
        m_profile = g_preparedProfile;
        m_profile->setParent(this);
        page = g_preparedPage;
        g_preparedProfile = nullptr;
        g_preparedPage = nullptr;
    } else {
        m_profile = newProfile(this);
        page = new QWebEnginePage(m_profile);
    }

    m_view = new QWebEngineView(container);
    m_view->setObjectName(QStringLiteral("WebBrowser1"));
    page->setParent(m_view);
    m_view->setPage(page);

    connect(page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo &info) {
        if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
            m_awaitingStart = false;
            return;
        }
        Q_EMIT pageLoaded(info.url(), info.status() == QWebEngineLoadingInfo::LoadSucceededStatus);
    });
}

BrowserBox::~BrowserBox()
{
    // The page must go before its profile.
    delete m_view.data();
}

QWebEnginePage *BrowserBox::page() const
{
    return m_view ? m_view->page() : nullptr;
}

void BrowserBox::Navigate(const QUrl &url)
{
    if (!m_view || !url.isValid())
        return;
    m_requested = url;
    // The engine reports the start of the navigation later; until then the
    // browser counts as busy, so a wait right after this call does not end
    // on the previous page.
    m_awaitingStart = true;
    m_view->page()->load(url);
}

void BrowserBox::Refresh()
{
    if (m_view)
        m_view->page()->triggerAction(QWebEnginePage::ReloadAndBypassCache);
}

bool BrowserBox::IsBusy() const
{
    if (!m_view)
        return false;
    return m_awaitingStart || m_view->page()->isLoading();
}

bool BrowserBox::WaitWhileBusy()
{
    QPointer<BrowserBox> self(this);
    while (self && self->IsBusy())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return !self.isNull();
}

void BrowserBox::RunScript(const QString &script, const std::function<void(const QVariant &)> &done)
{
    if (!m_view)
        return;
    if (done)
        m_view->page()->runJavaScript(script, kProgramWorld, done);
    else
        m_view->page()->runJavaScript(script, kProgramWorld);
}

void BrowserBox::AttachChannel(QWebChannel *channel)
{
    if (m_view && m_view->page()->webChannel() != channel)
        m_view->page()->setWebChannel(channel, kProgramWorld);
}

void BrowserBox::DetachChannel()
{
    if (m_view && m_view->page()->webChannel())
        m_view->page()->setWebChannel(nullptr, kProgramWorld);
}

QUrl BrowserBox::url() const
{
    return m_view ? m_view->page()->url() : QUrl();
}

} // namespace client
