// The tray icon under a real X server with a tray host: the icon, hiding into
// the tray, the double-click, and the blinking.
#include "SessionFixture.h"
#include "support/Patience.h"
#include "support/X11Windows.h"

#include <QLabel>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

using namespace sessiontest;
using client::Form1;
using testsupport::patient;
using Frame = client::TrayBlink::Frame;

class TestSessionTray : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void iconHideRestoreAndBlinking();
    void closeButtonAtTheTrayColumnStaysClosed();
    void topRightOfAPrimaryScreenAwayFromTheOrigin(); // changes the display's monitors: last
};

namespace {

QImage iconImage(const QIcon &icon)
{
    return icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
}

bool animating(Form1 &form)
{
    return form.findChild<QTimer *>("animateIcon")->isActive();
}

} // namespace

void TestSessionTray::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server with a tray host (run under scripts/xvfb-test.sh)");
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), patient(10000));
}

void TestSessionTray::iconHideRestoreAndBlinking()
{
    Session s;
    QVERIFY(s.create());
    s.desktop.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    Form1 &form = *s.form;
    form.Form_Load();
    form.show();
    QVERIFY(waitForLoginForm(form));
    QSystemTrayIcon *tray = form.trayIcon();
    QVERIFY(tray->isVisible());
    QCOMPARE(tray->toolTip(), QString("Vantorel alerts"));
    const QImage appIcon = iconImage(QIcon(testSkin({}).AppIcon));
    QCOMPARE(iconImage(tray->icon()), appIcon);
    QTRY_VERIFY(tray->geometry().isValid());

    // The close button hides the window into the tray.
    QTest::mouseClick(form.findChild<QLabel *>("Image4"), Qt::LeftButton);
    QTRY_VERIFY(form.isHidden());

    // A double-click on the tray icon, by the X server's own pointer.
    const QPoint centre = tray->geometry().center();
    QProcess xdotool;
    xdotool.start("xdotool", {"mousemove", QString::number(centre.x()), QString::number(centre.y()),
                              "click", "--repeat", "2", "--delay", "80", "1"});
    QVERIFY(xdotool.waitForFinished(patient(10000)));
    QTRY_VERIFY(form.isVisible());
    QVERIFY(!form.isMinimized());
    // Still there a while later, mapped on the X server.
    QTest::qWait(testsupport::patient(1000));
    QVERIFY(form.isVisible());
    QProcess xwininfo;
    xwininfo.start("xwininfo", {"-id", QString::number(form.winId())});
    QVERIFY(xwininfo.waitForFinished(patient(10000)));
    QVERIFY(xwininfo.readAll().contains("IsViewable"));

    // Blinking goes on for as long as the window is out of sight.
    QTest::mouseClick(form.findChild<QLabel *>("Image4"), Qt::LeftButton);
    QTRY_VERIFY(form.isHidden());
    form.StartIconAnimation();
    QSet<int> seen;
    QImage blinkPicture;
    QElapsedTimer elapsed;
    elapsed.start();
    const int blink = s.desktop.blinkMs;
    while (elapsed.elapsed() < 15 * blink) {
        QTest::qWait(patient(blink / 3));
        seen.insert(int(form.trayFrame()));
        if (form.trayFrame() == Frame::Image2)
            blinkPicture = iconImage(tray->icon());
    }
    QVERIFY(animating(form)); // past one cycle of ten frames and its check tick
    QVERIFY(seen.contains(int(Frame::Image1)) && seen.contains(int(Frame::Image2)));
    QVERIFY(blinkPicture != appIcon);

    // Shown again, it stops at the next check tick and the icon rests.
    form.showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(!animating(form), patient(12 * blink));
    QCOMPARE(form.trayFrame(), Frame::Rest);
    QCOMPARE(iconImage(tray->icon()), appIcon);

    // A double-click stops it at once, hidden or not.
    form.hide();
    form.StartIconAnimation();
    QTRY_COMPARE(form.trayFrame(), Frame::Image2);
    Q_EMIT tray->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(!animating(form));
    QVERIFY(form.isVisible());
    QCOMPARE(iconImage(tray->icon()), appIcon);

    // A mouse-up on the window at 7725 twips from its left edge acts the same.
    form.StartIconAnimation();
    QTRY_COMPARE(form.trayFrame(), Frame::Image2);
    QTest::mouseRelease(&form, Qt::LeftButton, {}, QPoint(514, 5));
    QVERIFY(animating(form));
    QTest::mouseRelease(&form, Qt::LeftButton, {}, QPoint(515, 5));
    QVERIFY(!animating(form));
    QCOMPARE(form.trayFrame(), Frame::Rest);

    // Minimising through the window system hides the window too.
    form.showMinimized();
    QTRY_VERIFY(form.isHidden());
}

void TestSessionTray::closeButtonAtTheTrayColumnStaysClosed()
{
    // The close button spans window column 515 px (7725 twips), where a
    // mouse-up of the window itself means the tray's double-click.
    Session s;
    s.editSkin = [](client::SkinValues &skin) {
        skin.WindowWidth = 560 * 15;
        skin.CloseButtonLeft = 505 * 15;
    };
    QVERIFY(s.create());
    s.desktop.trayAvailable = true;
    Form1 &form = *s.form;
    form.Form_Load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *close = form.findChild<QLabel *>("Image4");
    const QPoint at = close->mapToGlobal(QPoint(515 - 505, close->height() / 2));
    QCOMPARE(close->mapTo(&form, QPoint(515 - 505, 0)).x(), 515);

    // A click by the X server's pointer on the close button: the window goes
    // into the tray (the release used to bring it straight back).
    QVERIFY(testsupport::xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"}));
    QTRY_VERIFY(form.isHidden());
}

void TestSessionTray::topRightOfAPrimaryScreenAwayFromTheOrigin()
{
    // Two monitors side by side; the primary one is the right one, 100 px down.
    auto xrandr = [](const QString &args) {
        QProcess p;
        p.start("sh", {"-c", "xrandr " + args});
        return p.waitForFinished(patient(10000)) && p.exitCode() == 0;
    };
    QVERIFY(xrandr("--setmonitor left 640/170x1024/270+0+0 none"));
    QVERIFY(xrandr("--setmonitor '*right' 640/170x924/240+640+100 none"));
    const auto restore = qScopeGuard([&] { xrandr("--delmonitor right; xrandr --delmonitor left"); });
    const QRect primary(640, 100, 640, 924);
    QTRY_COMPARE(QGuiApplication::primaryScreen()->geometry(), primary);

    Session s;
    QVERIFY(s.create());
    Form1 &form = *s.form;
    form.Form_Load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // Where the X server has the window: the primary screen's top right corner.
    auto origin = [&form] {
        QProcess p;
        p.start("xwininfo", {"-id", QString::number(form.winId())});
        p.waitForFinished(patient(10000));
        const QString info = QString::fromLatin1(p.readAll());
        auto value = [&info](const char *key) {
            const qsizetype at = info.indexOf(QLatin1String(key));
            return at < 0 ? -1 : info.mid(at + qsizetype(strlen(key))).section(u'\n', 0, 0).trimmed().toInt();
        };
        return QPoint(value("Absolute upper-left X:"), value("Absolute upper-left Y:"));
    };
    QTRY_COMPARE(origin(), QPoint(primary.right() + 1 - form.width(), primary.top()));
}

QTEST_MAIN(TestSessionTray)
#include "tst_sessiontray.moc"
