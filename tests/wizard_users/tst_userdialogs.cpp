#include "UsersFixture.h"
#include "support/Patience.h"

#include "wizard/users/frm_adduser.h"
#include "wizard/users/frm_edituser.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

using namespace usertest;
using kestrup::WizardMessageBox;
using testsupport::ScriptedReply;

namespace {

const char kAddPath[] = "/alertsystem/admin/adduser.php";
const char kEditPath[] = "/alertsystem/admin/edituser.php";

void type(QLineEdit *box, const QString &text)
{
    box->clear();
    QTest::keyClicks(box, text);
}

} // namespace

class TestUserDialogs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void addDialogLayoutAndTabOrder();
    void addChecksFieldsInOrder();
    void addSendsNineFieldsAndAppendsTypedRow_data();
    void addSendsNineFieldsAndAppendsTypedRow();
    void addedRowCanBeRemovedById();
    void addRefusalsKeepDialogOpen_data();
    void addRefusalsKeepDialogOpen();
    void editFillsFromSelectedRow();
    void editSendsEightFieldsAndUpdatesFirstMatch();
    void editReplyMatchingNoRowStillCloses();
    void editChecksAndFailures();
    void longValuesGoOutWhole();
    void closingDialogWithRequestOutAbandonsIt();

private:
    kestrup::frm_adduser *openAdd();
    kestrup::frm_edituser *openEditOn(int row);
    void fillAdd(kestrup::frm_adduser *d);

    Fixture f;
};

void TestUserDialogs::init()
{
    QVERIFY(f.start());
    QVERIFY(f.openPage(listReply({
        user({"12", "ann", "Smith", "Ann", "555-1", "ann@x.com", "555-9", domainOf("Verizon"), "pw1"}),
        user({"3", "bob", "Jones", "Bob", "", "bob@y.org", "", "@carrier.example", "pw2"}),
        user({"12", "ann2", "Twin", "Ann", "555-4", "twin@x.com", "", "", "pw4"}),
    })));
}

void TestUserDialogs::cleanup()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<kestrup::UserDialog *>(w))
            w->close();
    }
    f.finish();
}

kestrup::frm_adduser *TestUserDialogs::openAdd()
{
    f.page->findChild<QToolButton *>("cmdCommand1")->click();
    auto *dialog = f.page->findChild<kestrup::frm_adduser *>();
    if (dialog && (!dialog->isVisible() || !dialog->isModal()))
        return nullptr;
    return dialog;
}

kestrup::frm_edituser *TestUserDialogs::openEditOn(int row)
{
    f.list()->setCurrentItem(f.row(row));
    f.page->findChild<QToolButton *>("cmdEdit")->click();
    return f.page->findChild<kestrup::frm_edituser *>();
}

void TestUserDialogs::fillAdd(kestrup::frm_adduser *d)
{
    type(d->txtUsername(), "dan");
    type(d->txtPassword(), "s3cret&=");
    type(d->txtFirstname(), "Dan");
    type(d->txtLastname(), "O Brien");
    type(d->txtEmail(), "dan@z.net");
    type(d->txtTel(), "+1 555 0100");
    type(d->txtWirelessNo(), "555 0199");
}

