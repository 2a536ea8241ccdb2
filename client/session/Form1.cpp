#include "Form1.h"

#include "client/session/BrowserBox.h"
#include "client/session/LoginBridge.h"
#include "client/session/SessionArt.h"
#include "client/session/SessionRequests.h"
#include "common/HttpExchange.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineView>

#include <cmath>

namespace client {

namespace {

// The drag strip keeps a fixed place: it overhangs the window's top and left
// edges and covers its upper left part.
constexpr int kLabel1Left = -90;
constexpr int kLabel1Top = -255;
constexpr int kLabel1Width = 3570;
constexpr int kLabel1Height = 1185;

int twips(qreal pixels)
{
    return static_cast<int>(std::lround(pixels * kTwipsPerPixel));
}

QWidget *pictureBox(const QString &name, QWidget *parent)
{
    auto *box = new QWidget(parent);
    box->setObjectName(name);
    return box;
}

QLabel *imageIn(const QString &name, QWidget *box)
{
    auto *image = new QLabel(box);
    image->setObjectName(name);
    image->move(0, 0);
    return image;
}

const char *const kClearFieldsScript = R"JS(
(function () {
    var user = document.getElementById('username');
    if (user) user.value = '';
    var pass = document.getElementById('password');
    if (pass) pass.value = '';
})();
)JS";

// Fields that the page lacks come back as null and leave the state alone.
const char *const kReadFieldsScript = R"JS(
(function () {
    function value(id) { var e = document.getElementById(id); return e ? String(e.value) : null; }
    var c1 = document.getElementById('C1');
    return { username: value('username'), password: value('password'), C1: c1 ? !!c1.checked : null };
})();
)JS";

} // namespace

Form1::Form1(const StartupValues &startup, const SkinValues &skin, SessionServices services,
             QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , m_startup(startup)
    , m_skin(skin)
    , m_services(std::move(services))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Tarvex Vantorel"));

    // Created first so that it lies beneath the picture boxes.
    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsToPixels(kLabel1Left), twipsToPixels(kLabel1Top),
                        twipsToPixels(kLabel1Width), twipsToPixels(kLabel1Height));
    Label1->installEventFilter(this);

    Picture2 = pictureBox(QStringLiteral("Picture2"), this);
    auto *layout = new QVBoxLayout(Picture2);
    layout->setContentsMargins(0, 0, 0, 0);
    m_browser = new BrowserBox(Picture2, this);
    layout->addWidget(m_browser->view());
    // The page's own context menu would offer "Reload", which loads the login
    // page anew without its bindings and leaves a dead log-in button.
    m_browser->view()->setContextMenuPolicy(Qt::NoContextMenu);

    Picture3 = pictureBox(QStringLiteral("Picture3"), this);
    Image3 = imageIn(QStringLiteral("Image3"), Picture3);
    Image3->installEventFilter(this);
    Picture4 = pictureBox(QStringLiteral("Picture4"), this);
    Image4 = imageIn(QStringLiteral("Image4"), Picture4);
    Image4->installEventFilter(this);

    // A mouse-up over a child stays with it: only the window's own surface
    // reaches Form_MouseUp, where column 7725 twips means the tray's
    // double-click (a release over the close button there would otherwise
    // hide the window and bring it straight back).
    for (QWidget *child : {static_cast<QWidget *>(Label1), Picture2, Picture3, Picture4})
        child->setAttribute(Qt::WA_NoMousePropagation);

    AlertSession::Setup setup;
    setup.serverBase = m_startup.ServerBase;
    setup.alertPageUrl = m_skin.AlertPageUrl;
    setup.clock = m_services.clock;
    setup.pollMs = m_services.pollMs;
    setup.loginRetryMs = m_services.loginRetryMs;
    setup.pageStallMs = m_services.pageStallMs;
    m_session = new AlertSession(*this, std::move(setup), this);
    connect(m_session->alertcheck(), &QTimer::timeout, this, &Form1::alertcheck_Timer);
    connect(m_session->loginRetry(), &QTimer::timeout, this, &Form1::ShowLoginPage);
    connect(m_browser, &BrowserBox::pageLoaded, this, [this](const QUrl &url, bool ok) {
        m_session->pageLoaded(url == loginPageUrl(), ok);
    });
    connect(m_browser, &BrowserBox::progressed, m_session, &AlertSession::pageProgress);
    connect(m_browser, &BrowserBox::rendererGone, m_session, &AlertSession::rendererGone);

    // The page's elements act only once it is bound, and only while it is shown.
    m_bridge = new LoginBridge(
        {[this](const QString &x) { Loguser(x); }, [this](const QString &x) { subRegister(x); },
         [this](const QString &x) { subGetpassword(x); },
         [this] { return isLoginPageShown() && m_session->loginFormReady(); }},
        this);
    m_channel = new QWebChannel(this);
    m_channel->registerObject(LoginBridge::kChannelName, m_bridge);

    animateIcon = new QTimer(this);
    animateIcon->setObjectName(QStringLiteral("animateIcon"));
    animateIcon->setInterval(m_services.blinkMs);
    connect(animateIcon, &QTimer::timeout, this, &Form1::animateIcon_Timer);

    Image1 = blinkFrameImage1();
    Image2 = blinkFrameImage2();
    m_tray = new QSystemTrayIcon(this);
    m_tray->setObjectName(QStringLiteral("ctlTrayIcon1"));
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            Form_MouseUp(Qt::LeftButton, kTrayDoubleClickX, 0);
    });
}

