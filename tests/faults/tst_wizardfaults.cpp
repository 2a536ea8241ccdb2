// The wizard's user list page against a server that misbehaves: every fault
// ends with the page idle again, its message shown once and the list as it
// was; a huge reply costs bounded memory.
#include "FaultFixture.h"
#include "support/Patience.h"

#include "wizard_users/UsersFixture.h"

using namespace faulttest;
using namespace usertest;

class TestWizardFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(f.start()); }
    void cleanup() { f.finish(); }
    void deleteFaultReturnsToIdleWithMessage_data();
    void deleteFaultReturnsToIdleWithMessage();
    void serverGoneAndBack();
    void hugeListReplyStaysBounded();

private:
    QList<QByteArray> threeUsers() const
    {
        return {user({"1", "a", "", "", "", "", "", "", ""}), user({"2", "b", "", "", "", "", "", "", ""}),
                user({"3", "c", "", "", "", "", "", "", ""})};
    }
    bool removeRowAndWait(int row, int requests, int withinMs)
    {
        f.list()->setCurrentItem(f.row(row));
        WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes);
        f.page->RemoveSelectedUser();
        return f.server->waitForRequestCount(requests)
            && QTest::qWaitFor([this] { return f.pageIdle(); }, testsupport::patient(withinMs));
    }

    Fixture f;
};

namespace {
const QString kConnectError = QStringLiteral("Please try again, error connecting to server.");
const QByteArray kDeletePath = "/alertsystem/admin/deleteuser.php";
} // namespace

void TestWizardFaults::deleteFaultReturnsToIdleWithMessage_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("withinMs");
    const ScriptedReply ok = statusReply("DELETEOK", "2");
    QTest::newRow("cut mid-body") << cutWhereItStillParses(ok) << 10000;
    QTest::newRow("reset after the head") << ok.as(ScriptedReply::Kind::ResetAfterHead) << 10000;
    QTest::newRow("deeply nested") << ScriptedReply::xml(deeplyNestedXml()) << 20000;
    QTest::newRow("one byte a second") << ok.as(ScriptedReply::Kind::Drip) << 10000;
}

void TestWizardFaults::deleteFaultReturnsToIdleWithMessage()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(int, withinMs);
    QVERIFY(f.openPage(listReply(threeUsers())));
    f.server->setReply(kDeletePath, reply);
    // A reply that drips in ends at the request deadline, here 3 s.
    f.context->timing().requestTimeoutMs = 3000;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(removeRowAndWait(1, 2, withinMs));
    QCOMPARE(f.lastMessage(), kConnectError);
    QCOMPARE(WizardMessageBox::shownTexts().count(kConnectError), 1);
    QCOMPARE(f.list()->topLevelItemCount(), 3);
    if (reply.kind == ScriptedReply::Kind::Drip)
        QVERIFY2(clock.elapsed() >= 2850, qPrintable(QString::number(clock.elapsed())));
}

void TestWizardFaults::serverGoneAndBack()
{
    QVERIFY(f.openPage(listReply(threeUsers())));
    const quint16 port = f.server->port();
    f.server->close();
    f.list()->setCurrentItem(f.row(0));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes);
    f.page->RemoveSelectedUser();
    QVERIFY(QTest::qWaitFor([this] { return WizardMessageBox::shownTexts().contains(kConnectError); }, testsupport::patient(10000)));
    QTRY_VERIFY(f.pageIdle());
    QCOMPARE(f.list()->topLevelItemCount(), 3);

    // Back on the same port: the same request goes through.
    QVERIFY(f.server->listen(port));
    f.server->setReply(kDeletePath, statusReply("DELETEOK", "1"));
    QVERIFY(removeRowAndWait(0, 2, 10000));
    QCOMPARE(f.list()->topLevelItemCount(), 2);
    QCOMPARE(f.row(0)->text(0), QString("b"));
}

void TestWizardFaults::hugeListReplyStaysBounded()
{
    // The server runs apart, so only the wizard's own memory is measured.
    FloodServer flood;
    QVERIFY(flood.start(50));
    kestrup::WizardSettings settings = kestrup::WizardSettings::defaults();
    settings.serverBase = flood.baseUrl();
    f.context = std::make_unique<kestrup::WizardContext>(settings, [] { return QDateTime::currentDateTime(); });
    f.context->state().AdminId = kAdminId;
    const qint64 peakBefore = procStatusKb(0, "VmHWM");
    f.page = new kestrup::frm_emailusers(*f.context);
    f.page->show();
    QVERIFY(QTest::qWaitFor([this] { return WizardMessageBox::shownTexts().contains(kConnectError); }, testsupport::patient(30000)));
    QTRY_VERIFY(f.pageIdle());
    QCOMPARE(f.list()->topLevelItemCount(), 0);
    const qint64 grown = procStatusKb(0, "VmHWM") - peakBefore;
    qInfo("wizard peak memory %lld kB, %+lld kB after the 50 MB reply", peakBefore, grown);
    QVERIFY2(grown < 40 * 1024, qPrintable(QStringLiteral("peak grew by %1 kB").arg(grown)));
}

QTEST_MAIN(TestWizardFaults)
#include "tst_wizardfaults.moc"
