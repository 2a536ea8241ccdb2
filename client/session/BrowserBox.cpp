#include "BrowserBox.h"

#include "client/session/EngineTuning.h"

#include <QCoreApplication>
#include <QTimer>
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
    adopt(page);
}

void BrowserBox::adopt(QWebEnginePage *page)
{
    page->setParent(m_view);
    m_view->setPage(page);
    m_rendererGone = false;
    connect(page, &QWebEnginePage::loadingChanged, this, &BrowserBox::onLoadingChanged);
    connect(page, &QWebEnginePage::loadProgress, this, &BrowserBox::progressed);
    // Queued: the engine reports the death from deep inside itself, where no
    // new page or navigation may start.
    connect(page, &QWebEnginePage::renderProcessTerminated, this, [this, page] { onRendererGone(page); },
            Qt::QueuedConnection);
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
    beginNavigation();
    m_view->page()->load(url);
}

void BrowserBox::Refresh()
{
    if (!m_view)
        return;
    beginNavigation();
    m_view->page()->triggerAction(QWebEnginePage::ReloadAndBypassCache);
}

void BrowserBox::beginNavigation()
{
    // The engine changes its loading state at once and queues its report of
    // the change (a zero-time call). A navigation asked of an idle page
    // starts some time later, with a report of its start; one that replaces
    // a navigation under way is taken at once and reported with no start,
    // and the navigation it replaces reports no end. So the box is busy from
    // the request until the engine's first report queued after it, and from
    // then on for as long as the engine says it is loading.
    m_pending = true;
    const quint64 id = ++m_navigation;
    // Queued calls run in order: this one runs after every report already
    // waiting, which are about earlier states, and before any about this request.
    QTimer::singleShot(0, this, [this, id] {
        if (id == m_navigation)
            m_fence = id;
    });
}

void BrowserBox::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    Q_EMIT progressed();
    if (m_fence == m_navigation)
        m_pending = false;
    if (info.status() != QWebEngineLoadingInfo::LoadStartedStatus)
        Q_EMIT pageLoaded(info.url(), info.status() == QWebEngineLoadingInfo::LoadSucceededStatus);
}

void BrowserBox::onRendererGone(QWebEnginePage *page)
{
    if (!m_view || page != m_view->page())
        return; // a page already replaced
    m_rendererGone = true;
    m_pending = false;
    Q_EMIT rendererGone();
}

bool BrowserBox::IsBusy() const
{
    if (!m_view)
        return false;
    return m_pending || (!m_rendererGone && m_view->page()->isLoading());
}

void BrowserBox::Renew()
{
    if (!m_view)
        return;
    QPointer<QWebEnginePage> old = m_view->page();
    if (old)
        old->disconnect(this);
    adopt(new QWebEnginePage(m_profile));
    // Whatever the old page had under way ended with it.
    m_pending = false;
    if (old)
        old->deleteLater();
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