Form1::~Form1()
{
    if (m_xmlLogin)
        m_xmlLogin->abandon();
    if (m_xmlAlerter)
        m_xmlAlerter->abandon();
    // The browser's page has to go before the channel it uses.
    delete m_browser;
    m_browser = nullptr;
}

QUrl Form1::loginPageUrl() const
{
    return QUrl::fromLocalFile(m_services.programFolder + QStringLiteral("/html/login.htm"));
}

bool Form1::isLoginPageShown() const
{
    return m_browser && m_browser->url() == loginPageUrl();
}

void Form1::Form_Load()
{
    openLoginPage();

    ImageList1 = menuImageList();
    m_imageListAttached = true;

    setWindowIcon(QIcon(m_skin.AppIcon));
    update(); // the background is painted from the skin

    Picture3->move(twipsToPixels(m_skin.MenuButtonLeft), twipsToPixels(m_skin.MenuButtonTop));
    Picture3->resize(m_skin.MenuButtonPicture.size());
    Image3->setPixmap(m_skin.MenuButtonPicture);
    Image3->resize(m_skin.MenuButtonPicture.size());

    Picture4->move(twipsToPixels(m_skin.CloseButtonLeft), twipsToPixels(m_skin.CloseButtonTop));
    Picture4->resize(m_skin.CloseButtonPicture.size());
    Image4->setPixmap(m_skin.CloseButtonPicture);
    Image4->resize(m_skin.CloseButtonPicture.size());

    resize(twipsToPixels(m_skin.WindowWidth), twipsToPixels(m_skin.WindowHeight));

    Picture2->setGeometry(twipsToPixels(m_skin.BrowserLeft), twipsToPixels(m_skin.BrowserTop),
                          twipsToPixels(m_skin.BrowserWidth), twipsToPixels(m_skin.BrowserHeight));

    LoadSettings();
    PlaceTopRight();
    BuildMenu();
    setWindowTitle(m_startup.WindowTitle);

    m_tray->setIcon(windowIcon());
    m_tray->setToolTip(m_skin.TrayToolTip);
    m_tray->show();

    const bool autoLogin = m_session->preferences().AutoLog == 1;
    ShowLoginPage();

    // Always topmost at start; the on-top preference only rules the menu.
    if (m_services.setTopmost)
        m_services.setTopmost(true, this);

    // The start-up ends with the login page ready for typing, so that nothing
    // typed into a page still loading is cleared by its binding; a page that
    // is still not bound after the stall bound (it is being opened again) no
    // longer keeps the window out of sight.
    if (autoLogin) {
        endLoad();
        return;
    }
    connect(m_session, &AlertSession::loginPageBound, this, &Form1::endLoad);
    QTimer::singleShot(m_services.pageStallMs, this, &Form1::endLoad);
}

void Form1::endLoad()
{
    if (m_loaded)
        return;
    m_loaded = true;
    Q_EMIT loaded();
}

void Form1::LoadSettings()
{
    m_session->preferences() = LoadStoredSettings();
}

void Form1::SaveSettings()
{
    SaveStoredSettings(m_session->preferences());
}

void Form1::PlaceTopRight()
{
    // The top right corner of the primary screen as a whole (the area a
    // panel takes included), wherever that screen lies on the desktop.
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect();
    move(area.x() + area.width() - width(), area.y());
}

