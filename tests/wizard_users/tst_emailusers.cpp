#include "UsersFixture.h"
#include "support/Patience.h"

#include "wizard/frame/PageNavigator.h"
#include "wizard/frame/WizardPage.h"
#include "wizard/users/frm_adduser.h"

#include <QHeaderView>
#include <QLabel>
#include <QToolButton>

using namespace usertest;
using kestrup::WizardMessageBox;
using testsupport::ScriptedReply;

namespace {

QList<QByteArray> threeUsers()
{
    return {
        user({"12", "ann", "Smith", "Ann", "555-1", "ann@x.com", "555-9", domainOf("Verizon"), "pw1"}),
        user({"3", "bob", "Jones", "Bob", "555-2", "bob@y.org", "", "@carrier.example", "pw2"}),
        user({"40", "cy", "Lee", "Cy", "555-3", "", "", domainOf("T-Mobile"), "pw3"}),
    };
}

} // namespace

class TestEmailUsers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void pageShowsItsTextsButtonsAndColumns();
    void listReplyAppendsRowsInOrder();
    void busyWhileListingWithActionButtonsStillUsable();
    void listsWithoutUsersOrWithBrokenElementsEndIdle();
    void unreadableReplyShowsMessageAndKeepsList_data();
    void unreadableReplyShowsMessageAndKeepsList();
    void deleteRemovesLastRowWithRepliedId();
    void deleteNeedsSelectionAndYes();
    void deleteReplyMatchingNoRowRemovesNothing();
    void statusWordDecidesNotTheRequestSent();
    void emailSendsTickedRowsInOrder();
    void emailWithoutSelectionOrTicks();
    void backNextAndCancel();
    void enterPressesTheFocusedButton();
    void closingWithRequestOutAbandonsIt();

private:
    // The page opened by the navigator, with the wizard's other pages to move to.
    kestrup::WizardPage *openAmongThePages()
    {
        kestrup::registerFramePages(f.context->navigator());
        f.context->navigator().registerPage(kestrup::Page::EmailUsers,
                                            [](kestrup::WizardContext &c) -> kestrup::WizardPage * {
                                                return new kestrup::frm_emailusers(c);
                                            });
        f.server->setReply("/alertsystem/admin/getusers.php", listReply(threeUsers()));
        return f.context->navigator().open(kestrup::Page::EmailUsers);
    }

    Fixture f;
};

void TestEmailUsers::init()
{
    QVERIFY(f.start());
}

void TestEmailUsers::cleanup()
{
    f.finish();
}

void TestEmailUsers::pageShowsItsTextsButtonsAndColumns()
{
    QVERIFY(f.openPage(listReply(threeUsers())));
    kestrup::frm_emailusers *page = f.page;
    QCOMPARE(page->windowTitle(), QString("Vantorel Software Administrative Setup"));
    QCOMPARE(page->findChild<QLabel *>("lblTitle")->text(), QString("Vantorel Software Create User Account"));
    QCOMPARE(page->findChild<QLabel *>("lblCheckOn")->text(),
             QString("Check on the checkbox to send user download link information."));

    const QStringList names{"cmdCommand1", "cmdEmail", "Command1", "cmdEdit"};
    const QStringList captions{"&Add", "&Email", "&Remove", "&Edit"};
    int lastX = -1;
    for (int i = 0; i < names.size(); ++i) {
        auto *button = page->findChild<QToolButton *>(names[i]);
        QVERIFY2(button, qPrintable(names[i]));
        QCOMPARE(button->text(), captions[i]);
        QCOMPARE(button->size(), QSize(50, 37));
        QVERIFY(!button->icon().isNull());
        QVERIFY(button->x() > lastX); // one row, left to right
        lastX = button->x();
    }

    QTreeWidget *list = f.list();
    QCOMPARE(list->columnCount(), 8);
    const QStringList headers{"Username", "Firstname", "Lastname", "Email", "Tel. #",
                              "Wireless Phone #", "Service Provider", "password"};
    for (int c = 0; c < 8; ++c) {
        QCOMPARE(list->headerItem()->text(c), headers[c]);
        QCOMPARE(list->columnWidth(c), c == 7 ? 0 : 96);
    }
    QCOMPARE(page->cmdBack()->text(), QString("<&Back"));
    QCOMPARE(page->cmdNext()->text(), QString("&Next>"));
    QVERIFY(page->cmdNext()->isDefault());
}

