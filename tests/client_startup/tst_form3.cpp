#include "client/startup/Form3.h"
#include "support/Patience.h"
#include "client/startup/PlatformHelpers.h"
#include "client/startup/RemoteLoader.h"
#include "support/ScriptedServer.h"
#include "SkinFixture.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace client;
using namespace testsupport;

namespace {
// The loading window's tick in these tests; the program's own is 100 ms.
constexpr int kTickMs = 40;
} // namespace

Q_DECLARE_METATYPE(testsupport::ScriptedReply)

// The loading window in this process, against the scripted server.
class TestForm3 : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void laysOutTheLoadingWindow();
    void handsOverOnceWithEverySkinValue();
    void startsTheDownloadsInOrder();
    void animatesWithoutEverShowingThreeDots();
    void anyFailingPictureEndsStartUp_data();
    void anyFailingPictureEndsStartUp();
    void unusableSkinEndsStartUpWithoutDownloads_data();
    void unusableSkinEndsStartUpWithoutDownloads();
    void missingConfigurationEndsBeforeAnythingIsSent();
    void alertSoundPlaysTheFileOrBeeps();
    void windowHelpersKeepTheWindowWhereItWas();

private:
    void writeSystemXml(const QString &base, const QString &id = QStringLiteral("1"));
    void scriptPictures();
    std::unique_ptr<Form3> makeForm(int *factoryCalls = nullptr, bool showsAtOnce = true);

    ScriptedServer *m_server = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;
    QList<std::shared_ptr<QWidget>> m_mainWindows;
    int m_tickMs = kTickMs;
};

void TestForm3::init()
{
    m_tickMs = kTickMs;
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_dir->path()).mkpath("html/images"));
    writeSystemXml(m_server->baseUrl());
}

void TestForm3::cleanup()
{
    m_mainWindows.clear();
    delete m_server;
    m_server = nullptr;
}

void TestForm3::writeSystemXml(const QString &base, const QString &id)
{
    QFile file(m_dir->filePath("system.xml"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<?xml version=\"1.0\"?>\n<c><n>Tarvex Test</n><b>" + base.toUtf8() + "</b><i>" + id.toUtf8()
               + "</i></c>\n");
}

void TestForm3::scriptPictures()
{
    m_server->setReply("/alertsystem/notifytype.php", ScriptedReply::xmlChildren(skinfixture::skinChildren()));
    m_server->setReply("/skins/1/close.png", ScriptedReply::picture(skinfixture::png(Qt::red, {10, 11}), "image/png"));
    m_server->setReply("/skins/1/menu.png", ScriptedReply::picture(skinfixture::png(Qt::green, {12, 13}), "image/png"));
    m_server->setReply("/skins/1/back.png", ScriptedReply::picture(skinfixture::png(Qt::blue, {300, 400}), "image/png"));
    m_server->setReply("/skins/1/icon.png", ScriptedReply::picture(skinfixture::encodedImage(Qt::yellow, {16, 16}, "ICO"), "image/x-icon"));
    m_server->setReply("/skins/1/page.png", ScriptedReply::picture(skinfixture::png(Qt::cyan, {20, 21}), "image/png"));
}

// The factory stands in for the main window; like the real one, it may show
// the window only later (once its login page is ready).
std::unique_ptr<Form3> TestForm3::makeForm(int *factoryCalls, bool showsAtOnce)
{
    auto factory = [this, factoryCalls, showsAtOnce](const StartupValues &startup, const SkinValues &) {
        if (factoryCalls)
            ++*factoryCalls;
        auto window = std::make_shared<QWidget>();
        window->setWindowTitle(startup.WindowTitle);
        if (showsAtOnce)
            window->show();
        m_mainWindows.append(window);
        return window.get();
    };
    StartupServices services = Form3::desktopServices();
    services.programFolder = m_dir->path();
    services.tickMs = m_tickMs;
    return std::make_unique<Form3>(factory, services);
}

void TestForm3::laysOutTheLoadingWindow()
{
    m_server->setReply("/alertsystem/notifytype.php", ScriptedReply::hang());
    m_tickMs = StartupServices().tickMs; // the program's own
    auto form = makeForm();
    QVERIFY(form->Form_Load());
    QCOMPARE(form->size(), QSize(163, 15));
    QCOMPARE(form->windowTitle(), QStringLiteral("Form3"));
    QVERIFY(form->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::white));
    auto *label = form->findChild<QLabel *>("Label1");
    QVERIFY(label);
    QCOMPARE(label->geometry(), QRect(0, 0, 163, 15));
    QCOMPARE(label->text(), QString());
    QCOMPARE(label->font().family(), QStringLiteral("Verdana"));
    QCOMPARE(label->font().pointSizeF(), 8.25);
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    auto *shape = form->findChild<QFrame *>("Shape1");
    QVERIFY(shape);
    QCOMPARE(shape->geometry(), QRect(0, 0, 163, 15));
    auto *timer = form->findChild<QTimer *>("Timer1");
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), 100);
    // The loaders never show inside the window.
    for (auto *loader : form->findChildren<RemoteLoader *>())
        QVERIFY(!form->rect().intersects(loader->geometry()));
    QCOMPARE(form->findChildren<RemoteLoader *>().size(), 5);
    form->show();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QVERIFY(qAbs(form->geometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(form->geometry().center().y() - screen.center().y()) <= 1);
    QVERIFY(m_server->waitForRequestCount(1));
    QCOMPARE(m_server->request(0).target, QByteArray("/alertsystem/notifytype.php?id=1"));
}