// ---------------------------------------------------------------- login page

void Form1::ShowLoginPage()
{
    m_session->ShowLoginPage();
}

void Form1::openLoginPage()
{
    // Only the local login page is given the bridge; any other page loads
    // without it.
    m_browser->AttachChannel(m_channel);
    m_browser->Navigate(loginPageUrl());
}

void Form1::bindLoginPage()
{
    HookElementClick(QStringLiteral("B1"), QStringLiteral("LogUser"), QStringLiteral("x"));
    HookElementClick(QStringLiteral("register"), QStringLiteral("subRegister"), QStringLiteral("x"));
    HookElementClick(QStringLiteral("getpassword"), QStringLiteral("subGetpassword"), QStringLiteral("x"));
    m_browser->RunScript(QString::fromLatin1(kClearFieldsScript));
}

void Form1::HookElementClick(const QString &elementId, const QString &methodName, const QString &argument)
{
    m_browser->RunScript(LoginBridge::hookScript(elementId, methodName, argument));
}

void Form1::renewBrowser()
{
    m_browser->Renew();
}

void Form1::setBrowserEnabled(bool enabled)
{
    Picture2->setEnabled(enabled);
}

void Form1::showBrowser()
{
    Picture2->setVisible(true);
}

void Form1::setLogoutVisible(bool visible)
{
    if (QAction *logout = entry(kLogout))
        logout->setVisible(visible);
}

void Form1::setProfileVisible(bool visible)
{
    if (QAction *profile = entry(kMyProfile))
        profile->setVisible(visible);
}

// ---------------------------------------------------------------- login

void Form1::Loguser(const QString &)
{
    QPointer<Form1> self(this);
    m_browser->RunScript(QString::fromLatin1(kReadFieldsScript), [self](const QVariant &result) {
        // A page that went away before the script ran (its renderer ended)
        // answers with nothing: nothing was read, so nothing is sent.
        if (self && result.typeId() == QMetaType::QVariantMap)
            self->LoguserWithFields(result.toMap());
    });
}

void Form1::LoguserWithFields(const QVariantMap &fields)
{
    const auto field = [&fields](const char *name) {
        const QVariant value = fields.value(QLatin1String(name));
        return value.isValid() && !value.isNull() ? std::optional<QVariant>(value) : std::nullopt;
    };
    LoginFields typed;
    if (const auto user = field("username"))
        typed.userName = user->toString();
    if (const auto pass = field("password"))
        typed.password = pass->toString();
    if (const auto c1 = field("C1"))
        typed.remember = c1->toBool();
    m_session->Loguser(typed);
}

void Form1::sendLogin(const QString &address)
{
    dropLogin();
    m_xmlLogin = new common::HttpExchange(this);
    m_xmlLogin->setTimeout(m_services.requestTimeoutMs);
    connect(m_xmlLogin, &common::HttpExchange::finished, this, &Form1::xml_login_onreadystatechange);
    m_xmlLogin->get(address);
}

void Form1::dropLogin()
{
    if (m_xmlLogin) {
        m_xmlLogin->abandon();
        m_xmlLogin->deleteLater();
    }
    m_xmlLogin = nullptr;
}

void Form1::xml_login_onreadystatechange()
{
    auto *exchange = qobject_cast<common::HttpExchange *>(sender());
    if (!exchange || exchange != m_xmlLogin)
        return;
    const LoginAnswer answer = readLoginAnswer(exchange->result());
    exchange->deleteLater();
    m_xmlLogin = nullptr;
    m_session->loginAnswered(answer);
}

void Form1::rememberAutoLogin()
{
    StoreAutoLogOn();
}

void Form1::openAlertPage(const QString &address, bool reload)
{
    const QUrl url(address);
    m_browser->DetachChannel();
    // Reloading right after a navigation would abandon it, so the page is
    // reloaded only when the address is the one already shown (two alerts in
    // the same second); a new address loads fresh anyway.
    if (reload && url == m_browser->url() && !m_browser->IsBusy())
        m_browser->Refresh();
    else
        m_browser->Navigate(url);
}

void Form1::OpenLink(const QString &address)
{
    if (!address.isEmpty() && m_services.openInShell)
        m_services.openInShell(address);
}

void Form1::subRegister(const QString &)
{
    OpenLink(m_skin.LinkUrls[4]);
}

