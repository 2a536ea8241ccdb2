#pragma once

#include "client/session/AlertSession.h"
#include "client/session/SessionServices.h"
#include "client/session/SessionSettings.h"
#include "client/session/TrayBlink.h"
#include "client/startup/StartupValues.h"

#include <QHash>
#include <QIcon>
#include <QPoint>
#include <QPointer>
#include <QUrl>
#include <QWidget>

class QAction;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QWebChannel;

namespace common {
class HttpExchange;
}

namespace client {

class BrowserBox;
class LoginBridge;

// The client's main window: a skinned, borderless window with the browser
// box, the menu and close buttons, the tray icon and the command menu. The
// session's rules (login, polling, what an alert does) live in its
// AlertSession; the window's handlers hand it their events and show what it asks.
class Form1 : public QWidget, private SessionHost
{
    Q_OBJECT
public:
    // Menu entry ids.
    enum EntryId {
        kMyProfile = 1002, kVisitWebsite, kContactUs, kPopUpMode, kAlertMode, kAudioAlert,
        kWindowOnTop, kAboutUs, kHelp, kLogout, kExit
    };
    // A left double-click in the tray arrives as a mouse-up at this X (twips).
    static constexpr int kTrayDoubleClickX = 7725;

    Form1(const StartupValues &startup, const SkinValues &skin, SessionServices services,
          QWidget *parent = nullptr);
    ~Form1() override;

    // The window's start-up: layout from the skin, settings, menu, tray icon,
    // then the login page or an automatic login; loaded() follows once the
    // login page is bound (at once with an automatic login).
    void Form_Load();

    void LoadSettings();
    void SaveSettings();
    void PlaceTopRight();

    // Login page bridge.
    void ShowLoginPage();
    void HookElementClick(const QString &elementId, const QString &methodName, const QString &argument);

    // Called from the login page.
    void Loguser(const QString &xvar);
    void subRegister(const QString &xvar);
    void subGetpassword(const QString &xvar);

    // Polling.
    void alertcheck_Timer();

    // Tray and menu.
    void BuildMenu();
    void StartIconAnimation();
    void animateIcon_Timer();
    void CommandBars1_Execute(QAction *control);
    void Image3_Click();
    void Image4_Click();
    void Form_MouseUp(Qt::MouseButton button, int xTwips, int yTwips);

    // State, for the program's own use and for tests.
    const SessionPreferences &preferences() const { return m_session->preferences(); }
    bool loggedIn() const { return m_session->loggedIn(); }
    AlertSession *session() const { return m_session; }
    BrowserBox *browser() const { return m_browser; }
    QMenu *popupMenu() const { return m_popup; }
    QAction *entry(int id) const { return m_entries.value(id); }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    TrayBlink::Frame trayFrame() const { return m_trayFrame; }
    QUrl loginPageUrl() const;
    bool isLoginPageShown() const;
    bool isClosing() const { return m_closing; }

Q_SIGNALS:
    // The start-up has ended: the login page is bound, or the automatic login
    // has gone out (or the login page stalled). The window is shown from here on.
    void loaded();
    // The window has saved its settings and closed; the program ends.
    void closed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // What the session asks of the window.
    void sendLogin(const QString &address) override;
    void sendStatus(const QString &address) override;
    void dropLogin() override;
    void openLoginPage() override;
    void bindLoginPage() override;
    void openAlertPage(const QString &address, bool reload) override;
    void renewBrowser() override;
    void setBrowserEnabled(bool enabled) override;
    void showBrowser() override;
    void setLogoutVisible(bool visible) override;
    void setProfileVisible(bool visible) override;
    void blink() override;
    void popUp(bool bringUp) override;
    void playSound() override;
    void rememberAutoLogin() override;

    void endLoad();
    void LoguserWithFields(const QVariantMap &fields);
    void xml_login_onreadystatechange();
    void XML_alerter_onreadystatechange();
    void Label1_MouseDown(int xTwips, int yTwips);
    void Label1_MouseMove(Qt::MouseButtons buttons, int xTwips, int yTwips);
    void ShowTrayFrame(TrayBlink::Frame frame);
    void OpenLink(const QString &address);

    StartupValues m_startup;
    SkinValues m_skin;
    SessionServices m_services;
    AlertSession *m_session = nullptr;

    QLabel *Label1 = nullptr;
    QWidget *Picture2 = nullptr;
    QWidget *Picture3 = nullptr;
    QLabel *Image3 = nullptr;
    QWidget *Picture4 = nullptr;
    QLabel *Image4 = nullptr;
    BrowserBox *m_browser = nullptr;
    QWebChannel *m_channel = nullptr;
    LoginBridge *m_bridge = nullptr;

    QTimer *animateIcon = nullptr;
    QPointer<common::HttpExchange> m_xmlLogin;
    QPointer<common::HttpExchange> m_xmlAlerter;

    QSystemTrayIcon *m_tray = nullptr;
    QIcon Image1;
    QIcon Image2;
    TrayBlink m_blink;
    TrayBlink::Frame m_trayFrame = TrayBlink::Frame::Rest;

    QMenu *m_popup = nullptr;
    QHash<int, QAction *> m_entries;
    QHash<int, QIcon> ImageList1;
    bool m_imageListAttached = false;

    QPoint m_dragStart; // twips
    bool m_loaded = false;
    bool m_closing = false;
};

} // namespace client
