// The main window against a scripted server, offscreen: automatic login,
// alert polling and what an alert does.
#include "SessionFixture.h"
#include "support/Patience.h"

#include "client/session/BrowserBox.h"

#include <QAction>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QtTest>

#include <algorithm>
#include <csignal>

using namespace sessiontest;
using testsupport::RecordedRequest;
using testsupport::ScriptedReply;
using client::Form1;
using testsupport::patient;

class TestForm1Polling : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { clearSettings(); }
    void realIntervalsAutoLoginRetryAndPollSpacing();
    void badRepliesStatus2AndLogoutKeepPollingRight();
    void refusedAutoLoginAndStatus2WithoutAutoLogin();
    void alertWithEveryPreferenceCombination();
    void killedRendererWhileLoginOrAlertPageLoads();
};

namespace {

QTimer *timer(Form1 &form, const char *name)
{
    return form.findChild<QTimer *>(QString::fromLatin1(name));
}

} // namespace

void TestForm1Polling::realIntervalsAutoLoginRetryAndPollSpacing()
{
    storeSettings({{"AUTOLOG", "1"}, {"USERNAME", "a b&c"}, {"PASSWORD", "p#1"}});
    Session s;
    // The program's own intervals: 2000 ms login retry and poll spacing.
    const client::SessionServices real;
    s.desktop.pollMs = real.pollMs;
    s.desktop.loginRetryMs = real.loginRetryMs;
    s.desktop.blinkMs = real.blinkMs;
    s.desktop.requestTimeoutMs = 1500;
    s.server.queueReply(kLoginPath, ScriptedReply::drop());
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    s.server.setReply(kAlertPagePath, ScriptedReply::html("<html><body>alerts</body></html>"));
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}).withDelay(400));
    QVERIFY(s.start());
    Form1 &form = *s.form;

    // The stored credentials go out at once; an unreadable reply is retried
    // after a pause, not in a tight loop.
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kLoginPath), 2, patient(8000));
    const QList<RecordedRequest> logins = s.server.requestsFor(kLoginPath);
    QCOMPARE(logins[0].target, QByteArray("/alertsystem/login.php?username=a+b%26c&password=p%231"));
    QCOMPARE(logins[1].target, logins[0].target);
    QVERIFY2(logins[1].arrivedMs - logins[0].arrivedMs >= 1900,
             qPrintable(QString::number(logins[1].arrivedMs - logins[0].arrivedMs)));
    QTRY_VERIFY(form.loggedIn());
    QVERIFY(form.entry(Form1::kLogout)->isVisible());
    QVERIFY(form.entry(Form1::kMyProfile)->isVisible());

    // One status request at a time, the next no sooner than 2000 ms after
    // the reply (how much later depends on the machine's load, not on the client).
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) >= 2, patient(8000));
    const QList<RecordedRequest> polls = s.server.requestsFor(kStatusPath);
    QCOMPARE(polls[0].query, QByteArray("username=a+b%26c"));
    for (int i = 1; i < polls.size(); ++i) {
        QVERIFY(polls[i - 1].answeredMs >= 0);
        const qint64 gap = polls[i].arrivedMs - polls[i - 1].answeredMs;
        QVERIFY2(gap >= 1995, qPrintable(QString::number(gap)));
    }
    QCOMPARE(timer(form, "alertcheck")->interval(), 2000);
}

