#include "AlertSession.h"

#include <QTimer>

namespace client {

AlertSession::AlertSession(SessionHost &host, Setup setup, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_setup(std::move(setup))
    , m_alertcheck(new QTimer(this))
    , m_loginRetry(new QTimer(this))
    , m_pageStall(new QTimer(this))
{
    m_alertcheck->setObjectName(QStringLiteral("alertcheck"));
    m_alertcheck->setInterval(m_setup.pollMs);
    // A coarse timer may fire up to 5 % early; polls keep their full spacing.
    m_alertcheck->setTimerType(Qt::PreciseTimer);

    m_loginRetry->setObjectName(QStringLiteral("loginRetry"));
    m_loginRetry->setSingleShot(true);
    m_loginRetry->setInterval(m_setup.loginRetryMs);

    m_pageStall->setObjectName(QStringLiteral("pageStall"));
    m_pageStall->setSingleShot(true);
    m_pageStall->setInterval(m_setup.pageStallMs);
    connect(m_pageStall, &QTimer::timeout, this, &AlertSession::pageStall_Timer);
}

// ---------------------------------------------------------------- login page

void AlertSession::ShowLoginPage()
{
    if (m_closed)
        return;
    m_loginRetry->stop();
    if (m_prefs.AutoLog == 1) {
        SendLogin(m_prefs.UserName, m_prefs.Password);
        return;
    }
    OpenLoginForm();
}

void AlertSession::OpenLoginForm()
{
    // Logged out from here on: a poll reply that arrives while the page loads
    // must not bring the alert page back over the login form, and a login
    // still out (an automatic one, when the user chose Logout) must not log
    // anyone in behind it.
    m_loggedIn = false;
    if (m_loginOut) {
        m_loginOut = false;
        m_host.dropLogin();
    }
    openLogin();
}

void AlertSession::openLogin()
{
    m_page = Page::Login;
    m_loginBound = false;
    m_awaitingPage = true;
    m_host.openLoginPage();
    m_pageStall->start();
}

void AlertSession::openAlert(bool reload)
{
    m_page = Page::Alert;
    m_loginBound = false;
    m_awaitingPage = false;
    m_pageStall->stop();
    m_host.openAlertPage(alertPageAddress(m_setup.alertPageUrl, common::timeStamp14(m_setup.clock),
                                          m_prefs.UserName),
                         reload);
}

void AlertSession::pageLoaded(bool isLoginPage, bool ok)
{
    if (m_closed)
        return;
    if (ok)
        m_diedBeforeLoad = false;
    if (m_page == Page::Alert && !isLoginPage) {
        m_awaitingPage = false;
        m_pageStall->stop();
    }
    if (m_page != Page::Login || !isLoginPage)
        return;
    // Every load of the login page gets its bindings: a load that the engine
    // reported before a newer one of the same page is followed by the newer
    // one's report, and the page is bound again then.
    m_awaitingPage = false;
    m_pageStall->stop();
    m_host.bindLoginPage();
    m_host.setLogoutVisible(false);
    m_loggedIn = false;
    m_host.setBrowserEnabled(true);
    m_loginBound = true;
    Q_EMIT loginPageBound();
}

void AlertSession::pageProgress()
{
    // A slow page that moves is no stalled page.
    if (m_pageStall->isActive())
        m_pageStall->start();
}

void AlertSession::rendererGone()
{
    if (m_closed)
        return;
    m_host.renewBrowser();
    m_loginBound = false;
    if (m_page == Page::None)
        return;
    m_awaitingPage = true;
    if (m_diedBeforeLoad) {
        // It ended again before any page loaded: the next try waits for the
        // stall bound, so a page that kills its renderer is not loaded in a loop.
        m_pageStall->start();
        return;
    }
    m_diedBeforeLoad = true;
    reopenPage();
}

void AlertSession::pageStall_Timer()
{
    if (m_closed || !m_awaitingPage)
        return;
    // The engine has reported nothing for the whole bound: whatever it lost
    // (the navigation, or its renderer without a word), a new page and a new
    // navigation start from scratch.
    m_host.renewBrowser();
    reopenPage();
}

void AlertSession::reopenPage()
{
    if (m_page == Page::Login) {
        openLogin();
    } else if (m_page == Page::Alert) {
        openAlert(false);
        m_awaitingPage = true;
        m_pageStall->start();
    }
}

// ---------------------------------------------------------------- login

void AlertSession::Loguser(const LoginFields &fields)
{
    if (m_closed)
        return;
    if (fields.remember)
        m_prefs.AutoLog = *fields.remember ? 1 : 0;
    if (fields.userName)
        m_prefs.UserName = *fields.userName;
    if (fields.password)
        m_prefs.Password = *fields.password;
    m_host.setBrowserEnabled(false);
    SendLogin(m_prefs.UserName, m_prefs.Password);
}

void AlertSession::SendLogin(const QString &userName, const QString &password)
{
    if (m_closed)
        return;
    m_loginOut = true;
    m_host.sendLogin(loginAddress(m_setup.serverBase, userName, password));
}

void AlertSession::loginAnswered(LoginAnswer answer)
{
    if (m_closed || !m_loginOut)
        return;
    m_loginOut = false;

    switch (answer) {
    case LoginAnswer::Unreadable:
        m_host.setBrowserEnabled(true);
        // With auto-login on, showing the page means sending the login again;
        // a pause keeps a failing server from being asked in a tight loop.
        if (m_prefs.AutoLog == 1)
            m_loginRetry->start();
        else
            ShowLoginPage();
        break;
    case LoginAnswer::Accepted:
        m_host.setBrowserEnabled(true);
        m_host.rememberAutoLogin();
        m_loggedIn = true;
        openAlert(false);
        m_host.showBrowser();
        m_alertcheck->start();
        m_host.setProfileVisible(true);
        break;
    case LoginAnswer::Refused:
        m_prefs.AutoLog = 0;
        ShowLoginPage();
        break;
    case LoginAnswer::ServerError:
        m_prefs.AutoLog = 0;
        m_host.setBrowserEnabled(true);
        break;
    case LoginAnswer::Other:
        // An answer the client does not know: give the user the login form
        // back rather than a disabled box (auto-login stays as it was).
        m_host.setBrowserEnabled(true);
        OpenLoginForm();
        break;
    }
}

// ---------------------------------------------------------------- polling

void AlertSession::alertcheck_Timer()
{
    m_alertcheck->stop();
    if (m_closed)
        return;
    // A server that never answers does not end the polling: the request's
    // deadline makes it fail, and a failure re-arms the timer like any reply.
    m_statusOut = true;
    m_host.sendStatus(statusAddress(m_setup.serverBase, m_prefs.UserName));
    // Off until the reply is handled; a reply handled already (a request
    // that failed on the spot) has re-armed it, and that stands.
    if (m_statusOut)
        m_alertcheck->stop();
}

void AlertSession::statusAnswered(std::optional<std::int16_t> status)
{
    if (m_closed || !m_statusOut)
        return;
    m_statusOut = false;
    if (!m_loggedIn)
        return; // logged out meanwhile: the reply is dropped and polling ends
    if (!status) {
        m_alertcheck->start();
        return;
    }
    m_alertcheck->stop();
    HandleStatus(*status);
}

void AlertSession::HandleStatus(std::int16_t status)
{
    if (m_closed)
        return;
    if (status == 1) {
        if (m_prefs.AlertMode == 1)
            m_host.blink();
        openAlert(true);
        m_host.popUp(m_prefs.PopupMode == 1);
        if (m_prefs.AudioAlert == 1)
            m_host.playSound();
        m_alertcheck->start();
    } else if (status == 2) {
        ShowLoginPage();
        m_alertcheck->stop();
    } else {
        m_alertcheck->start();
    }
}

// ---------------------------------------------------------------- logout, close

void AlertSession::Logout()
{
    m_prefs.UserName.clear();
    m_prefs.Password.clear();
    m_prefs.AutoLog = 0;
    ShowLoginPage();
}

void AlertSession::close()
{
    m_closed = true;
    m_loginOut = false;
    m_statusOut = false;
    m_awaitingPage = false;
    m_alertcheck->stop();
    m_loginRetry->stop();
    m_pageStall->stop();
}

} // namespace client