void Form1::subGetpassword(const QString &)
{
    OpenLink(m_skin.LinkUrls[5]);
}

// ---------------------------------------------------------------- polling

void Form1::alertcheck_Timer()
{
    m_session->alertcheck_Timer();
}

void Form1::sendStatus(const QString &address)
{
    if (m_xmlAlerter) {
        m_xmlAlerter->abandon();
        m_xmlAlerter->deleteLater();
    }
    m_xmlAlerter = new common::HttpExchange(this);
    m_xmlAlerter->setTimeout(m_services.requestTimeoutMs);
    connect(m_xmlAlerter, &common::HttpExchange::finished, this, &Form1::XML_alerter_onreadystatechange);
    m_xmlAlerter->get(address);
}

void Form1::XML_alerter_onreadystatechange()
{
    auto *exchange = qobject_cast<common::HttpExchange *>(sender());
    if (!exchange || exchange != m_xmlAlerter)
        return;
    const std::optional<std::int16_t> status = readStatus(exchange->result());
    exchange->deleteLater();
    m_xmlAlerter = nullptr;
    m_session->statusAnswered(status);
}

void Form1::blink()
{
    StartIconAnimation();
}

void Form1::popUp(bool bringUp)
{
    activateWindow();
    PlaceTopRight();
    if (!bringUp)
        return;
    if (isMinimized())
        showNormal();
    if (isHidden())
        show();
    show();
    showNormal();
    raise();
    activateWindow();
}

void Form1::playSound()
{
    if (m_services.playAlertSound)
        m_services.playAlertSound();
}

// ---------------------------------------------------------------- tray and menu

void Form1::BuildMenu()
{
    struct Entry
    {
        int id;
        const char *caption;
        bool beginGroup;
    };
    static const Entry kEntries[] = {
        {kMyProfile, "My Profile", false},   {kVisitWebsite, "Visit Website", true},
        {kContactUs, "Contact Us", false},   {kPopUpMode, "PopUp Mode", true},
        {kAlertMode, "Alert Mode", false},   {kAudioAlert, "Audio Alert", false},
        {kWindowOnTop, "Make window on Top", false}, {kAboutUs, "About Us", true},
        {kHelp, "Help", false},              {kLogout, "Logout", true},
        {kExit, "Exit", true},
    };

    m_popup = new QMenu(this);
    m_popup->setObjectName(QStringLiteral("Popup"));
    for (const Entry &e : kEntries) {
        if (e.beginGroup)
            m_popup->addSeparator();
        QAction *action = m_popup->addAction(QString::fromLatin1(e.caption));
        action->setData(e.id);
        action->setObjectName(QStringLiteral("entry%1").arg(e.id));
        if (m_imageListAttached && ImageList1.contains(e.id))
            action->setIcon(ImageList1.value(e.id));
        m_entries.insert(e.id, action);

        const SessionPreferences &prefs = m_session->preferences();
        std::int16_t flag = -1;
        switch (e.id) {
        case kMyProfile: action->setVisible(false); break;
        case kPopUpMode: flag = prefs.PopupMode; break;
        case kAlertMode: flag = prefs.AlertMode; break;
        case kAudioAlert: flag = prefs.AudioAlert; break;
        case kWindowOnTop: flag = prefs.WindowOnTop; break;
        default: break;
        }
        if (flag != -1) {
            action->setCheckable(true);
            action->setChecked(flag == 1);
        }
        if (e.id == kWindowOnTop && m_services.setTopmost)
            m_services.setTopmost(action->isChecked(), this);
    }
    m_entries.value(kLogout)->setVisible(m_session->preferences().AutoLog == 1);

    connect(m_popup, &QMenu::triggered, this, &Form1::CommandBars1_Execute);
}

void Form1::CommandBars1_Execute(QAction *control)
{
    if (!control)
        return;
    // Checkable entries have already flipped their check mark when chosen.
    const std::int16_t checked = control->isChecked() ? 1 : 0;
    SessionPreferences &prefs = m_session->preferences();
    switch (control->data().toInt()) {
    case kMyProfile:
        if (!m_skin.ProfilePageUrl.isEmpty())
            OpenLink(profileAddress(m_skin.ProfilePageUrl, prefs.UserName));
        break;
    case kVisitWebsite: OpenLink(m_skin.LinkUrls[0]); break;
    case kContactUs: OpenLink(m_skin.LinkUrls[1]); break;
    case kPopUpMode: prefs.PopupMode = checked; break;
    case kAlertMode: prefs.AlertMode = checked; break;
    case kAudioAlert: prefs.AudioAlert = checked; break;
    case kWindowOnTop:
        prefs.WindowOnTop = checked;
        if (m_services.setTopmost)
            m_services.setTopmost(checked == 1, this);
        break;
    case kAboutUs: OpenLink(m_skin.LinkUrls[2]); break;
    case kHelp: OpenLink(m_skin.LinkUrls[3]); break;
    case kLogout: m_session->Logout(); break;
    case kExit: close(); break;
    default: break;
    }
}