void TestForm1Polling::badRepliesStatus2AndLogoutKeepPollingRight()
{
    storeSettings({{"AUTOLOG", "1"}, {"USERNAME", "a b&c"}, {"PASSWORD", "p#1"}});
    Session s;
    s.desktop.requestTimeoutMs = patient(1000);
    const int poll = s.desktop.pollMs;
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    s.server.setReply(kAlertPagePath, ScriptedReply::html("<html><body>alerts</body></html>"));
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
    QVERIFY(s.start());
    Form1 &form = *s.form;
    QTRY_VERIFY(form.loggedIn());
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) >= 2, patient(5000));

    // A reply that is not XML keeps the polling going, and so does a server
    // that never answers: the request ends at its deadline.
    s.server.queueReply(kStatusPath, ScriptedReply::text("oops"));
    const int before = s.server.countFor(kStatusPath);
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) >= before + 2, patient(5000));
    s.server.queueReply(kStatusPath, ScriptedReply::hang());
    const int beforeHang = s.server.countFor(kStatusPath);
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) >= beforeHang + 2, patient(5000));
    const QList<RecordedRequest> polls = s.server.requestsFor(kStatusPath);
    const qint64 afterHang = polls[beforeHang + 1].arrivedMs - polls[beforeHang].arrivedMs;
    // The request deadline is a coarse timer and may end up to 5 % early.
    QVERIFY2(afterHang >= patient(1000) * 95 / 100 + poll - 5, qPrintable(QString::number(afterHang)));

    // Status 2 with auto-login on: a new login, and no poll until it has
    // succeeded (its reply comes well before the request's deadline).
    s.server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"2"}));
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"1"}).withDelay(patient(600)));
    const int pollsBefore2 = s.server.countFor(kStatusPath);
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kLoginPath) == 2
                                 && s.server.requestsFor(kStatusPath).last().arrivedMs
                                     > s.server.requestsFor(kLoginPath).last().arrivedMs,
                             patient(5000));
    const RecordedRequest relogin = s.server.requestsFor(kLoginPath).last();
    const QList<RecordedRequest> around = s.server.requestsFor(kStatusPath).mid(pollsBefore2);
    QCOMPARE(around.size(), 2); // the poll answered 2, then the first one after the new login
    QVERIFY(relogin.arrivedMs >= around[0].answeredMs);
    QVERIFY(around[1].arrivedMs - relogin.answeredMs >= poll * 95 / 100);

    // Logout while a status request is out (the server holds it until its
    // deadline): its end is dropped and polling ends.
    s.server.setReply(kStatusPath, ScriptedReply::hang());
    const int pollsBeforeLogout = s.server.countFor(kStatusPath);
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) > pollsBeforeLogout, patient(5000));
    const int alertPages = s.server.countFor(kAlertPagePath);
    form.entry(Form1::kLogout)->trigger();
    QVERIFY(waitForLoginForm(form));
    QVERIFY(!form.loggedIn());
    QCOMPARE(form.preferences().AutoLog, 0);
    QCOMPARE(form.preferences().UserName, QString());
    QCOMPARE(form.preferences().Password, QString());
    QVERIFY(!form.entry(Form1::kLogout)->isVisible());
    QVERIFY(form.entry(Form1::kMyProfile)->isVisible());
    const int pollsAtLogout = s.server.countFor(kStatusPath);
    QTest::qWait(patient(1000 + 3 * poll));
    QCOMPARE(s.server.countFor(kStatusPath), pollsAtLogout);
    QCOMPARE(s.server.countFor(kAlertPagePath), alertPages);
    QVERIFY(form.isLoginPageShown());
    QCOMPARE(s.desktop.sounds, 0);
    QVERIFY(!timer(form, "alertcheck")->isActive());
}

void TestForm1Polling::refusedAutoLoginAndStatus2WithoutAutoLogin()
{
    storeSettings({{"AUTOLOG", "1"}, {"USERNAME", "ann"}, {"PASSWORD", "old"}});
    Session s;
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"0"}));
    s.server.setReply(kAlertPagePath, ScriptedReply::html("<html><body>alerts</body></html>"));
    QVERIFY(s.start());
    Form1 &form = *s.form;

    // Refused: auto-login off in memory, the login page with empty fields.
    QVERIFY(waitForLoginForm(form));
    QCOMPARE(form.preferences().AutoLog, 0);
    QTRY_COMPARE(evalJs(s.page(), "document.getElementById('username').value").toString(), QString());
    QCOMPARE(storedSettingsText().value("AUTOLOG"), QString("1"));
    QVERIFY(form.entry(Form1::kLogout)->isVisible() == false);

    // A manual login does not offer Logout. Status 2 comes while the alert
    // page still loads (its reply is held): a new navigation replaces one
    // under way, and the login page must still come back bound and cleared.
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    s.server.queueReply(kAlertPagePath, ScriptedReply::hang());
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
    typeAndLogIn(s.page(), "ann", "new", false);
    QTRY_VERIFY(form.loggedIn());
    QVERIFY(!form.entry(Form1::kLogout)->isVisible());
    QTRY_COMPARE(s.server.countFor(kAlertPagePath), 1);
    QVERIFY(form.browser()->IsBusy());
    QList<int> loginReports;
    connect(s.page(), &QWebEnginePage::loadingChanged, this, [&](const QWebEngineLoadingInfo &info) {
        if (info.url() == form.loginPageUrl())
            loginReports << int(info.status());
    });
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"2"}));
    QVERIFY(waitForLoginForm(form));
    // The engine took the login page in place of the alert page under way:
    // the login page's success is all it reported, with no start before it.
    QCOMPARE(loginReports, QList<int>{int(QWebEngineLoadingInfo::LoadSucceededStatus)});
    QVERIFY(!form.browser()->IsBusy());
    QVERIFY(!form.loggedIn());
    QCOMPARE(s.server.requestsFor(kAlertPagePath).last().answeredMs, -1);
    QCOMPARE(evalJs(s.page(), "document.getElementById('username').value").toString(), QString());
    const int polls = s.server.countFor(kStatusPath);
    QTest::qWait(patient(3 * s.desktop.pollMs));
    QCOMPARE(s.server.countFor(kStatusPath), polls);
    QCOMPARE(s.server.countFor(kLoginPath), 2);

    // Back from the alert page, the login page has its bridge again.
    evalJs(s.page(), "document.getElementById('register').click(); true");
    QTRY_COMPARE(s.desktop.opened, QStringList{"http://vendor.example/register"});

    form.close();
    QCOMPARE(storedSettingsText().value("AUTOLOG"), QString("0"));
    QCOMPARE(storedSettingsText().value("PASSWORD"), QString("new"));
}