void TestUserDialogs::addDialogLayoutAndTabOrder()
{
    kestrup::frm_adduser *d = openAdd();
    QVERIFY(d);
    QCOMPARE(d->windowTitle(), QString("Vantorel Software Administrative Setup"));
    QCOMPARE(d->findChild<QLabel *>("lblHeader")->text(), QString("Vantorel Software Add User Account"));
    QCOMPARE(d->cmdNext()->text(), QString("&Add"));
    QVERIFY(d->cmdNext()->isDefault());
    QCOMPARE(d->cmdCancel()->text(), QString("&Cancel"));
    QCOMPARE(d->txtPassword()->echoMode(), QLineEdit::Password);
    QCOMPARE(d->cboServiceProvider()->count(), 6);
    QCOMPARE(d->cboServiceProvider()->itemText(3), QString("Sprint"));
    QCOMPARE(d->cboServiceProvider()->currentIndex(), -1);
    QCOMPARE(d->cboServiceProvider()->currentText(), QString());
    QVERIFY(d->cboServiceProvider()->isEditable());

    QWidget *expected[] = {d->txtUsername(), d->txtPassword(), d->txtFirstname(), d->txtLastname(),
                           d->txtEmail(), d->txtTel(), d->txtWirelessNo(), d->cboServiceProvider(),
                           d->cmdNext(), d->cmdCancel()};
    QWidget *w = expected[0];
    for (std::size_t i = 1; i < std::size(expected); ++i) {
        w = w->nextInFocusChain();
        // An editable combo box carries its line edit in the chain.
        while (w->focusProxy() || w->parentWidget() == d->cboServiceProvider())
            w = w->nextInFocusChain();
        QCOMPARE(w, expected[i]);
    }

    // Escape is Cancel: the dialog goes, nothing is sent, the list stays.
    QTest::keyClick(d, Qt::Key_Escape);
    QTRY_VERIFY(!f.page->findChild<kestrup::frm_adduser *>());
    QCOMPARE(f.server->requestCount(), 1);
    QCOMPARE(f.list()->topLevelItemCount(), 3);
}

void TestUserDialogs::addChecksFieldsInOrder()
{
    kestrup::frm_adduser *d = openAdd();
    QVERIFY(d);
    d->cmdNext()->click();
    QCOMPARE(f.lastMessage(), QString("Username is required!"));

    type(d->txtUsername(), " ");
    type(d->txtPassword(), "p");
    d->cmdNext()->click();
    QCOMPARE(f.lastMessage(), QString("Firstname is required!")); // a blank is content

    type(d->txtFirstname(), "F");
    d->cmdNext()->click();
    QCOMPARE(f.lastMessage(), QString("Lastname is required!"));

    type(d->txtLastname(), "L");
    d->cmdNext()->click();
    QCOMPARE(f.lastMessage(), QString("Tel. # is required!")); // before the empty e-mail

    type(d->txtTel(), "1");
    d->cmdNext()->click();
    QCOMPARE(f.lastMessage(), QString("Email is required!"));

    type(d->txtEmail(), "nobody.example.com");
    QTest::keyClick(d->txtEmail(), Qt::Key_Return); // Enter is Add
    QCOMPARE(f.lastMessage(), QString("Invalid Email address!"));
    QTest::keyClick(d->cmdCancel(), Qt::Key_Return); // also with Cancel focused
    QCOMPARE(WizardMessageBox::shown().size(), 7);
    QVERIFY(d->isVisible());

    for (const WizardMessageBox::Shown &s : WizardMessageBox::shown()) {
        QCOMPARE(s.icon, QMessageBox::Information);
        QCOMPARE(s.title, QString());
    }
    QTest::qWait(testsupport::patient(200));
    QCOMPARE(f.server->requestCount(), 1);
    QCOMPARE(d->txtEmail()->text(), QString("nobody.example.com"));
    QVERIFY(d->isVisible());
}

void TestUserDialogs::addSendsNineFieldsAndAppendsTypedRow_data()
{
    QTest::addColumn<int>("choose");     // carrier entry chosen, -1 none
    QTest::addColumn<QString>("typed");  // carrier text typed instead
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no carrier") << -1 << QString() << QString() << QString();
    QTest::newRow("Sprint chosen") << 3 << QString() << domainOf("Sprint") << QString("Sprint");
    QTest::newRow("other carrier typed") << -1 << QString("Acme Mobile") << QString() << QString("Acme Mobile");
    QTest::newRow("carrier name typed") << -1 << QString("Nextel") << domainOf("Nextel") << QString("Nextel");
    QTest::newRow("chosen then changed") << 5 << QString("Verizon!") << QString() << QString("Verizon!");
}