void TestEmailUsers::listReplyAppendsRowsInOrder()
{
    QVERIFY(f.openPage(listReply(threeUsers())));
    const testsupport::RecordedRequest &r = f.server->request(0);
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.target, "/alertsystem/admin/getusers.php?vartime=" + kStamp + "&mrgID=17");
    QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(r.body, QByteArray());

    QTreeWidget *list = f.list();
    QCOMPARE(list->topLevelItemCount(), 3);
    const QStringList expect[] = {
        {"ann", "Ann", "Smith", "ann@x.com", "555-1", "555-9", "Verizon", "pw1"},
        {"bob", "Bob", "Jones", "bob@y.org", "555-2", "", "", "pw2"}, // domain outside the table
        {"cy", "Cy", "Lee", "", "555-3", "", "T-Mobile", "pw3"},
    };
    const int ids[] = {12, 3, 40};
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem *item = f.row(i);
        for (int c = 0; c < 8; ++c)
            QCOMPARE(item->text(c), expect[i][c]);
        QCOMPARE(item->data(0, Qt::UserRole).toInt(), ids[i]);
        QCOMPARE(item->checkState(0), Qt::Unchecked);
        QVERIFY(item->flags() & Qt::ItemIsUserCheckable);
    }
    // The password never shows, and the column cannot be dragged open.
    QCOMPARE(list->columnWidth(7), 0);
    QCOMPARE(list->header()->sectionResizeMode(7), QHeaderView::Fixed);
    QVERIFY(!list->header()->stretchLastSection());
    QVERIFY(f.pageIdle());
    QVERIFY(WizardMessageBox::shown().isEmpty());
}

void TestEmailUsers::busyWhileListingWithActionButtonsStillUsable()
{
    f.server->setReply("/alertsystem/admin/getusers.php", listReply(threeUsers()).withDelay(600));
    f.page = new kestrup::frm_emailusers(*f.context);
    f.page->show();
    QVERIFY(f.server->waitForRequestCount(1));
    kestrup::frm_emailusers *page = f.page;
    QVERIFY(page->cycle()->isBusy());
    QVERIFY(page->cycle()->panel()->Frame2()->isVisible());
    QCOMPARE(page->cycle()->panel()->lblPleaseWait()->text(),
             QString("Please wait, wizard is connecting to Vantorel Software Server to get your user accounts"));
    QVERIFY(!f.list()->isEnabled());
    QVERIFY(!page->cmdBack()->isEnabled());
    QVERIFY(!page->cmdNext()->isEnabled());
    QVERIFY(!page->cmdCancel()->isEnabled());
    for (const char *name : {"cmdCommand1", "cmdEmail", "Command1", "cmdEdit"})
        QVERIFY2(page->findChild<QToolButton *>(name)->isEnabled(), name);
    QTRY_VERIFY_WITH_TIMEOUT(f.pageIdle(), testsupport::patient(10000));
    QCOMPARE(f.list()->topLevelItemCount(), 3);
}

void TestEmailUsers::listsWithoutUsersOrWithBrokenElementsEndIdle()
{
    // An administrator without users.
    QVERIFY(f.openPage(ScriptedReply::xml("<?xml version=\"1.0\"?><users></users>")));
    QCOMPARE(f.list()->topLevelItemCount(), 0);
    QVERIFY(f.pageIdle());
    QVERIFY(WizardMessageBox::shown().isEmpty());
    f.finish();

    // Elements with fewer than nine children are skipped; the rest show.
    QVERIFY(f.start());
    QVERIFY(f.openPage(listReply({user({"1", "a", "", "", "", "", "", "", ""}),
                                  user({"2", "short", "", "", ""}),
                                  user({"3", "c", "", "", "", "", "", "", ""})})));
    QCOMPARE(f.list()->topLevelItemCount(), 2);
    QCOMPARE(f.row(0)->text(0), QString("a"));
    QCOMPARE(f.row(1)->text(0), QString("c"));
    QVERIFY(f.pageIdle());
}

