#include "BrowserBox.h"

#include <QCoreApplication>
#include <QWebChannel>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace client {

const quint32 BrowserBox::kProgramWorld = QWebEngineScript::ApplicationWorld;

BrowserBox::BrowserBox(QWidget *container, QObject *parent)
    : QObject(parent)
{
    // An off-the-record profile of our own without an HTTP cache: the login
    // page and the alert page must always come fresh.
    m_profile = new QWebEngineProfile(this);
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);

    m_view = new QWebEngineView(container);
    m_view->setObjectName(QStringLiteral("WebBrowser1"));
    auto *page = new QWebEnginePage(m_profile, m_view);
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
