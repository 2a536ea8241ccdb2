#pragma once

#include "client/session/SessionRequests.h"
#include "client/session/SessionSettings.h"
#include "common/TimeStamp.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

class QTimer;

namespace client {

// What the session asks of the main window around it.
class SessionHost
{
public:
    virtual ~SessionHost() = default;

    // A new request replaces the one of its kind still out; the reply of a
    // replaced or dropped request never arrives.
    virtual void sendLogin(const QString &address) = 0;
    virtual void sendStatus(const QString &address) = 0;
    virtual void dropLogin() = 0;

    // The browser box. The window reports every page that finishes loading
    // through AlertSession::pageLoaded().
    virtual void openLoginPage() = 0; // the bridge attached, then the local login page
    virtual void bindLoginPage() = 0; // the three click bindings, then both fields cleared
    virtual void openAlertPage(const QString &address, bool reload) = 0;
    virtual void renewBrowser() = 0;  // a new page in place of one whose renderer ended
    virtual void setBrowserEnabled(bool enabled) = 0;
    virtual void showBrowser() = 0;

    virtual void setLogoutVisible(bool visible) = 0;
    virtual void setProfileVisible(bool visible) = 0;

    // What an alert does: the tray blinks; the window takes the focus at the
    // top right, and is brought up when asked; the sound plays.
    virtual void blink() = 0;
    virtual void popUp(bool bringUp) = 0;
    virtual void playSound() = 0;

    // "AUTOLOG" = "1" into the settings store at once.
    virtual void rememberAutoLogin() = 0;
};

// The login fields as the page holds them; a field the page lacks is absent.
struct LoginFields
{
    std::optional<QString> userName;
    std::optional<QString> password;
    std::optional<bool> remember; // "C1"
};

// The user's session: the login and its answers, the automatic login and its
// retry, the alert polling and what an alert does, the return to the login
// page, logout and close. It holds no window and no browser: it reacts to the
// events the window hands it (clicks, replies, timer ticks, what the browser
// reports) and asks the window for everything that shows.
//
// The login page is bound as a continuation: opening it starts a navigation,
// and each time the login page finishes loading while it is the page the
// session wants shown, the bindings follow, then the fields are cleared,
// Logout hidden, the user logged out and the browser box enabled. Nothing
// waits in a loop, so nothing depends on an event that may not come.
class AlertSession : public QObject
{
    Q_OBJECT
public:
    struct Setup
    {
        QString serverBase;
        QString alertPageUrl;
        common::Clock clock;
        int pollMs = 2000;        // from a handled status reply to the next poll
        int loginRetryMs = 2000;  // the automatic login's pause after an unreadable answer
        // The login page, or a page brought back after its renderer ended, is
        // opened again when the browser reports nothing for this long.
        int pageStallMs = 30000;
    };

    AlertSession(SessionHost &host, Setup setup, QObject *parent = nullptr);

    SessionPreferences &preferences() { return m_prefs; }
    const SessionPreferences &preferences() const { return m_prefs; }
    bool loggedIn() const { return m_loggedIn; }
    // The login page is shown and bound: its elements may act.
    bool loginFormReady() const { return m_page == Page::Login && m_loginBound; }
    // The poll timer; it runs only between a handled reply and the next poll.
    QTimer *alertcheck() const { return m_alertcheck; }
    // Fires ShowLoginPage() once after an unreadable answer to an automatic login.
    QTimer *loginRetry() const { return m_loginRetry; }
    // Runs while the login page, or a page brought back, has yet to load.
    QTimer *pageStall() const { return m_pageStall; }

    // The login page, or an automatic login with the stored credentials.
    void ShowLoginPage();
    // The log-in button: what the page holds, then the request.
    void Loguser(const LoginFields &fields);
    void SendLogin(const QString &userName, const QString &password);
    void loginAnswered(LoginAnswer answer);

    void alertcheck_Timer();
    void statusAnswered(std::optional<std::int16_t> status);
    void HandleStatus(std::int16_t status);

    void Logout();
    // The window is closing: nothing is sent, shown or re-armed afterwards.
    void close();

    // What the browser reports. A page finished loading (ok: successfully);
    // any sign of life of the engine; the page's renderer process ended.
    void pageLoaded(bool isLoginPage, bool ok);
    void pageProgress();
    void rendererGone();
    // Nothing came from the browser for the whole stall bound.
    void pageStall_Timer();

Q_SIGNALS:
    // The login page finished loading and is bound, its fields cleared.
    void loginPageBound();

private:
    enum class Page { None, Login, Alert };

    void OpenLoginForm();
    void openLogin();
    void openAlert(bool reload);
    void reopenPage();

    SessionHost &m_host;
    Setup m_setup;
    SessionPreferences m_prefs;
    bool m_loggedIn = false;
    bool m_closed = false;
    bool m_loginOut = false;
    bool m_statusOut = false;

    Page m_page = Page::None;   // what the session has the browser show
    bool m_loginBound = false;  // the login page was bound since it was last opened
    bool m_awaitingPage = false; // the login page, or a page brought back, has not loaded yet
    bool m_diedBeforeLoad = false; // the renderer ended and no page has loaded since

    QTimer *m_alertcheck;
    QTimer *m_loginRetry;
    QTimer *m_pageStall;
};

} // namespace client
