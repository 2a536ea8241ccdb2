#include "SessionFixture.h"

#include "client/session/BrowserBox.h"
#include "support/Patience.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>

namespace sessiontest {

namespace {

QPixmap filled(int w, int h, const QColor &color)
{
    QPixmap pixmap(w, h);
    pixmap.fill(color);
    QPainter p(&pixmap);
    p.setPen(Qt::black);
    p.drawRect(0, 0, w - 1, h - 1);
    return pixmap;
}

QSettings *openStore()
{
    auto *store = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                QStringLiteral("Tarvex Vantorel"));
    return store;
}

} // namespace

client::SkinValues testSkin(const QString &serverBase)
{
    client::SkinValues skin;
    skin.CloseButtonPicture = filled(20, 20, Qt::red);
    skin.MenuButtonPicture = filled(20, 18, Qt::blue);
    skin.BackgroundPicture = filled(320, 400, QColor(200, 220, 240));
    skin.WindowWidth = 4800;
    skin.WindowHeight = 6000;
    skin.CloseButtonLeft = 4350;
    skin.CloseButtonTop = 150;
    skin.MenuButtonLeft = 3900;
    skin.MenuButtonTop = 150;
    skin.AppIcon = filled(32, 32, QColor(0, 160, 0));
    skin.TrayToolTip = QStringLiteral("Vantorel alerts");
    skin.AlertPageUrl = serverBase + QStringLiteral("/alertsystem/alerts.php");
    skin.ProfilePageUrl = QStringLiteral("http://vendor.example/profile.php");
    skin.LinkUrls = {QStringLiteral("http://vendor.example/"), QStringLiteral("mailto:help@vendor.example"),
                     QStringLiteral("http://vendor.example/about"), QStringLiteral("http://vendor.example/help"),
                     QStringLiteral("http://vendor.example/register"),
                     QStringLiteral("http://vendor.example/password")};
    skin.BrowserLeft = 150;
    skin.BrowserTop = 1200;
    skin.BrowserWidth = 4500;
    skin.BrowserHeight = 4500;
    return skin;
}

client::StartupValues testStartup(const QString &serverBase)
{
    return {QStringLiteral("Vantorel Alerts"), serverBase, QStringLiteral("7")};
}

bool makeProgramFolder(const QString &folder, const QByteArray &loginPage)
{
    if (!QDir(folder).mkpath(QStringLiteral("html/images")))
        return false;
    QByteArray page = loginPage;
    if (page.isEmpty()) {
        QFile shipped(QStringLiteral(TVX_SOURCE_DIR "/client/files/html/login.htm"));
        if (!shipped.open(QIODevice::ReadOnly))
            return false;
        page = shipped.readAll();
    }
    QFile out(folder + QStringLiteral("/html/login.htm"));
    if (!out.open(QIODevice::WriteOnly) || out.write(page) != page.size())
        return false;
    out.close();
    QImage background(300, 300, QImage::Format_RGB32);
    background.fill(QColor(230, 236, 245));
    return background.save(folder + QStringLiteral("/html/images/background.bmp"), "BMP");
}

void storeSettings(const QList<std::pair<QString, QString>> &keys)
{
    clearSettings();
    std::unique_ptr<QSettings> store(openStore());
    store->beginGroup(QStringLiteral("Settings"));
    for (const auto &[key, value] : keys)
        store->setValue(key, value);
    store->sync();
}

QHash<QString, QString> storedSettingsText()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tarvex Vantorel.conf");
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inSection = false;
    for (const QString &raw : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inSection = line == QLatin1String("[Settings]");
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (inSection && eq > 0)
            keys.insert(line.left(eq), line.mid(eq + 1));
    }
    return keys;
}

void clearSettings()
{
    std::unique_ptr<QSettings> store(openStore());
    store->clear();
    store->sync();
}

bool Session::create(const QByteArray &loginPage)
{
    if (!server.isListening() && !server.listen())
        return false;
    if (!folder.isValid() || !makeProgramFolder(folder.path(), loginPage))
        return false;
    client::SessionServices services;
    services.clock = [this] { return desktop.now; };
    services.programFolder = folder.path();
    services.openInShell = [this](const QString &target) { desktop.opened << target; };
    services.playAlertSound = [this] { ++desktop.sounds; };
    services.setTopmost = [this](bool on, QWidget *) { desktop.topmost << on; };
    services.trayAvailable = [this] { return desktop.trayAvailable; };
    services.requestTimeoutMs = desktop.requestTimeoutMs;
    services.pollMs = desktop.pollMs;
    services.blinkMs = desktop.blinkMs;
    services.loginRetryMs = desktop.loginRetryMs;
    client::SkinValues skin = testSkin(server.baseUrl());
    if (editSkin)
        editSkin(skin);
    form = std::make_unique<client::Form1>(testStartup(server.baseUrl()), skin, services);
    return true;
}

bool Session::start(const QByteArray &loginPage)
{
    if (!create(loginPage))
        return false;
    form->Form_Load();
    form->show();
    return true;
}

QWebEnginePage *Session::page() const
{
    return form->browser()->page();
}

QString jsQuote(const QString &text)
{
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

QVariant evalJs(QWebEnginePage *page, const QString &script, quint32 world, bool *ok)
{
    auto state = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
    page->runJavaScript(script, world, [state](const QVariant &v) {
        state->first = true;
        state->second = v;
    });
    const bool done = QTest::qWaitFor([state] { return state->first; }, testsupport::patient(15000));
    if (ok)
        *ok = done;
    return state->second;
}

bool waitForLoginForm(client::Form1 &form)
{
    const QString check = QStringLiteral(
        "(function(){if (document.documentElement.hasAttribute('data-typed-into')) return false;"
        "var ids=['B1','register','getpassword'];"
        "for (var i=0;i<ids.length;++i){var e=document.getElementById(ids[i]);"
        " if(e && typeof e.onclick!=='function') return false;}"
        "return !!window.__tvxBridge;})()");
    return QTest::qWaitFor([&] {
        return form.isLoginPageShown() && !form.browser()->IsBusy()
            && evalJs(form.browser()->page(), check, client::BrowserBox::kProgramWorld).toBool();
    }, testsupport::patient(20000));
}

void typeAndLogIn(QWebEnginePage *page, const QString &user, const QString &password, bool remember)
{
    evalJs(page, QStringLiteral("document.documentElement.setAttribute('data-typed-into', '');"
                                "document.getElementById('username').value=%1;"
                                "document.getElementById('password').value=%2;"
                                "document.getElementById('C1').checked=%3;"
                                "document.getElementById('B1').click(); true")
                     .arg(jsQuote(user), jsQuote(password),
                          remember ? QStringLiteral("true") : QStringLiteral("false")));
}

} // namespace sessiontest