void TestForm1Polling::alertWithEveryPreferenceCombination()
{
    storeSettings({{"AUTOLOG", "1"}, {"USERNAME", "zoe"}, {"PASSWORD", "pw"}});
    Session s;
    s.server.setReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
    s.server.setReply(kAlertPagePath, ScriptedReply::html("<html><body>alerts</body></html>"));
    QVERIFY(s.start());
    Form1 &form = *s.form;
    QTRY_VERIFY(form.loggedIn());
    const QPoint topRight(form.screen()->geometry().width() - form.width(), 0);

    const auto setFlag = [&](int id, bool on) {
        if (form.entry(id)->isChecked() != on)
            form.entry(id)->trigger();
    };
    QStringList loads; // the engine's reports, for a failure's message
    connect(s.page(), &QWebEnginePage::loadingChanged, this, [&](const QWebEngineLoadingInfo &info) {
        loads << QString("%1 %2 %3 %4").arg(s.server.elapsedMs()).arg(int(info.status())).arg(info.url().query()).arg(info.errorString());
    });
    for (int combo = 0; combo < 8; ++combo) {
        const bool alertMode = combo & 1, popupMode = combo & 2, audio = combo & 4;
        setFlag(Form1::kAlertMode, alertMode);
        setFlag(Form1::kPopUpMode, popupMode);
        setFlag(Form1::kAudioAlert, audio);
        QCOMPARE(form.preferences().AlertMode, alertMode ? 1 : 0);
        QCOMPARE(form.preferences().PopupMode, popupMode ? 1 : 0);
        QCOMPARE(form.preferences().AudioAlert, audio ? 1 : 0);

        // Out of sight and out of place, blinking stopped.
        form.Form_MouseUp(Qt::LeftButton, Form1::kTrayDoubleClickX, 0);
        form.move(10, 200);
        form.findChild<QLabel *>("Image4")->setFocus();
        QTest::mouseClick(form.findChild<QLabel *>("Image4"), Qt::LeftButton);
        QTRY_VERIFY(form.isHidden());

        const int sounds = s.desktop.sounds;
        const int pages = s.server.countFor(kAlertPagePath);
        s.desktop.now = s.desktop.now.addSecs(1);
        const int statusBefore = s.server.countFor(kStatusPath);
        s.server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"1"}));
        // The page is opened and then refreshed; the refresh of the previous
        // alert may still be arriving, even after this one's, so wait for a
        // request with this alert's stamp among those since.
        const QByteArray expected =
            "_vartime=" + s.desktop.now.toString("MMddyyyyHHmmss").toLatin1() + "&username=zoe";
        const auto stamped = [&] {
            const auto since = s.server.requestsFor(kAlertPagePath).mid(pages);
            return std::any_of(since.begin(), since.end(), [&](const auto &r) { return r.query == expected; });
        };
        const QString row = QString("alert %1 popup %2 audio %3").arg(alertMode).arg(popupMode).arg(audio);
        if (!QTest::qWaitFor(stamped, patient(6000))) {
            QStringList seen;
            for (const auto &r : s.server.requestsFor(kAlertPagePath).mid(pages))
                seen << QString::fromLatin1(r.query);
            QStringList polls;
            for (const auto &r : s.server.requestsFor(kStatusPath).mid(statusBefore))
                polls << QString("%1@%2-%3").arg(r.connection).arg(r.arrivedMs).arg(r.answeredMs);
            QFAIL(qPrintable(row + ": no " + expected + " among " + seen.join(", ") + "; polls since "
                             + polls.join(' ') + "; blinking " + QString::number(timer(form, "animateIcon")->isActive())
                             + "; now " + QString::number(s.server.elapsedMs()) + "; page " + s.page()->url().query()
                             + " loading " + QString::number(s.page()->isLoading()) + "; reports " + loads.join(" | ")));
        }
        QVERIFY2(form.pos() == topRight, qPrintable(row));
        QVERIFY2(form.isVisible() == popupMode, qPrintable(row));
        QVERIFY2(timer(form, "animateIcon")->isActive() == alertMode, qPrintable(row));
        QVERIFY2(s.desktop.sounds == sounds + (audio ? 1 : 0), qPrintable(row));
        QVERIFY2(!popupMode || !form.isMinimized(), qPrintable(row));
        // Polling goes on after an alert.
        const int polls = s.server.countFor(kStatusPath);
        QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kStatusPath) > polls, patient(5000));
    }
}