void TestUserDialogs::addSendsNineFieldsAndAppendsTypedRow()
{
    QFETCH(int, choose);
    QFETCH(QString, typed);
    QFETCH(QString, domain);
    QFETCH(QString, shown);

    kestrup::frm_adduser *d = openAdd();
    QVERIFY(d);
    fillAdd(d);
    if (choose >= 0)
        d->cboServiceProvider()->setCurrentIndex(choose);
    if (!typed.isEmpty()) {
        d->cboServiceProvider()->lineEdit()->selectAll();
        QTest::keyClicks(d->cboServiceProvider()->lineEdit(), typed);
    }
    f.server->setReply(kAddPath, statusReply("USERADDED", "57").withDelay(200));
    // Enter in the carrier box, as anywhere in the dialog, is Add.
    QTest::keyClick(d->cboServiceProvider()->lineEdit(), Qt::Key_Return);
    QVERIFY(f.server->waitForRequestCount(2));
    // Busy: every box and both buttons off.
    QVERIFY(!d->txtUsername()->isEnabled());
    QVERIFY(!d->cboServiceProvider()->isEnabled());
    QVERIFY(!d->cmdNext()->isEnabled());
    QVERIFY(!d->cmdCancel()->isEnabled());
    QCOMPARE(d->cycle()->panel()->lblPleaseWait()->text(),
             QString("Please wait, wizard is connecting to Vantorel Software Server to Add New User Account."));

    const testsupport::RecordedRequest &r = f.server->request(1);
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray(kAddPath) + "?vartime=" + kStamp);
    QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(r.body, "username=dan&password=s3cret%26%3D&lastname=O+Brien&firstname=Dan"
                     "&telnos=%2B1+555+0100&email=dan%40z.net&wirelessno=555+0199&serviceprovider="
                         + QUrl::toPercentEncoding(domain) + "&mrgID=17");

    QTRY_VERIFY(!f.page->findChild<kestrup::frm_adduser *>());
    QCOMPARE(f.list()->topLevelItemCount(), 4);
    QTreeWidgetItem *added = f.row(3);
    const QStringList cells{"dan", "Dan", "O Brien", "dan@z.net", "+1 555 0100", "555 0199", shown, "s3cret&="};
    for (int c = 0; c < 8; ++c)
        QCOMPARE(added->text(c), cells[c]);
    QCOMPARE(added->data(0, Qt::UserRole).toInt(), 57);
    QCOMPARE(added->checkState(0), Qt::Unchecked);
    QVERIFY(WizardMessageBox::shown().isEmpty());
}

void TestUserDialogs::addedRowCanBeRemovedById()
{
    kestrup::frm_adduser *d = openAdd();
    QVERIFY(d);
    fillAdd(d);
    f.server->setReply(kAddPath, statusReply("USERADDED", "57"));
    d->cmdNext()->click();
    QTRY_COMPARE(f.list()->topLevelItemCount(), 4);

    f.server->setReply("/alertsystem/admin/deleteuser.php", statusReply("DELETEOK", "57"));
    f.list()->setCurrentItem(f.row(3));
    WizardMessageBox::setNextAnswer(WizardMessageBox::Answer::Yes);
    f.page->RemoveSelectedUser();
    QVERIFY(f.waitIdleAfter(3));
    QVERIFY(f.server->request(2).target.endsWith("&id=57"));
    QCOMPARE(f.list()->topLevelItemCount(), 3);
}

void TestUserDialogs::addRefusalsKeepDialogOpen_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    const QByteArray decl = "<?xml version=\"1.0\"?>";
    QTest::newRow("refused") << decl + "<r><s>CANOTADD</s><v>0</v></r>" << "Error Adding User";
    QTest::newRow("unknown word") << decl + "<r><s>useradded</s><v>5</v></r>"
                                  << "Please try again registration error.";
    QTest::newRow("not xml") << QByteArray("Fatal error") << "Please try again registration error.";
    QTest::newRow("empty") << QByteArray() << "Please try again registration error.";
    QTest::newRow("id out of range") << decl + "<r><s>USERADDED</s><v>70000</v></r>"
                                     << "Please try again registration error.";
}

void TestUserDialogs::addRefusalsKeepDialogOpen()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    kestrup::frm_adduser *d = openAdd();
    QVERIFY(d);
    fillAdd(d);
    f.server->setReply(kAddPath, ScriptedReply::xml(body));
    d->cmdNext()->click();
    QTRY_COMPARE(WizardMessageBox::shown().size(), 1);
    QCOMPARE(f.lastMessage(), message);
    QTRY_VERIFY(d->cmdNext()->isEnabled());
    QVERIFY(d->isVisible());
    QVERIFY(d->txtUsername()->isEnabled());
    QVERIFY(d->cycle()->panel()->Frame2()->isHidden());
    QCOMPARE(d->txtUsername()->text(), QString("dan"));
    QCOMPARE(d->txtPassword()->text(), QString("s3cret&="));
    QCOMPARE(f.list()->topLevelItemCount(), 3);
}

