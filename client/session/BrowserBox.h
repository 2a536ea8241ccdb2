#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariant>
#include <QWebEngineView>
#include <functional>

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
    // From a navigation request until its page has finished loading.
    bool IsBusy() const;
    // Processes the window's events until the browser is no longer busy.
    // Answers false when the browser went away during the wait.
    bool WaitWhileBusy();

    // Runs a script of the program on the current page (the program's world).
    void RunScript(const QString &script, const std::function<void(const QVariant &)> &done = {});

    // The channel is offered to the program's world of the pages that load
    // after this call, and taken away again by DetachChannel().
    void AttachChannel(QWebChannel *channel);
    void DetachChannel();

    QUrl url() const;

Q_SIGNALS:
    // A page finished loading, successfully or not.
    void pageLoaded(const QUrl &url, bool ok);

private:
    QPointer<QWebEngineView> m_view;
    QWebEngineProfile *m_profile = nullptr;
    bool m_awaitingStart = false;
    QUrl m_requested;
};

} // namespace client