void TestForm1Polling::killedRendererWhileLoginOrAlertPageLoads()
{
    // The login page waits for a picture that the server holds (this page
    // alone may fetch it), so it is still loading when its renderer is killed.
    Session s;
    QVERIFY(s.server.listen());
    const QByteArray held = "/held.png";
    s.server.setReply(held, ScriptedReply::hang());
    QVERIFY(s.create(R"(<!DOCTYPE html><html><body>
        <input id="username"><input id="password" type="password"><input id="C1" type="checkbox">
        <button id="B1">Log in</button><a id="register" href="#">r</a><a id="getpassword" href="#">g</a>
        <img src=")" + s.server.baseUrl().toUtf8() + held + R"("></body></html>)"));
    s.page()->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    Form1 &form = *s.form;
    form.Form_Load();
    form.show();
    const auto killRenderer = [&] {
        const qint64 pid = s.page()->renderProcessPid();
        return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0 ? pid : qint64(0);
    };
    QTRY_VERIFY(s.server.countFor(held) > 0 && s.page()->renderProcessPid() > 0);
    QVERIFY(form.browser()->IsBusy());
    s.server.setReply(held, ScriptedReply::picture(QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAAAAAA6fptVAAAACklEQVR4nGNgAAAAAgABSK+kcQAAAABJRU5ErkJggg=="), "image/png"));
    const qint64 killed = killRenderer();
    QVERIFY(killed > 0);
    // Back well within the page stall bound: the renderer's end itself brings the page back.
    QVERIFY(waitForLoginForm(form));
    QVERIFY(s.page()->renderProcessPid() != killed);

    // The alert page, held in the same way, loses its renderer: it comes back.
    s.server.setReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"0"}));
    s.server.queueReply(kAlertPagePath, ScriptedReply::hang());
    s.server.setReply(kAlertPagePath, ScriptedReply::html("<html><body>alerts</body></html>"));
    typeAndLogIn(s.page(), "kim", "pw", false);
    QTRY_COMPARE(s.server.countFor(kAlertPagePath), 1);
    QTRY_VERIFY(s.page()->renderProcessPid() > 0);
    QVERIFY(killRenderer() > 0);
    QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kAlertPagePath) == 2 && !form.browser()->IsBusy()
                                 && evalJs(s.page(), "document.body ? document.body.innerText : ''").toString()
                                     == "alerts",
                             patient(20000));
    QVERIFY(form.loggedIn());
    QCOMPARE(s.server.requestsFor(kAlertPagePath).last().query, s.server.requestsFor(kAlertPagePath).first().query);
}

QTEST_MAIN(TestForm1Polling)
#include "tst_form1polling.moc"
