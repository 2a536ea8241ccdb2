// The main window against a scripted server, offscreen: start-up, settings,
// the login page bridge and login.
#include "SessionFixture.h"
#include "support/Patience.h"

#include "client/session/BrowserBox.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

using namespace sessiontest;
using testsupport::ScriptedReply;
using client::Form1;

class TestForm1Login : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { clearSettings(); }
    void firstStartLayoutDefaultsAndCloseSavesAllKeys();
    void storedPreferencesAndAlwaysTopmostAtStart();
    void loginSendsWhatWasTypedAndSucceeds();
    void refusedErrorUnreadableAndUnknownAnswers();
    void pageWithoutLoginButtonKeepsOtherBindings();
};

void TestForm1Login::firstStartLayoutDefaultsAndCloseSavesAllKeys()
{
    Session s;
    QVERIFY(s.start());
    Form1 &form = *s.form;
    QVERIFY(waitForLoginForm(form));

    // Layout from the skin (twips / 15).
    QCOMPARE(form.size(), QSize(320, 400));
    QCOMPARE(form.pos(), QPoint(form.screen()->geometry().width() - 320, 0));
    QCOMPARE(form.windowTitle(), QString("Vantorel Alerts"));
    QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(form.findChild<QWidget *>("Picture2")->geometry(), QRect(10, 80, 300, 300));
    QCOMPARE(form.findChild<QWidget *>("WebBrowser1")->geometry(), QRect(0, 0, 300, 300));
    QCOMPARE(form.findChild<QWidget *>("Picture3")->geometry(), QRect(260, 10, 20, 18));
    QCOMPARE(form.findChild<QWidget *>("Picture4")->geometry(), QRect(290, 10, 20, 20));
    QCOMPARE(form.findChild<QWidget *>("Label1")->geometry(), QRect(-6, -17, 238, 79));
    QCOMPARE(form.trayIcon()->toolTip(), QString("Vantorel alerts"));
    QVERIFY(form.trayIcon()->isVisible());

    // Defaults of a first start.
    const client::SessionPreferences &p = form.preferences();
    QCOMPARE(p.PopupMode, 1);
    QCOMPARE(p.AlertMode, 1);
    QCOMPARE(p.AudioAlert, 1);
    QCOMPARE(p.WindowOnTop, 1);
    QCOMPARE(p.Transparency, 100);
    QCOMPARE(p.AutoLog, 0);
    QVERIFY(!form.loggedIn());
    QVERIFY(form.findChild<QWidget *>("Picture2")->isEnabled());
    QCOMPARE(s.desktop.topmost, (QList<bool>{true, true}));

    // The menu: ids, captions, order, groups, check marks, visibility, icons.
    QMenu *menu = form.popupMenu();
    QStringList shape;
    for (QAction *a : menu->actions()) {
        if (a->isSeparator()) {
            shape << "--";
            continue;
        }
        QString entry = QString::number(a->data().toInt()) + " " + a->text();
        if (a->isCheckable())
            entry += a->isChecked() ? " [x]" : " [ ]";
        if (!a->isVisible())
            entry += " hidden";
        if (!a->icon().isNull())
            entry += " icon";
        shape << entry;
    }
    QCOMPARE(shape, (QStringList{"1002 My Profile hidden icon", "--", "1003 Visit Website icon",
                                 "1004 Contact Us icon", "--", "1005 PopUp Mode [x]", "1006 Alert Mode [x]",
                                 "1007 Audio Alert [x]", "1008 Make window on Top [x]", "--",
                                 "1009 About Us icon", "1010 Help icon", "--", "1011 Logout hidden", "--",
                                 "1012 Exit"}));

    // The close button minimises, which hides the window into the tray.
    QLabel *closeButton = form.findChild<QLabel *>("Image4");
    QTest::mouseClick(closeButton, Qt::LeftButton);
    QTRY_VERIFY(form.isHidden());

    // Without a tray the window minimises but stays reachable.
    s.desktop.trayAvailable = false;
    form.show();
    form.showNormal();
    QTRY_VERIFY(form.isVisible());
    QTest::mouseClick(closeButton, Qt::LeftButton);
    QTRY_VERIFY(form.isMinimized());
    QVERIFY(form.isVisible());
    form.showNormal();

    // Dragging: only with the left button held alone.
    QWidget *strip = form.findChild<QWidget *>("Label1");
    const QPoint start = form.pos();
    QTest::mousePress(strip, Qt::RightButton, {}, QPoint(50, 40));
    QMouseEvent rightMove(QEvent::MouseMove, QPointF(70, 50), strip->mapToGlobal(QPointF(70, 50)),
                          Qt::NoButton, Qt::RightButton, {});
    QApplication::sendEvent(strip, &rightMove);
    QCOMPARE(form.pos(), start);
    QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(50, 40));
    QMouseEvent leftMove(QEvent::MouseMove, QPointF(30, 45), strip->mapToGlobal(QPointF(30, 45)),
                         Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(strip, &leftMove);
    QCOMPARE(form.pos(), start + QPoint(-20, 5));
    QMouseEvent bothMove(QEvent::MouseMove, QPointF(90, 90), strip->mapToGlobal(QPointF(90, 90)),
                         Qt::NoButton, Qt::LeftButton | Qt::RightButton, {});
    QApplication::sendEvent(strip, &bothMove);
    QCOMPARE(form.pos(), start + QPoint(-20, 5));

    // Closing saves all eight keys as text, the password in clear.
    form.close();
    const QHash<QString, QString> stored = storedSettingsText();
    QCOMPARE(stored.size(), 8);
    QCOMPARE(stored.value("POPUPMODE"), QString("1"));
    QCOMPARE(stored.value("ALERTMODE"), QString("1"));
    QCOMPARE(stored.value("AUDIOALERT"), QString("1"));
    QCOMPARE(stored.value("WINDOWONTOP"), QString("1"));
    QCOMPARE(stored.value("TRANSPARENCY"), QString("100"));
    QCOMPARE(stored.value("AUTOLOG"), QString("0"));
    QCOMPARE(stored.value("USERNAME"), QString());
    QCOMPARE(stored.value("PASSWORD"), QString());
}