void TestUserDialogs::editFillsFromSelectedRow()
{
    f.list()->clearSelection();
    f.page->EditSelectedUser();
    QCOMPARE(f.lastMessage(), QString("Please select user to edit."));
    QVERIFY(!f.page->findChild<kestrup::frm_edituser *>());

    kestrup::frm_edituser *d = openEditOn(0);
    QVERIFY(d && d->isVisible() && d->isModal());
    QCOMPARE(d->findChild<QLabel *>("lblHeader")->text(), QString("Vantorel Software Edit User"));
    QCOMPARE(d->cmdUpdate()->text(), QString("&Update"));
    QCOMPARE(int(d->UserId), 12);
    QCOMPARE(d->txtUsername()->text(), QString("ann"));
    QCOMPARE(d->txtPassword()->text(), QString("pw1"));
    QCOMPARE(d->txtFirstname()->text(), QString("Ann"));
    QCOMPARE(d->txtLastname()->text(), QString("Smith"));
    QCOMPARE(d->txtEmail()->text(), QString("ann@x.com"));
    QCOMPARE(d->txtTel()->text(), QString("555-1"));
    QCOMPARE(d->txtWirelessNo()->text(), QString("555-9"));
    QCOMPARE(d->cboServiceProvider()->currentIndex(), 5);
    QCOMPARE(d->cboServiceProvider()->currentText(), QString("Verizon"));

    // The user name cannot be changed.
    QTest::keyClicks(d->txtUsername(), "zzz");
    QCOMPARE(d->txtUsername()->text(), QString("ann"));
    d->close();
    QTRY_VERIFY(!f.page->findChild<kestrup::frm_edituser *>());

    // A carrier outside the table chooses no entry.
    d = openEditOn(1);
    QVERIFY(d);
    QCOMPARE(d->cboServiceProvider()->currentIndex(), -1);
    QCOMPARE(d->cboServiceProvider()->currentText(), QString());
}

void TestUserDialogs::editSendsEightFieldsAndUpdatesFirstMatch()
{
    f.row(2)->setCheckState(0, Qt::Checked);
    kestrup::frm_edituser *d = openEditOn(2); // the second row with id 12
    QVERIFY(d);
    type(d->txtTel(), "555-7777");
    d->cboServiceProvider()->setCurrentIndex(0);
    f.server->setReply(kEditPath, statusReply("EDITUSER", "12"));
    d->cmdUpdate()->click();
    QVERIFY(f.server->waitForRequestCount(2));
    const testsupport::RecordedRequest &r = f.server->request(1);
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray(kEditPath) + "?vartime=" + kStamp);
    QCOMPARE(r.body, "password=pw4&lastname=Twin&firstname=Ann&telnos=555-7777&email=twin%40x.com"
                     "&wirelessno=&serviceprovider=" + QUrl::toPercentEncoding(domainOf("ATT")) + "&id=12");
    QTRY_VERIFY(!f.page->findChild<kestrup::frm_edituser *>());

    // The FIRST row with id 12 takes the values; its user name and tick stay.
    const QStringList first{"ann", "Ann", "Twin", "twin@x.com", "555-7777", "", "ATT", "pw4"};
    for (int c = 0; c < 8; ++c)
        QCOMPARE(f.row(0)->text(c), first[c]);
    QCOMPARE(f.row(0)->checkState(0), Qt::Unchecked);
    QCOMPARE(f.row(2)->text(4), QString("555-4")); // the row edited is not the one updated
    QCOMPARE(f.row(2)->checkState(0), Qt::Checked);
    QVERIFY(WizardMessageBox::shown().isEmpty());
}