void TestEmailUsers::unreadableReplyShowsMessageAndKeepsList_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("html error page") << 0;
    QTest::newRow("empty body") << 1;
    QTest::newRow("connection dropped") << 2;
}

void TestEmailUsers::unreadableReplyShowsMessageAndKeepsList()
{
    QFETCH(int, kind);
    QVERIFY(f.openPage(listReply(threeUsers())));
    const ScriptedReply broken[] = {
        ScriptedReply::html("<html><body><h1>500 Internal Server Error</h1><br></body></html>").withStatus(500),
        ScriptedReply::text(""),
        ScriptedReply::drop(),
    };
    f.server->setReply("/alertsystem/admin/deleteuser.php", broken[kind]);
    f.list()->setCurrentItem(f.row(1));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes);
    f.page->RemoveSelectedUser();
    QVERIFY(f.waitIdleAfter(2));
    QCOMPARE(f.lastMessage(), QString("Please try again, error connecting to server."));
    QCOMPARE(WizardMessageBox::shown().last().title, QString());
    QCOMPARE(WizardMessageBox::shown().last().icon, QMessageBox::Information);
    QCOMPARE(f.list()->topLevelItemCount(), 3);
}

void TestEmailUsers::deleteRemovesLastRowWithRepliedId()
{
    QVERIFY(f.openPage(listReply({
        user({"12", "first12", "", "", "", "", "", "", ""}),
        user({"5", "five", "", "", "", "", "", "", ""}),
        user({"12", "second12", "", "", "", "", "", "", ""}),
        user({"7", "seven", "", "", "", "", "", "", ""}),
    })));
    f.server->setReply("/alertsystem/admin/deleteuser.php", statusReply("DELETEOK", "012"));
    // The selection only decides what is asked for; the reply's id decides
    // which row goes (the later of the two with id 12).
    f.list()->setCurrentItem(f.row(0));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes);
    f.page->findChild<QToolButton *>("Command1")->click();

    const WizardMessageBox::Shown asked = WizardMessageBox::shown().value(0);
    QCOMPARE(asked.text, QString("Delete Selected account?"));
    QCOMPARE(asked.title, QString("Vantorel Software Administrative S"));
    QCOMPARE(asked.icon, QMessageBox::Information);
    QCOMPARE(asked.buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(f.page->cycle()->isBusy());
    QCOMPARE(f.page->cycle()->panel()->lblPleaseWait()->text(),
             QString("Please wait, wizard is connecting to Vantorel Software Server to delete selected user account"));

    QVERIFY(f.waitIdleAfter(2));
    const testsupport::RecordedRequest &r = f.server->request(1);
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.target, "/alertsystem/admin/deleteuser.php?vartime=" + kStamp + "&id=12");
    QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QStringList left;
    for (int i = 0; i < f.list()->topLevelItemCount(); ++i)
        left << f.row(i)->text(0);
    QCOMPARE(left, QStringList({"first12", "five", "seven"}));
    QCOMPARE(WizardMessageBox::shown().size(), 1); // no message after the delete
}

void TestEmailUsers::deleteNeedsSelectionAndYes()
{
    QVERIFY(f.openPage(listReply(threeUsers())));
    f.page->RemoveSelectedUser();
    QCOMPARE(f.lastMessage(), QString("Please select user to delete."));

    f.list()->setCurrentItem(f.row(2));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::No);
    f.page->RemoveSelectedUser();
    QCOMPARE(f.lastMessage(), QString("Delete Selected account?"));
    QVERIFY(f.pageIdle());
    QTest::qWait(testsupport::patient(300));
    QCOMPARE(f.server->requestCount(), 1);
    QCOMPARE(f.list()->topLevelItemCount(), 3);
}