void TestForm1Login::storedPreferencesAndAlwaysTopmostAtStart()
{
    storeSettings({{"POPUPMODE", "0"}, {"ALERTMODE", "0"}, {"AUDIOALERT", "abc"}, {"WINDOWONTOP", "0"},
                   {"TRANSPARENCY", "55"}, {"AUTOLOG", "0"}, {"USERNAME", "kept"}, {"PASSWORD", "secret"}});
    Session s;
    QVERIFY(s.start());
    Form1 &form = *s.form;
    QVERIFY(waitForLoginForm(form));
    QCOMPARE(form.preferences().PopupMode, 1);
    QCOMPARE(form.preferences().AlertMode, 0);
    QCOMPARE(form.preferences().AudioAlert, 0);
    QCOMPARE(form.preferences().WindowOnTop, 0);
    QVERIFY(!form.entry(Form1::kWindowOnTop)->isChecked());
    QVERIFY(form.entry(Form1::kPopUpMode)->isChecked());
    QVERIFY(!form.entry(Form1::kAlertMode)->isChecked());
    // The menu takes the window out of the top band, the start-up puts it back.
    QCOMPARE(s.desktop.topmost, (QList<bool>{false, true}));

    // The on-top entry applies at once; toggles change the flags.
    form.entry(Form1::kWindowOnTop)->trigger();
    QCOMPARE(s.desktop.topmost.last(), true);
    QCOMPARE(form.preferences().WindowOnTop, 1);
    form.entry(Form1::kWindowOnTop)->trigger();
    QCOMPARE(s.desktop.topmost.last(), false);
    form.entry(Form1::kPopUpMode)->trigger();
    form.entry(Form1::kAudioAlert)->trigger();
    QCOMPARE(form.preferences().PopupMode, 0);
    QCOMPARE(form.preferences().AudioAlert, 1);

    // Links open through the desktop; the fields on the page start empty.
    form.entry(Form1::kVisitWebsite)->trigger();
    form.entry(Form1::kContactUs)->trigger();
    form.entry(Form1::kAboutUs)->trigger();
    form.entry(Form1::kHelp)->trigger();
    QCOMPARE(s.desktop.opened, (QStringList{"http://vendor.example/", "mailto:help@vendor.example",
                                            "http://vendor.example/about", "http://vendor.example/help"}));
    QCOMPARE(evalJs(s.page(), "document.getElementById('username').value + '|' + "
                              "document.getElementById('password').value").toString(), QString("|"));

    // Exit closes the window and saves; the opacity is written back untouched.
    form.entry(Form1::kExit)->trigger();
    QVERIFY(form.isClosing());
    const QHash<QString, QString> stored = storedSettingsText();
    QCOMPARE(stored.value("POPUPMODE"), QString("0"));
    QCOMPARE(stored.value("AUDIOALERT"), QString("1"));
    QCOMPARE(stored.value("WINDOWONTOP"), QString("0"));
    QCOMPARE(stored.value("TRANSPARENCY"), QString("55"));
    QCOMPARE(stored.value("USERNAME"), QString("kept"));
    QCOMPARE(stored.value("PASSWORD"), QString("secret"));
}