void TestUserDialogs::editReplyMatchingNoRowStillCloses()
{
    kestrup::frm_edituser *d = openEditOn(0);
    QVERIFY(d);
    type(d->txtFirstname(), "Changed");
    f.server->setReply(kEditPath, statusReply("EDITUSER", "999"));
    d->cmdUpdate()->click();
    QTRY_VERIFY(!f.page->findChild<kestrup::frm_edituser *>());
    QCOMPARE(f.row(0)->text(1), QString("Ann"));
    QCOMPARE(f.list()->topLevelItemCount(), 3);
    QVERIFY(WizardMessageBox::shown().isEmpty());
}

void TestUserDialogs::editChecksAndFailures()
{
    // Bob has no telephone on the server: he cannot be updated until one is typed.
    kestrup::frm_edituser *d = openEditOn(1);
    QVERIFY(d);
    d->txtPassword()->clear();
    d->cmdUpdate()->click();
    QCOMPARE(f.lastMessage(), QString("Password is required!"));
    type(d->txtPassword(), "x");
    d->cmdUpdate()->click();
    QCOMPARE(f.lastMessage(), QString("Tel. # is required!"));
    QCOMPARE(f.server->requestCount(), 1);

    // Everything but "EDITUSER" is the same failure, without a comma.
    type(d->txtTel(), "1");
    WizardMessageBox::clearShown();
    f.server->setReply(kEditPath, statusReply("CANOTADD", "3"));
    d->cmdUpdate()->click();
    QTRY_COMPARE(WizardMessageBox::shown().size(), 1);
    QCOMPARE(f.lastMessage(), QString("Please try again error connecting to server."));
    QTRY_VERIFY(d->cmdUpdate()->isEnabled());
    QVERIFY(d->isVisible());
    QCOMPARE(d->txtTel()->text(), QString("1"));
    QCOMPARE(f.row(1)->text(4), QString());

    // No carrier chosen sends the empty domain; the cell takes the box's text.
    f.server->setReply(kEditPath, statusReply("EDITUSER", "3"));
    d->cmdUpdate()->click();
    QTRY_VERIFY(!f.page->findChild<kestrup::frm_edituser *>());
    QVERIFY(f.server->request(2).body.endsWith("&serviceprovider=&id=3"));
    QCOMPARE(f.row(1)->text(6), QString());
    QCOMPARE(f.row(1)->text(4), QString("1"));
}

void TestUserDialogs::longValuesGoOutWhole()
{
    kestrup::UserRow row;
    row.id = 8;
    row.username = "long";
    row.firstname = QString(40000, u'n'); // past the 32,767 a text box takes by default
    row.lastname = "L";
    row.email = "l@x.com";
    row.tel = "1";
    row.password = "p";
    kestrup::UserListView::appendRow(f.list(), row);
    kestrup::frm_edituser *d = openEditOn(3);
    QVERIFY(d);
    QCOMPARE(d->txtFirstname()->text(), row.firstname);
    f.server->setReply(kEditPath, statusReply("EDITUSER", "8"));
    d->cmdUpdate()->click();
    QVERIFY(f.server->waitForRequestCount(2));
    QVERIFY(f.server->request(1).body.contains("&firstname=" + row.firstname.toLatin1() + "&telnos="));
}

void TestUserDialogs::closingDialogWithRequestOutAbandonsIt()
{
    kestrup::frm_adduser *d = openAdd();
    QVERIFY(d);
    fillAdd(d);
    f.server->setReply(kAddPath, statusReply("USERADDED", "58").withDelay(300));
    d->cmdNext()->click();
    QVERIFY(f.server->waitForRequestCount(2));
    // Escape does nothing while busy; the close box still closes.
    QTest::keyClick(d, Qt::Key_Escape);
    QVERIFY(d->isVisible());
    QVERIFY(d->close());
    QTRY_VERIFY(!f.page->findChild<kestrup::frm_adduser *>());
    // Past the reply's delay and several polls: nothing may be handled.
    QTest::qWait(testsupport::patient(700));
    QCOMPARE(f.list()->topLevelItemCount(), 3);
    QVERIFY(WizardMessageBox::shown().isEmpty());
}

QTEST_MAIN(TestUserDialogs)
#include "tst_userdialogs.moc"
