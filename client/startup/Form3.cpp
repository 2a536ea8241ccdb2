#include "client/startup/Form3.h"

#include "client/startup/InstanceLookup.h"
#include "client/startup/PlatformHelpers.h"
#include "client/startup/RemoteLoader.h"
#include "client/startup/SkinReply.h"
#include "client/startup/StartupConfig.h"
#include "common/HttpExchange.h"

#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QSaveFile>
#include <QScreen>

namespace client {

namespace {

constexpr int kLoadingTextLength = 10; // "Loading..."

// Written whole or not at all, so the login page never meets half a file.
bool writeBitmap(const QPixmap &picture, const QString &path)
{
    if (picture.isNull())
        return false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!picture.toImage().save(&file, "BMP")) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

StartupServices Form3::desktopServices()
{
    StartupServices services;
    services.programFolder = ProgramFolder();
    services.setTopmost = [](bool on, QWidget *window) { SetTopmost(on, window); };
    services.isOnlyInstance = [](const QString &title) { return IsOnlyInstance(title); };
    return services;
}

Form3::Form3(MainWindowFactory factory, QWidget *parent)
    : Form3(std::move(factory), desktopServices(), parent)
{
}

Form3::Form3(MainWindowFactory factory, StartupServices services, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , m_factory(std::move(factory))
    , m_services(std::move(services))
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Form3"));
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    Shape1 = new QFrame(this);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Shape1->setLineWidth(1);

    Label1 = new QLabel(QStringLiteral("Label1"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont verdana(QStringLiteral("Verdana"));
    verdana.setPointSizeF(8.25);
    verdana.setWeight(QFont::Normal);
    Label1->setFont(verdana);
    Label1->setAlignment(Qt::AlignCenter);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(m_services.tickMs);
    connect(Timer1, &QTimer::timeout, this, &Form3::Timer1_Timer);

    // The loaders only download; they sit outside the visible area.
    auto makeLoader = [this](const char *name, void (Form3::*handler)(bool)) {
        auto *loader = new RemoteLoader(this);
        loader->setObjectName(QLatin1String(name));
        loader->setGeometry(-100, -100, 32, 32);
        connect(loader, &RemoteLoader::loadComplete, this, handler);
        return loader;
    };
    backgroundhtm = makeLoader("backgroundhtm", &Form3::backgroundhtm_loadComplete);
    rm_Background = makeLoader("rm_Background", &Form3::rm_Background_loadComplete);
    rm_Icon = makeLoader("rm_Icon", &Form3::rm_Icon_loadComplete);
    rm_Menu = makeLoader("rm_Menu", &Form3::rm_Menu_loadComplete);
    rm_Close = makeLoader("rm_Close", &Form3::rm_Close_loadComplete);
}

Form3::~Form3() = default;

bool Form3::Form_Load()
{
    resize(twipsToPixels(kWidthTwips), twipsToPixels(kHeightTwips));
    SkinParsed = MenuButtonLoaded = CloseButtonLoaded = BackgroundLoaded = IconLoaded = false;
    Shape1->setGeometry(rect());
    Label1->setGeometry(rect());
    Label1->setText(QString());
    Timer1->start();
    LoadingChars = 1;
    if (m_services.setTopmost)
        m_services.setTopmost(true, this);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());

    if (!loadSystemXml()) {
        endStartup();
        return false;
    }

    // The native window, with its caption and class, exists from here on, so
    // that a running instance is found the same way whatever its state, and a
    // title of "Form3" finds this very window.
    winId();
    if (m_services.isOnlyInstance && !m_services.isOnlyInstance(m_startup.WindowTitle)) {
        endStartup();
        return false;
    }

    startSkinRequest();
    return true;
}

bool Form3::loadSystemXml()
{
    const std::optional<StartupValues> values =
        readSystemXml(m_services.programFolder + u'/' + QLatin1String(kSystemXmlName));
    if (!values)
        return false;
    m_startup = *values;
    return true;
}

void Form3::startSkinRequest()
{
    xml_Resource = std::make_unique<common::HttpExchange>();
    connect(xml_Resource.get(), &common::HttpExchange::finished, this,
            &Form3::xml_Resource_onreadystatechange);
    xml_Resource->get(skinRequestAddress(m_startup));
}

void Form3::xml_Resource_onreadystatechange()
{
    if (m_ended)
        return;
    const common::HttpResult &result = xml_Resource->result();
    const std::optional<SkinReply> reply =
        result.ok ? readSkinReply(result.body, m_startup.ServerBase) : std::nullopt;
    if (!reply) {
        endStartup();
        return;
    }
    m_skin = reply->values;
    // Started in this order; the completions may come back in any order.
    rm_Close->setUrl(reply->address(SkinPicture::Close));
    rm_Menu->setUrl(reply->address(SkinPicture::Menu));
    rm_Background->setUrl(reply->address(SkinPicture::Background));
    rm_Icon->setUrl(reply->address(SkinPicture::Icon));
    backgroundhtm->setUrl(reply->address(SkinPicture::PageBackground));
    SkinParsed = true;
}

void Form3::rm_Close_loadComplete(bool errCode)
{
    m_skin.CloseButtonPicture = rm_Close->Picture();
    takeCompletion(CloseButtonLoaded, errCode);
}

void Form3::rm_Menu_loadComplete(bool errCode)
{
    m_skin.MenuButtonPicture = rm_Menu->Picture();
    takeCompletion(MenuButtonLoaded, errCode);
}

void Form3::rm_Background_loadComplete(bool errCode)
{
    m_skin.BackgroundPicture = rm_Background->Picture();
    takeCompletion(BackgroundLoaded, errCode);
}

void Form3::rm_Icon_loadComplete(bool errCode)
{
    m_skin.AppIcon = rm_Icon->Picture();
    takeCompletion(IconLoaded, errCode);
}

void Form3::backgroundhtm_loadComplete(bool errCode)
{
    // A failed write only costs the login page its background; the picture
    // itself arrived, so start-up goes on.
    if (errCode && !m_ended)
        writeBitmap(backgroundhtm->Picture(), pageBackgroundPath(m_services.programFolder));
    takeCompletion(PageBackgroundLoaded, errCode);
}

void Form3::takeCompletion(bool &loadedFlag, bool errCode)
{
    if (m_ended)
        return; // another picture already ended start-up
    loadedFlag = errCode;
    if (!errCode)
        endStartup();
}

void Form3::Timer1_Timer()
{
    Label1->setText(QStringLiteral("Loading...").left(LoadingChars));
    if (++LoadingChars >= kLoadingTextLength)
        LoadingChars = 1;

    if (!allLoaded() || m_handedOver || m_ended)
        return;
    m_handedOver = true;
    if (m_factory)
        m_mainWindow = m_factory(m_startup, m_skin);
    // The loading window stays, still animating, until the main window shows
    // (once its login page is ready), so that the program always has a
    // window on screen.
    if (m_mainWindow && !m_mainWindow->isVisible()) {
        m_mainWindow->installEventFilter(this);
        connect(m_mainWindow, &QObject::destroyed, this, &Form3::closeAfterHandOver);
        return;
    }
    closeAfterHandOver();
}

void Form3::closeAfterHandOver()
{
    Timer1->stop();
    close();
}

bool Form3::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_mainWindow && event->type() == QEvent::Show) {
        m_mainWindow->removeEventFilter(this);
        closeAfterHandOver();
    }
    return QWidget::eventFilter(watched, event);
}

bool Form3::allLoaded() const
{
    return SkinParsed && CloseButtonLoaded && MenuButtonLoaded && BackgroundLoaded && IconLoaded
        && PageBackgroundLoaded;
}

void Form3::endStartup()
{
    if (m_ended || m_handedOver)
        return;
    m_ended = true;
    Timer1->stop();
    if (xml_Resource)
        xml_Resource->abandon();
    close();
    Q_EMIT startupEnded();
}

} // namespace client