void TestForm1Login::loginSendsWhatWasTypedAndSucceeds()
{
    Session s;
    s.server.setReply(kLoginPath, ScriptedReply::xmlChildren({"1"}).withDelay(600));
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
    s.server.setReply(kAlertPagePath, ScriptedReply::html("<html><body>alerts</body></html>"));
    QVERIFY(s.start());
    Form1 &form = *s.form;
    QVERIFY(waitForLoginForm(form));

    const QString user = QString::fromUtf8("Zoë & Co=1 #2");
    const QString password = QString::fromUtf8("p&w=d #ü");
    typeAndLogIn(s.page(), user, password, false);
    QVERIFY(s.server.waitForRequestCount(1));
    // While the request is out the page takes no input.
    QVERIFY(!form.findChild<QWidget *>("Picture2")->isEnabled());
    const testsupport::RecordedRequest login = s.server.request(0);
    QCOMPARE(login.method, QByteArray("GET"));
    QCOMPARE(login.target, QByteArray("/alertsystem/login.php?username=Zo%C3%AB+%26+Co%3D1+%232"
                                      "&password=p%26w%3Dd+%23%C3%BC"));

    // Success: logged in, "AUTOLOG" stored as 1 at once although C1 was unchecked.
    QTRY_VERIFY(form.loggedIn());
    QVERIFY(form.findChild<QWidget *>("Picture2")->isEnabled());
    QCOMPARE(form.preferences().AutoLog, 0);
    QCOMPARE(storedSettingsText().value("AUTOLOG"), QString("1"));
    QVERIFY(form.entry(Form1::kMyProfile)->isVisible());
    QVERIFY(!form.entry(Form1::kLogout)->isVisible());
    QTRY_COMPARE(s.server.countFor(kAlertPagePath), 1);
    QCOMPARE(s.server.requestsFor(kAlertPagePath).first().query,
             QByteArray("_vartime=12072026043325&username=Zo%C3%AB+%26+Co%3D1+%232"));
    QTRY_VERIFY(!form.isLoginPageShown());

    // The first poll follows one poll interval later, with the same user name
    // (more may have followed while the alert page loaded).
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) >= 1, testsupport::patient(5000));
    const testsupport::RecordedRequest poll = s.server.requestsFor(kStatusPath).first();
    QCOMPARE(poll.query, QByteArray("username=Zo%C3%AB+%26+Co%3D1+%232"));
    QVERIFY(poll.arrivedMs - login.answeredMs >= s.desktop.pollMs * 95 / 100);

    // The alert page never gets the bridge: its own scripts see no channel.
    QCOMPARE(evalJs(s.page(), "typeof qt").toString(), QString("undefined"));
    QCOMPARE(evalJs(s.page(), "typeof qt", client::BrowserBox::kProgramWorld).toString(),
             QString("undefined"));

    // "My Profile" opens the profile with the encoded user name.
    form.entry(Form1::kMyProfile)->trigger();
    QCOMPARE(s.desktop.opened.last(),
             QString("http://vendor.example/profile.php?id=Zo%C3%AB+%26+Co%3D1+%232"));

    // Closing writes the in-memory auto-login flag over the 1 written at login.
    form.close();
    QCOMPARE(storedSettingsText().value("AUTOLOG"), QString("0"));
    // Stored in clear (the file quotes it because of the "#").
    QVERIFY(storedSettingsText().value("PASSWORD").contains(password));
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Tarvex Vantorel");
    QCOMPARE(store.value("Settings/PASSWORD").toString(), password);
    QCOMPARE(store.value("Settings/USERNAME").toString(), user);
}