void TestForm3::handsOverOnceWithEverySkinValue()
{
    scriptPictures();
    int calls = 0;
    auto form = makeForm(&calls, false);
    QSignalSpy ended(form.get(), &Form3::startupEnded);
    QVERIFY(form->Form_Load());
    form->show();
    QTRY_VERIFY(form->hasHandedOver());
    // Until the main window shows, the loading window stays and animates,
    // and no later tick hands over a second time.
    const QString text = form->findChild<QLabel *>("Label1")->text();
    QTRY_VERIFY(form->findChild<QLabel *>("Label1")->text() != text);
    QVERIFY(form->isVisible());
    m_mainWindows.first()->show();
    QVERIFY(!form->isVisible());
    QCOMPARE(calls, 1);
    QCOMPARE(ended.count(), 0);
    QCOMPARE(m_mainWindows.size(), 1);
    QCOMPARE(form->mainWindow(), m_mainWindows.first().get());
    QCOMPARE(form->mainWindow()->windowTitle(), QStringLiteral("Tarvex Test"));

    const SkinValues &skin = form->skinValues();
    QCOMPARE(skin.CloseButtonPicture.size(), QSize(10, 11));
    QCOMPARE(skin.MenuButtonPicture.size(), QSize(12, 13));
    QCOMPARE(skin.BackgroundPicture.size(), QSize(300, 400));
    QCOMPARE(skin.AppIcon.size(), QSize(16, 16));
    QCOMPARE(skin.AppIcon.toImage().pixelColor(3, 3), QColor(Qt::yellow));
    QCOMPARE(skin.WindowWidth, 4500);
    QCOMPARE(skin.BrowserHeight, 4800);
    QCOMPARE(form->startupValues().ServerBase, m_server->baseUrl());

    // The page background is a real BMP beside the login page.
    const QString bmp = m_dir->filePath("html/images/background.bmp");
    QFile file(bmp);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.read(2), QByteArray("BM"));
    QImageReader reader(bmp);
    QCOMPARE(reader.format(), QByteArray("bmp"));
    const QImage page = reader.read();
    QCOMPARE(page.size(), QSize(20, 21));
    QCOMPARE(page.pixelColor(5, 5), QColor(Qt::cyan));
    QCOMPARE(m_server->requestCount(), 6); // the skin and five pictures, nothing more
}

void TestForm3::startsTheDownloadsInOrder()
{
    scriptPictures();
    auto form = makeForm();
    QStringList started;
    for (const char *name : {"rm_Close", "rm_Menu", "rm_Background", "rm_Icon", "backgroundhtm"}) {
        auto *loader = form->findChild<RemoteLoader *>(name);
        QVERIFY2(loader, name);
        connect(loader, &RemoteLoader::downloadStarted, this,
                [&started, name](const QString &address) { started << QLatin1String(name) + ' ' + address; });
    }
    QVERIFY(form->Form_Load());
    form->show();
    QTRY_VERIFY(form->hasHandedOver());
    const QString base = m_server->baseUrl();
    QCOMPARE(started, (QStringList{"rm_Close " + base + "/skins/1/close.png", "rm_Menu " + base + "/skins/1/menu.png",
                                   "rm_Background " + base + "/skins/1/back.png",
                                   "rm_Icon " + base + "/skins/1/icon.png",
                                   "backgroundhtm " + base + "/skins/1/page.png"}));
}

void TestForm3::animatesWithoutEverShowingThreeDots()
{
    m_server->setReply("/alertsystem/notifytype.php", ScriptedReply::hang());
    auto form = makeForm();
    QVERIFY(form->Form_Load());
    auto *label = form->findChild<QLabel *>("Label1");
    QStringList texts;
    // Read right after each tick's own handling, so every step is seen
    // however late the ticks come.
    connect(form->findChild<QTimer *>("Timer1"), &QTimer::timeout, this, [&] { texts << label->text(); });
    QTRY_VERIFY_WITH_TIMEOUT(texts.size() >= 20, testsupport::patient(5000));
    const QStringList cycle = {"L", "Lo", "Loa", "Load", "Loadi", "Loadin", "Loading", "Loading.", "Loading.."};
    const int start = texts.indexOf("L", 1);
    QVERIFY(start >= 0);
    for (int i = start; i < texts.size(); ++i)
        QCOMPARE(texts[i], cycle[(i - start) % cycle.size()]);
    QVERIFY(!texts.contains("Loading..."));
}

