#include "client/startup/InstanceLookup.h"
#include "support/Patience.h"
#include "support/ScriptedServer.h"
#include "SkinFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include <cstring>
#include <memory>

#include <xcb/xcb.h>

using namespace testsupport;
using client::IsOnlyInstance;

// The installed client as a user starts it, under a real X server: its
// requests, its windows, its exit, and the single-instance rule.
class TestStartupProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void lookupMatchesClassAndExactTitle();
    void startsUpAndHandsOverOnceAndBlocksASecondStart();
    void endsSilentlyWithoutSending_data();
    void endsSilentlyWithoutSending();
    void failingPictureEndsTheProgram();

private:
    void writeSystemXml(const QByteArray &xml);
    xcb_window_t createForeignWindow(const QByteArray &wmClass, const QByteArray &title, xcb_window_t parent = 0,
                                     bool mapped = true);
    std::unique_ptr<QProcess> startClient();
    void scriptSkin(const QString &prefix);

    std::unique_ptr<QTemporaryDir> m_install;
    ScriptedServer *m_server = nullptr;
    QList<xcb_window_t> m_foreign;
};

static xcb_connection_t *x11()
{
    auto *native = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return native ? native->connection() : nullptr;
}

void TestStartupProcess::initTestCase()
{
    if (!x11())
        QSKIP("needs an X11 display (run under scripts/xvfb-test.sh)");
    // Windows of this test carry the client's class from here on.
    QCoreApplication::setApplicationName(QLatin1String(client::kWindowClass));
    QVERIFY(QFile::exists(TVX_BUILD_DIR "/tarvex/tarvex"));
}

void TestStartupProcess::init()
{
    // A private copy of the client's folder: the program reads its
    // configuration and writes its page background there.
    m_install = std::make_unique<QTemporaryDir>();
    const QDir source(TVX_BUILD_DIR "/tarvex");
    QDirIterator it(source.path(), QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        const QString to = m_install->filePath(source.relativeFilePath(from));
        QDir().mkpath(QFileInfo(to).absolutePath());
        QVERIFY(QFile::copy(from, to));
    }
    QFile(m_install->filePath("tarvex")).setPermissions(QFile::ExeOwner | QFile::ReadOwner);
    QFile::remove(m_install->filePath("html/images/background.bmp"));
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
}

void TestStartupProcess::cleanup()
{
    for (xcb_window_t w : std::as_const(m_foreign))
        xcb_destroy_window(x11(), w);
    xcb_flush(x11());
    m_foreign.clear();
    delete m_server;
    m_server = nullptr;
}

void TestStartupProcess::writeSystemXml(const QByteArray &xml)
{
    QFile file(m_install->filePath("system.xml"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(xml);
}

// A window of another program, made straight on the X server so that it can
// carry any class; parent 0 makes it a top-level window.
xcb_window_t TestStartupProcess::createForeignWindow(const QByteArray &wmClass, const QByteArray &title,
                                                     xcb_window_t parent, bool mapped)
{
    xcb_connection_t *c = x11();
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, parent ? parent : screen->root, 10, 10, 120, 40, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    if (!wmClass.isEmpty())
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            wmClass.size(), wmClass.constData());
    if (!title.isEmpty())
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            title.size(), title.constData());
    if (mapped)
        xcb_map_window(c, w);
    xcb_flush(c);
    if (!parent)
        m_foreign.append(w);
    return w;
}

std::unique_ptr<QProcess> TestStartupProcess::startClient()
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(m_install->filePath("tarvex"));
    process->setWorkingDirectory(QDir::tempPath()); // the program must not rely on it
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start();
    process->waitForStarted();
    return process;
}

void TestStartupProcess::scriptSkin(const QString &prefix)
{
    m_server->setReply(prefix.toUtf8() + "alertsystem/notifytype.php",
                       ScriptedReply::xmlChildren(skinfixture::skinChildren()));
    const QList<std::pair<const char *, QColor>> pictures = {
        {"skins/1/close.png", Qt::red}, {"skins/1/menu.png", Qt::green}, {"skins/1/back.png", Qt::blue},
        {"skins/1/icon.png", Qt::yellow}, {"skins/1/page.png", Qt::cyan}};
    for (const auto &[path, colour] : pictures)
        m_server->setReply(prefix.toUtf8() + path, ScriptedReply::picture(skinfixture::png(colour), "image/png"));
}

void TestStartupProcess::lookupMatchesClassAndExactTitle()
{
    const QString title = QStringLiteral("Lookup Ä ✓ title");
    QVERIFY(IsOnlyInstance(title));
    QWidget ours;
    ours.setWindowTitle(title);
    ours.winId(); // created, never shown: still found
    QVERIFY(!IsOnlyInstance(title));
    QVERIFY(IsOnlyInstance(title.left(title.size() - 1)));
    QVERIFY(IsOnlyInstance(title.toLower()));
    QVERIFY(IsOnlyInstance(title + ' '));

    // Another program's window with the same title does not count...
    createForeignWindow(QByteArray("xterm\0XTerm\0", 12), "Foreign one");
    QVERIFY(IsOnlyInstance(QStringLiteral("Foreign one")));
    // ...but one of our class inside a window manager's frame does.
    const xcb_window_t frame = createForeignWindow({}, {});
    createForeignWindow(QByteArray("tarvex\0ThunderRT6FormDC\0", 24), "Framed", frame);
    QVERIFY(!IsOnlyInstance(QStringLiteral("Framed")));
    // So does one two frames down, and unmapped, as it sits hidden in the tray.
    const xcb_window_t inner = createForeignWindow({}, {}, createForeignWindow({}, {}));
    createForeignWindow(QByteArray("tarvex\0ThunderRT6FormDC\0", 24), "Deep", inner, false);
    QVERIFY(!IsOnlyInstance(QStringLiteral("Deep")));
}

