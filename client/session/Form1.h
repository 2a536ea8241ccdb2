#pragma once

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
// box, the menu and close buttons, the tray icon and the command menu. It owns
// the session: preferences, login, alert polling and notification.
class Form1 : public QWidget
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
    // then the login page or an automatic login.
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
    void SendLogin(const QString &userName, const QString &password);

    // Polling.
    void alertcheck_Timer();
    void HandleStatus(std::int16_t status);

    // Tray and menu.
    void BuildMenu();
    void StartIconAnimation();
    void animateIcon_Timer();
    void CommandBars1_Execute(QAction *control);
    void Image3_Click();
    void Image4_Click();
    void Form_MouseUp(Qt::MouseButton button, int xTwips, int yTwips);

    // State, for the program's own use and for tests.
    const SessionPreferences &preferences() const { return m_prefs; }
    bool loggedIn() const { return m_loggedIn; }
    BrowserBox *browser() const { return m_browser; }
    QMenu *popupMenu() const { return m_popup; }
    QAction *entry(int id) const { return m_entries.value(id); }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    TrayBlink::Frame trayFrame() const { return m_trayFrame; }
    QUrl loginPageUrl() const;
    bool isLoginPageShown() const;
    bool isClosing() const { return m_closing; }

Q_SIGNALS:
    // The window has saved its settings and closed; the program ends.
    void closed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void OpenLoginForm();
    void OpenLoginPageAddress();
    void OpenAlertPage(bool refresh);
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
    SessionPreferences m_prefs;
    bool m_loggedIn = false;

    QLabel *Label1 = nullptr;
    QWidget *Picture2 = nullptr;
    QWidget *Picture3 = nullptr;
    QLabel *Image3 = nullptr;
    QWidget *Picture4 = nullptr;
    QLabel *Image4 = nullptr;
    BrowserBox *m_browser = nullptr;
    QWebChannel *m_channel = nullptr;
    LoginBridge *m_bridge = nullptr;

    QTimer *alertcheck = nullptr;
    QTimer *animateIcon = nullptr;
    QTimer *m_loginRetry = nullptr;
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
    bool m_closing = false;
};

} // namespace client