void TestEmailUsers::deleteReplyMatchingNoRowRemovesNothing()
{
    QVERIFY(f.openPage(listReply(threeUsers())));
    f.server->setReply("/alertsystem/admin/deleteuser.php", statusReply("DELETEOK", "99"));
    f.list()->setCurrentItem(f.row(0));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes);
    f.page->RemoveSelectedUser();
    QVERIFY(f.waitIdleAfter(2));
    QCOMPARE(f.list()->topLevelItemCount(), 3);
    QCOMPARE(WizardMessageBox::shown().size(), 1);
}

void TestEmailUsers::statusWordDecidesNotTheRequestSent()
{
    // The list request answered with "MSGSEND" is an e-mail completion.
    QVERIFY(f.openPage(statusReply("MSGSEND", "3")));
    QCOMPARE(f.lastMessage(), QString("Email sent to 3 selected users"));
    QCOMPARE(f.list()->topLevelItemCount(), 0);
    QVERIFY(f.pageIdle());
    f.finish();

    // A lower-case status word is no status word: the reply reads as a list,
    // whose two text-only children are no users.
    QVERIFY(f.start());
    QVERIFY(f.openPage(statusReply("deleteok", "3")));
    QVERIFY(WizardMessageBox::shown().isEmpty());
    QCOMPARE(f.list()->topLevelItemCount(), 0);
    QVERIFY(f.pageIdle());
}

void TestEmailUsers::emailSendsTickedRowsInOrder()
{
    QVERIFY(f.openPage(listReply({
        user({"12", "ann", "", "", "", "a&b@x.com", "", "", ""}),
        user({"3", "bob", "", "", "", "bob@y.org", "", "", ""}),
        user({"40", "cy", "", "", "", "", "", "", ""}),
    })));
    f.server->setReply("/alertsystem/admin/sendemail.php", statusReply("MSGSEND", "0"));
    f.row(0)->setCheckState(0, Qt::Checked);
    f.row(2)->setCheckState(0, Qt::Checked); // ticked, with an empty e-mail cell
    f.list()->setCurrentItem(f.row(1));      // selected, not ticked
    f.page->findChild<QToolButton *>("cmdEmail")->click();
    QCOMPARE(f.page->cycle()->panel()->lblPleaseWait()->text(),
             QString("Please wait, wizard is connecting to Vantorel Software Server to send email to selected users."));
    QVERIFY(f.waitIdleAfter(2));

    const testsupport::RecordedRequest &r = f.server->request(1);
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, "/alertsystem/admin/sendemail.php?vartime=" + kStamp + "&id=3");
    QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(r.body, QByteArray("v1=q804&mails[]=a%26b%40x.com&mails[]=&mrgID=17"));
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList({"Email sent to 0 selected users"}));
    // The ticks stay.
    QCOMPARE(f.row(0)->checkState(0), Qt::Checked);
    QCOMPARE(f.row(2)->checkState(0), Qt::Checked);
}

void TestEmailUsers::emailWithoutSelectionOrTicks()
{
    QVERIFY(f.openPage(listReply(threeUsers())));
    f.list()->setCurrentItem(f.row(0));
    f.page->EmailCheckedUsers();
    QCOMPARE(f.lastMessage(), QString("Please select user to send email link."));
    QCOMPARE(f.server->requestCount(), 1);

    // Ticked rows but no selected row: the address names no user.
    f.list()->clearSelection();
    f.row(1)->setCheckState(0, Qt::Checked);
    f.server->setReply("/alertsystem/admin/sendemail.php", statusReply("MSGSEND", "1"));
    f.page->EmailCheckedUsers();
    QVERIFY(f.waitIdleAfter(2));
    QCOMPARE(f.server->request(1).target, "/alertsystem/admin/sendemail.php?vartime=" + kStamp + "&id=0");
    QCOMPARE(f.server->request(1).body, QByteArray("v1=q804&mails[]=bob%40y.org&mrgID=17"));
    QCOMPARE(f.lastMessage(), QString("Email sent to 1 selected users"));
}