void TestForm3::anyFailingPictureEndsStartUp_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<ScriptedReply>("reply");
    const auto html = ScriptedReply::html("<html><body>missing</body></html>").withStatus(404);
    QTest::newRow("close") << QByteArray("/skins/1/close.png") << html;
    QTest::newRow("menu") << QByteArray("/skins/1/menu.png") << ScriptedReply::drop();
    QTest::newRow("background") << QByteArray("/skins/1/back.png") << html;
    QTest::newRow("icon") << QByteArray("/skins/1/icon.png") << ScriptedReply::text("not a picture");
    QTest::newRow("page background") << QByteArray("/skins/1/page.png") << html;
}

void TestForm3::anyFailingPictureEndsStartUp()
{
    QFETCH(QByteArray, path);
    QFETCH(ScriptedReply, reply);
    scriptPictures();
    m_server->setReply(path, reply.withDelay(150)); // the others have arrived by then
    int calls = 0;
    auto form = makeForm(&calls);
    QSignalSpy ended(form.get(), &Form3::startupEnded);
    QVERIFY(form->Form_Load());
    form->show();
    QTRY_COMPARE(ended.count(), 1);
    QVERIFY(form->hasEnded());
    QVERIFY(!form->isVisible());
    QTest::qWait(patient(3 * kTickMs));
    QCOMPARE(calls, 0);
    QCOMPARE(ended.count(), 1);
    QVERIFY(!form->findChild<QTimer *>("Timer1")->isActive());
    if (path == "/skins/1/page.png")
        QVERIFY(!QFile::exists(m_dir->filePath("html/images/background.bmp")));
}

void TestForm3::unusableSkinEndsStartUpWithoutDownloads_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QStringList children = skinfixture::skinChildren();
    QTest::newRow("23 children") << ScriptedReply::xmlChildren(children.mid(0, 23));
    children[21] = "70000";
    QTest::newRow("number out of range") << ScriptedReply::xmlChildren(children);
    QTest::newRow("error page") << ScriptedReply::html("<html><body>Server error<br></body></html>").withStatus(500);
    QTest::newRow("dropped") << ScriptedReply::drop();
}

void TestForm3::unusableSkinEndsStartUpWithoutDownloads()
{
    QFETCH(ScriptedReply, reply);
    scriptPictures();
    m_server->setReply("/alertsystem/notifytype.php", reply);
    auto form = makeForm();
    QSignalSpy ended(form.get(), &Form3::startupEnded);
    QVERIFY(form->Form_Load());
    form->show();
    QTRY_COMPARE(ended.count(), 1);
    QTest::qWait(testsupport::patient(200));
    QCOMPARE(m_server->requestCount(), 1);
    QVERIFY(!form->hasHandedOver());
}

void TestForm3::missingConfigurationEndsBeforeAnythingIsSent()
{
    QFile::remove(m_dir->filePath("system.xml"));
    auto form = makeForm();
    QSignalSpy ended(form.get(), &Form3::startupEnded);
    QVERIFY(!form->Form_Load());
    QCOMPARE(ended.count(), 1);
    QVERIFY(!form->isVisible());
    QVERIFY(!form->findChild<QTimer *>("Timer1")->isActive());
    QTest::qWait(testsupport::patient(100));
    QCOMPARE(m_server->requestCount(), 0);
}

void TestForm3::alertSoundPlaysTheFileOrBeeps()
{
    int beeps = 0;
    QStringList played;
    bool hasOutput = false;
    const SoundBackend recorder{[&] { return hasOutput; }, [&] { ++beeps; },
                                [&](const QString &path) { played.append(path); }};
    PlayAlertSound(recorder, "/opt/tarvex");
    QCOMPARE(beeps, 1);
    QVERIFY(played.isEmpty());

    hasOutput = true;
    PlayAlertSound(recorder, "/opt/tarvex");
    QCOMPARE(beeps, 1);
    QCOMPARE(played, QStringList{"/opt/tarvex/alert.wav"});

    // The real player stays silent and quiet for a missing file.
    SoundBackend::desktop().playFile(ProgramFolder() + "/no-such-alert.wav");
}

void TestForm3::windowHelpersKeepTheWindowWhereItWas()
{
    QWidget window;
    window.setGeometry(40, 50, 200, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    SetTopmost(true, &window);
    QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(window.isVisible());
    QCOMPARE(window.geometry(), QRect(40, 50, 200, 100));

    SetTopmost(false, &window);
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(window.isVisible());
    QCOMPARE(window.geometry(), QRect(40, 50, 200, 100));

    // A hidden window stays hidden.
    QWidget hidden;
    SetTopmost(true, &hidden);
    QVERIFY(hidden.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(!hidden.isVisible());

    SetWindowAlpha(&window, 255);
    QCOMPARE(window.windowOpacity(), 1.0);
    SetWindowAlpha(&window, 0);
    QCOMPARE(window.windowOpacity(), 0.0);
    SetWindowAlpha(&window, 128);
    QVERIFY(qAbs(window.windowOpacity() - 128 / 255.0) < 0.01);
    SetTopmost(true, nullptr); // no window, nothing happens
}

QTEST_MAIN(TestForm3)
#include "tst_form3.moc"