void TestForm1Login::refusedErrorUnreadableAndUnknownAnswers()
{
    Session s;
    QVERIFY(s.start());
    Form1 &form = *s.form;
    QVERIFY(waitForLoginForm(form));
    QWidget *box = form.findChild<QWidget *>("Picture2");
    const auto fieldText = [&] {
        return evalJs(s.page(), "document.getElementById('username').value").toString();
    };

    // "ERROR": the box is enabled again, the page and the typed text stay.
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"ERROR"}));
    typeAndLogIn(s.page(), "ann", "pw", true);
    QTRY_COMPARE(s.server.countFor(kLoginPath), 1);
    QTRY_VERIFY(box->isEnabled());
    QCOMPARE(form.preferences().AutoLog, 0);
    QCOMPARE(fieldText(), QString("ann"));
    QVERIFY(!form.loggedIn());

    // "0": a fresh login page with empty fields, auto-login off.
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"0"}));
    typeAndLogIn(s.page(), "bob", "pw", true);
    QTRY_COMPARE(s.server.countFor(kLoginPath), 2);
    QTRY_COMPARE(form.preferences().AutoLog, 0);
    QVERIFY(waitForLoginForm(form));
    QTRY_COMPARE(fieldText(), QString());
    QVERIFY(box->isEnabled());

    // Not XML, auto-login off: the login page again, at once.
    s.server.queueReply(kLoginPath, ScriptedReply::html("<html>busy</html>").withStatus(503));
    typeAndLogIn(s.page(), "cid", "pw", false);
    QTRY_COMPARE(s.server.countFor(kLoginPath), 3);
    QVERIFY(waitForLoginForm(form));
    QTRY_COMPARE(fieldText(), QString());
    QVERIFY(box->isEnabled());

    // An answer the client does not know: the user gets the form back.
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"MAYBE"}));
    typeAndLogIn(s.page(), "dan", "pw", false);
    QTRY_COMPARE(s.server.countFor(kLoginPath), 4);
    QVERIFY(waitForLoginForm(form));
    QTRY_COMPARE(fieldText(), QString());
    QVERIFY(box->isEnabled());
    QVERIFY(!form.loggedIn());
    QCOMPARE(s.server.countFor(kStatusPath), 0);
    QCOMPARE(s.server.requestCount(), 4);

    // The account links of the page open through the desktop with nothing sent.
    evalJs(s.page(), "document.getElementById('register').click(); "
                     "document.getElementById('getpassword').click(); true");
    QTRY_COMPARE(s.desktop.opened, (QStringList{"http://vendor.example/register",
                                                "http://vendor.example/password"}));
    QCOMPARE(s.server.requestCount(), 4);
}

void TestForm1Login::pageWithoutLoginButtonKeepsOtherBindings()
{
    // The page's own script tries to reach the program and to call the bridge.
    Session s;
    QVERIFY(s.start(R"(<!DOCTYPE html><html><body>
        <input id="username" value="typed"><input id="password" type="password" value="pw">
        <input id="C1" type="checkbox"><a id="register" href="#">r</a><a id="getpassword" href="#">g</a>
        <script>document.title = (typeof qt === 'undefined') ? 'no channel' : 'channel';</script>
        </body></html>)"));
    Form1 &form = *s.form;
    QVERIFY(waitForLoginForm(form));
    QCOMPARE(s.page()->title(), QString("no channel"));
    QTRY_COMPARE(evalJs(s.page(), "document.getElementById('username').value + "
                                  "document.getElementById('password').value").toString(), QString());
    evalJs(s.page(), "document.getElementById('getpassword').click(); true");
    QTRY_COMPARE(s.desktop.opened, QStringList{"http://vendor.example/password"});
    evalJs(s.page(), "document.getElementById('register').click(); true");
    QTRY_COMPARE(s.desktop.opened.size(), 2);
    QCOMPARE(s.desktop.opened.last(), QString("http://vendor.example/register"));
    QCOMPARE(s.server.requestCount(), 0);
}

QTEST_MAIN(TestForm1Login)
#include "tst_form1login.moc"