void TestStartupProcess::startsUpAndHandsOverOnceAndBlocksASecondStart()
{
    const QString title = QStringLiteral("Tarvex Process Test");
    // A terminal that happens to carry the same title must not stop the client.
    createForeignWindow(QByteArray("xterm\0XTerm\0", 12), title.toUtf8());
    QVERIFY(IsOnlyInstance(title));

    // Any element names; a base ending in "/" keeps its "//"; the id is encoded.
    writeSystemXml("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<q>\n  <first>" + title.toUtf8()
                   + "</first>\n  <second>" + m_server->baseUrl().toUtf8() + "/</second>\n"
                   + "  <third>a&amp;b c</third>\n  <fourth>ignored</fourth>\n</q>\n");
    scriptSkin(QStringLiteral("//"));

    auto first = startClient();
    QVERIFY(m_server->waitForRequestCount(6));
    QCOMPARE(m_server->request(0).target, QByteArray("//alertsystem/notifytype.php?id=a%26b+c"));
    QByteArrayList pictures;
    for (int i = 1; i < 6; ++i)
        pictures << m_server->request(i).target;
    std::sort(pictures.begin(), pictures.end()); // their arrival order is the network's
    QCOMPARE(pictures, (QByteArrayList{"//skins/1/back.png", "//skins/1/close.png", "//skins/1/icon.png",
                                       "//skins/1/menu.png", "//skins/1/page.png"}));

    // The hand-over: a window of our class with the configured title appears,
    // and the loading window is gone.
    QTRY_VERIFY_WITH_TIMEOUT(!IsOnlyInstance(title), patient(10000));
    QTRY_VERIFY(IsOnlyInstance(QStringLiteral("Form3")));
    QCOMPARE(first->state(), QProcess::Running);
    QImageReader page(m_install->filePath("html/images/background.bmp"));
    QCOMPARE(page.format(), QByteArray("bmp"));
    QCOMPARE(page.read().pixelColor(0, 0), QColor(Qt::cyan));
    // The main window and its browser draw without OpenGL: no GL driver, and
    // none of the software rasteriser's LLVM, is loaded into the program.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(first->processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY2(!mapped.contains("libGLX_mesa") && !mapped.contains("libLLVM"), "a GL driver is loaded");

    // A second start finds the main window and ends at once, sending nothing
    // (only the first client's own requests, none of them for the skin).
    const int before = m_server->countFor("//alertsystem/notifytype.php");
    auto second = startClient();
    QTRY_COMPARE_WITH_TIMEOUT(second->state(), QProcess::NotRunning, patient(10000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(m_server->countFor("//alertsystem/notifytype.php"), before);

    first->terminate();
    QVERIFY(first->waitForFinished(patient(10000)));
}

void TestStartupProcess::endsSilentlyWithoutSending_data()
{
    QTest::addColumn<QByteArray>("xml"); // null: no system.xml at all
    QTest::addColumn<bool>("reachesServer");
    const QByteArray body = "<a><t>%1</t><b>%2</b><i>1</i></a>";
    QTest::newRow("no system.xml") << QByteArray() << false;
    QTest::newRow("malformed") << QByteArray("<?xml version=\"1.0\"?><a><t>x</t>") << false;
    QTest::newRow("no declaration: values empty") << body << false;
    QTest::newRow("comment before root: values empty")
        << QByteArray("<?xml version=\"1.0\"?><!-- note -->") + body << false;
    QTest::newRow("document type before root: values empty")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE a><a><t>Typed</t><b>%2</b><i>1</i></a>") << false;
    // Our own loading window carries that title, so it is found.
    QTest::newRow("title Form3") << QByteArray("<?xml version=\"1.0\"?>") + body << false;
}

void TestStartupProcess::endsSilentlyWithoutSending()
{
    QFETCH(QByteArray, xml);
    QFile::remove(m_install->filePath("system.xml"));
    if (!xml.isNull())
        writeSystemXml(QByteArray(xml).replace("%1", "Form3").replace("%2", m_server->baseUrl().toUtf8()));
    scriptSkin(QStringLiteral("/"));
    auto client = startClient();
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), QProcess::NotRunning, patient(10000));
    QCOMPARE(client->exitStatus(), QProcess::NormalExit);
    QCOMPARE(client->exitCode(), 0);
    QCOMPARE(m_server->requestCount(), 0);
}

void TestStartupProcess::failingPictureEndsTheProgram()
{
    writeSystemXml("<?xml version=\"1.0\"?><a><t>Tarvex Failing</t><b>" + m_server->baseUrl().toUtf8()
                   + "</b><i>2</i></a>");
    scriptSkin(QStringLiteral("/"));
    m_server->setReply("/skins/1/icon.png", ScriptedReply::html("<html><body>404</body></html>").withStatus(404));
    auto client = startClient();
    // The loop must run meanwhile: the server answering the client lives here.
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), QProcess::NotRunning, patient(10000));
    QCOMPARE(client->exitStatus(), QProcess::NormalExit);
    QCOMPARE(client->exitCode(), 0);
    QCOMPARE(m_server->request(0).target, QByteArray("/alertsystem/notifytype.php?id=2"));
    QVERIFY(IsOnlyInstance(QStringLiteral("Tarvex Failing")));
}

QTEST_MAIN(TestStartupProcess)
#include "tst_startupprocess.moc"