void Form1::Image3_Click()
{
    if (m_popup)
        m_popup->popup(QCursor::pos());
}

void Form1::Image4_Click()
{
    // Minimising ends in hiding where there is a tray; hiding straight away
    // skips the iconify request, which an X server without a window manager
    // never answers: Qt would then report the window minimised again after
    // it was restored, and it would vanish a second time.
    if (m_services.trayAvailable && m_services.trayAvailable())
        hide();
    else
        showMinimized();
}

void Form1::StartIconAnimation()
{
    m_blink.start();
    animateIcon->start();
}

void Form1::animateIcon_Timer()
{
    const bool outOfSight = isHidden() || isMinimized();
    ShowTrayFrame(m_blink.tick(outOfSight));
    if (!m_blink.isRunning())
        animateIcon->stop();
}

void Form1::ShowTrayFrame(TrayBlink::Frame frame)
{
    switch (frame) {
    case TrayBlink::Frame::Image1: m_tray->setIcon(Image1); break;
    case TrayBlink::Frame::Image2: m_tray->setIcon(Image2); break;
    case TrayBlink::Frame::Rest: m_tray->setIcon(windowIcon()); break;
    case TrayBlink::Frame::Unchanged: return;
    }
    m_trayFrame = frame;
}

void Form1::Form_MouseUp(Qt::MouseButton, int xTwips, int)
{
    if (xTwips != kTrayDoubleClickX)
        return;
    show();
    showNormal();
    show();
    raise();
    activateWindow();
    animateIcon->stop();
    m_blink.stop();
    ShowTrayFrame(TrayBlink::Frame::Rest);
}

// ---------------------------------------------------------------- window events

void Form1::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_skin.BackgroundPicture);
}

void Form1::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // Without a notification area a hidden window could never come back, so
    // it then stays an ordinary minimised window.
    // Hidden once the state change has run its course: hiding from inside it
    // is undone by the window system's own handling of the change.
    if (m_services.trayAvailable && m_services.trayAvailable()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
    }
}

void Form1::closeEvent(QCloseEvent *event)
{
    SaveSettings();
    event->accept();
    if (m_closing)
        return;
    m_closing = true;
    m_session->close();
    animateIcon->stop();
    m_tray->hide();
    Q_EMIT closed();
}

void Form1::mouseReleaseEvent(QMouseEvent *event)
{
    const QPointF p = event->position();
    Form_MouseUp(event->button(), twips(p.x()), twips(p.y()));
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Label1) {
        if (event->type() == QEvent::MouseButtonPress) {
            const QPointF p = static_cast<QMouseEvent *>(event)->position();
            Label1_MouseDown(twips(p.x()), twips(p.y()));
        } else if (event->type() == QEvent::MouseMove) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            Label1_MouseMove(mouse->buttons(), twips(mouse->position().x()), twips(mouse->position().y()));
        }
    } else if (event->type() == QEvent::MouseButtonRelease) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        auto *label = qobject_cast<QLabel *>(watched);
        if (mouse->button() == Qt::LeftButton && label && label->rect().contains(mouse->position().toPoint())) {
            if (watched == Image3)
                Image3_Click();
            else if (watched == Image4)
                Image4_Click();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::Label1_MouseDown(int xTwips, int yTwips)
{
    m_dragStart = QPoint(xTwips, yTwips);
}

void Form1::Label1_MouseMove(Qt::MouseButtons buttons, int xTwips, int yTwips)
{
    if (buttons != Qt::LeftButton)
        return;
    // The strip moves with the window, so the start point stays where the
    // pointer went down on it.
    const int dx = twipsToPixels(xTwips - m_dragStart.x());
    const int dy = twipsToPixels(yTwips - m_dragStart.y());
    move(x() + dx, y() + dy);
}

} // namespace client
