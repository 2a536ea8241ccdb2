// The main window against a scripted server, offscreen: automatic login,
// alert polling and what an alert does.
#include "SessionFixture.h"
#include "support/Patience.h"

#include <QAction>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QWebEnginePage>
#include <QtTest>

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

    // One status request at a time, the next 2000 ms after the reply.
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kStatusPath), 2, patient(8000));
    const QList<RecordedRequest> polls = s.server.requestsFor(kStatusPath);
    QCOMPARE(polls[0].query, QByteArray("username=a+b%26c"));
    for (int i = 1; i < polls.size(); ++i) {
        QVERIFY(polls[i - 1].answeredMs >= 0);
        const qint64 gap = polls[i].arrivedMs - polls[i - 1].answeredMs;
        QVERIFY2(gap >= 1995 && gap < 2000 + patient(1000), qPrintable(QString::number(gap)));
    }
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
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kStatusPath), before + 2, patient(5000));
    s.server.queueReply(kStatusPath, ScriptedReply::hang());
    const int beforeHang = s.server.countFor(kStatusPath);
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kStatusPath), beforeHang + 2, patient(5000));
    const QList<RecordedRequest> polls = s.server.requestsFor(kStatusPath);
    const qint64 afterHang = polls[beforeHang + 1].arrivedMs - polls[beforeHang].arrivedMs;
    // The request deadline is a coarse timer and may end up to 5 % early.
    QVERIFY2(afterHang >= patient(1000) * 95 / 100 + poll - 5, qPrintable(QString::number(afterHang)));

    // Status 2 with auto-login on: a new login at once, no poll until it
    // succeeds (the reply comes well before the request's deadline).
    s.server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"2"}));
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"1"}).withDelay(patient(600)));
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kLoginPath), 2, patient(5000));
    const int pollsAtRelogin = s.server.countFor(kStatusPath);
    const RecordedRequest relogin = s.server.requestsFor(kLoginPath).last();
    const RecordedRequest loggedOutPoll = s.server.requestsFor(kStatusPath).last();
    QVERIFY(relogin.arrivedMs - loggedOutPoll.answeredMs < patient(1000));
    QTest::qWait(patient(poll));
    QCOMPARE(s.server.countFor(kStatusPath), pollsAtRelogin);
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kStatusPath), pollsAtRelogin + 1, patient(5000));

    // Logout while a status request is out: the reply is dropped and polling ends.
    s.server.setReply(kStatusPath, ScriptedReply::xmlChildren({"1"}).withDelay(patient(500)));
    const int pollsBeforeLogout = s.server.countFor(kStatusPath);
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kStatusPath), pollsBeforeLogout + 1, patient(5000));
    const int alertPages = s.server.countFor(kAlertPagePath);
    form.entry(Form1::kLogout)->trigger();
    QVERIFY(waitForLoginForm(form));
    QVERIFY(!form.loggedIn());
    QCOMPARE(form.preferences().AutoLog, 0);
    QCOMPARE(form.preferences().UserName, QString());
    QCOMPARE(form.preferences().Password, QString());
    QVERIFY(!form.entry(Form1::kLogout)->isVisible());
    QVERIFY(form.entry(Form1::kMyProfile)->isVisible());
    QTRY_VERIFY(s.server.requestsFor(kStatusPath).last().answeredMs >= 0);
    QTest::qWait(patient(3 * poll));
    QCOMPARE(s.server.countFor(kStatusPath), pollsBeforeLogout + 1);
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

    // A manual login does not offer Logout; status 2 then shows the page and stops polling.
    s.server.queueReply(kLoginPath, ScriptedReply::xmlChildren({"1"}));
    s.server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"2"}));
    typeAndLogIn(s.page(), "ann", "new", false);
    QTRY_VERIFY(form.loggedIn());
    QVERIFY(!form.entry(Form1::kLogout)->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(s.server.countFor(kStatusPath), 1, patient(5000));
    QVERIFY(waitForLoginForm(form));
    QVERIFY(!form.loggedIn());
    QTest::qWait(patient(3 * s.desktop.pollMs));
    QCOMPARE(s.server.countFor(kStatusPath), 1);
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
        s.server.queueReply(kStatusPath, ScriptedReply::xmlChildren({"1"}));
        // The page is opened and then refreshed; the refresh of the previous
        // alert may still be arriving, so wait for a request with this alert's stamp.
        const QByteArray expected =
            "_vartime=" + s.desktop.now.toString("MMddyyyyHHmmss").toLatin1() + "&username=zoe";
        QTRY_VERIFY_WITH_TIMEOUT(s.server.countFor(kAlertPagePath) > pages
                                     && s.server.requestsFor(kAlertPagePath).last().query == expected,
                                 patient(6000));
        const QString row = QString("alert %1 popup %2 audio %3").arg(alertMode).arg(popupMode).arg(audio);
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

QTEST_MAIN(TestForm1Polling)
#include "tst_form1polling.moc"
