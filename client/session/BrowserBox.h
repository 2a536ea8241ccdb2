#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariant>
#include <QWebEngineView>
#include <functional>

class QWebEngineLoadingInfo;

class QWebChannel;
class QWebEnginePage;
class QWebEngineProfile;
class QWidget;

namespace client {

// The browser inside the main window's browser box. It reads nothing from a
// cache, knows when it is busy loading, and runs the program's own scripts in
// a world of their own, out of reach of the scripts of the pages it shows.
class BrowserBox : public QObject
{
    Q_OBJECT
public:
    // The world in which the program's scripts and the login bridge live.
    static const quint32 kProgramWorld;

    // Starts the browser engine and makes a profile and a page ready for the
    // next browser box, so that the engine's own start-up can overlap other
    // work (the skin downloads). Without it a box makes its own.
    static void Prepare();

    BrowserBox(QWidget *container, QObject *parent = nullptr);
    ~BrowserBox() override;

    QWebEngineView *view() const { return m_view; }
    QWebEnginePage *page() const;

    // Opens an address; nothing is read from a cache.
    void Navigate(const QUrl &url);
    // Loads the current page again, past any cache.
    void Refresh();
    // From a navigation request until the engine has taken it, and then for
    // as long as the engine loads (its end: success, failure, stop, or a newer
    // navigation's end); never after the page's renderer ended.
    bool IsBusy() const;
    // A new page in place of the current one, on the same profile; the
    // program's channel has to be attached again.
    void Renew();

    // Runs a script of the program on the current page (the program's world).
    void RunScript(const QString &script, const std::function<void(const QVariant &)> &done = {});

    // The channel is offered to the program's world of the pages that load
    // after this call, and taken away again by DetachChannel().
    void AttachChannel(QWebChannel *channel);
    void DetachChannel();

    QUrl url() const;

Q_SIGNALS:
    // A page finished loading, successfully or not (every end the engine reports).
    void pageLoaded(const QUrl &url, bool ok);
    // The engine reported something about the page's loading.
    void progressed();
    // The page's renderer process ended (crash, kill, out of memory): the page
    // shows nothing any more. Reported from the event loop, not from the engine.
    void rendererGone();

private:
    void adopt(QWebEnginePage *page);
    void beginNavigation();
    void onLoadingChanged(const QWebEngineLoadingInfo &info);
    void onRendererGone(QWebEnginePage *page);

    QPointer<QWebEngineView> m_view;
    QWebEngineProfile *m_profile = nullptr;
    // The latest navigation asked of the box, and whether the engine has yet
    // to report anything since it was asked.
    quint64 m_navigation = 0;
    bool m_pending = false;
    // Reports the engine queued before the latest request are about earlier
    // states: only those after this fence count for it.
    quint64 m_fence = 0;
    bool m_rendererGone = false;
};

} // namespace client