void TestEmailUsers::backNextAndCancel()
{
    using kestrup::Page;
    // Cancel asks; No keeps the page.
    QPointer<kestrup::WizardPage> page = openAmongThePages();
    QVERIFY(f.server->waitForRequestCount(1));
    QTRY_VERIFY(page->cmdCancel()->isEnabled());
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::No);
    page->cmdCancel()->click();
    QCOMPARE(WizardMessageBox::shown().size(), 1);
    QVERIFY(page && page->isVisible());

    // Back leads to the login page without a question.
    page->cmdBack()->click();
    QTRY_VERIFY(!page);
    QCOMPARE(f.context->navigator().currentPage()->metaObject()->className(), "kestrup::frm_loginaccount");
    QCOMPARE(WizardMessageBox::shown().size(), 1);
    f.context->navigator().currentPage()->ThisCanExit = true;
    f.context->navigator().currentPage()->close();

    // A later return loads the list anew into an empty list; Next leads on.
    page = f.context->navigator().open(Page::EmailUsers);
    QVERIFY(f.server->waitForRequestCount(2));
    QTRY_VERIFY(page->cmdNext()->isEnabled());
    QCOMPARE(page->findChild<QTreeWidget *>("ListView1")->topLevelItemCount(), 3);
    page->cmdNext()->click();
    QTRY_VERIFY(!page);
    QCOMPARE(f.context->navigator().currentPage()->metaObject()->className(), "kestrup::frm_finished");
    f.context->navigator().CloseAllPages();
    QCOMPARE(WizardMessageBox::shown().size(), 1);
}

void TestEmailUsers::enterPressesTheFocusedButton()
{
    QPointer<kestrup::WizardPage> page = openAmongThePages();
    QVERIFY(f.server->waitForRequestCount(1));
    QTRY_VERIFY(page->cmdNext()->isEnabled());

    // Nothing selected or ticked: each focused button answers Enter with its own message.
    const QList<std::pair<const char *, QString>> buttons = {
        {"cmdEmail", "Please select user to send email link."},
        {"Command1", "Please select user to delete."},
        {"cmdEdit", "Please select user to edit."}};
    for (const auto &[name, message] : buttons) {
        auto *button = page->findChild<QToolButton *>(name);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Return);
        QCOMPARE(f.lastMessage(), message);
        QCOMPARE(f.context->navigator().currentPage(), page.data());
    }
    auto *add = page->findChild<QToolButton *>("cmdCommand1");
    QTest::keyClick(add, Qt::Key_Enter);
    QPointer<kestrup::frm_adduser> dialog = page->findChild<kestrup::frm_adduser *>();
    QVERIFY(dialog && dialog->isVisible());
    dialog->close();
    QTRY_VERIFY(!dialog);

    // Elsewhere Enter is Next.
    QTest::keyClick(page->findChild<QTreeWidget *>("ListView1"), Qt::Key_Return);
    QTRY_VERIFY(!page);
    QCOMPARE(f.context->navigator().currentPage()->metaObject()->className(), "kestrup::frm_finished");
    f.context->navigator().CloseAllPages();
}

void TestEmailUsers::closingWithRequestOutAbandonsIt()
{
    f.server->setReply("/alertsystem/admin/getusers.php", listReply(threeUsers()).withDelay(300));
    auto *page = new kestrup::frm_emailusers(*f.context);
    page->show();
    QVERIFY(f.server->waitForRequestCount(1));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes); // quit
    QVERIFY(page->close());
    QVERIFY(!page->cycle()->isRequestOut());
    QVERIFY(!page->cycle()->isAnimating());
    // The reply arrives after the close and is never handled.
    // Past the reply's delay and several polls: nothing may be handled.
    QTest::qWait(testsupport::patient(700));
    QCOMPARE(page->ListView1()->topLevelItemCount(), 0);
    QCOMPARE(WizardMessageBox::shown().size(), 1); // the quit question only
    delete page;
}

QTEST_MAIN(TestEmailUsers)
#include "tst_emailusers.moc"
