// The administrator wizard end to end against the built alertserver with a
// real store: registration, activation from the e-mail, login, and adding,
// editing, e-mailing and removing users, driven through the wizard's own
// windows with clicks and typing; then the built kestrup program itself on
// the X display, from its welcome page out through Cancel and Yes.
//
// The steps run in order: each starts from the account and users that the
// previous one left on the server.
#include "server/store/SqliteDb.h"
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ServerProcess.h"
#include "support/X11Windows.h"

#include "wizard/frame/PageNavigator.h"
#include "wizard/frame/RequestCycle.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardMessageBox.h"
#include "wizard/frame/WizardPage.h"
#include "wizard/frame/frm_adminreg.h"
#include "wizard/frame/frm_alert.h"
#include "wizard/frame/frm_finished.h"
#include "wizard/frame/frm_loginaccount.h"
#include "wizard/frame/frm_welcome.h"
#include "wizard/users/UserListView.h"
#include "wizard/users/UserPages.h"
#include "wizard/users/frm_adduser.h"
#include "wizard/users/frm_edituser.h"
#include "wizard/users/frm_emailusers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

using namespace kestrup;
using testsupport::patient;
using testsupport::ServerProcess;
using Answer = WizardMessageBox::Answer;

namespace {

const QString kVendorHost = QStringLiteral("www.vantorel.example");
const QString kAdmin = QStringLiteral("nora.admin");
const QString kAdminPassword = QStringLiteral("Pa ss&word1");
const QString kAdminEmail = QStringLiteral("nora@vance.net");

// One user as the list shows it, without the id.
struct Expected
{
    QString username, password, firstname, lastname, email, tel, wirelessNo, provider;
};

const Expected kDana{"dana", "dana pw&1", "Dana", "Moreau", "dana@example.com", "555-0100", "5550111", "Verizon"};
const Expected kEli{"eli", "eli-pw", "Eli", "Brandt", "eli@example.com", "555-0102", "", ""};

void typeInto(QWidget *window, const char *name, const QString &text)
{
    auto *box = window->findChild<QLineEdit *>(QString::fromLatin1(name));
    QVERIFY2(box, name);
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Delete);
    QTest::keyClicks(box, text);
    QCOMPARE(box->text(), text);
}

// The carrier box can be typed in: a carrier's exact name chooses it.
void chooseCarrier(UserDialog *dialog, const QString &name)
{
    QComboBox *carrier = dialog->cboServiceProvider();
    carrier->setFocus();
    carrier->lineEdit()->selectAll();
    QTest::keyClick(carrier->lineEdit(), Qt::Key_Delete);
    QTest::keyClicks(carrier, name);
    QCOMPARE(carrier->currentText(), name);
}

// A click on the row selects it; Space then ticks or unticks its box.
void clickRow(QTreeWidget *list, QTreeWidgetItem *item)
{
    QVERIFY(item);
    list->scrollToItem(item);
    // On the user name, so that the current cell is the one with the box.
    const QPoint onName(list->header()->sectionViewportPosition(ColUsername)
                            + list->header()->sectionSize(ColUsername) * 2 / 3,
                        list->visualItemRect(item).center().y());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, onName);
    QCOMPARE(list->currentItem(), item);
    QVERIFY(item->isSelected());
}

void fillUserDialog(UserDialog *dialog, const Expected &user)
{
    typeInto(dialog, "txtUsername", user.username);
    typeInto(dialog, "txtPassword", user.password);
    typeInto(dialog, "txtFirstname", user.firstname);
    typeInto(dialog, "txtLastname", user.lastname);
    typeInto(dialog, "txtEmail", user.email);
    typeInto(dialog, "txtTel", user.tel);
    typeInto(dialog, "txtWirelessNo", user.wirelessNo);
    chooseCarrier(dialog, user.provider);
}

QStringList listed(const QTreeWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const UserRow r = UserListView::rowOf(list->topLevelItem(i));
        out << QStringList{r.username, r.password, r.firstname, r.lastname, r.email, r.tel, r.wirelessNo, r.provider}
                   .join(u'|');
    }
    return out;
}

QString asListed(const Expected &u)
{
    return QStringList{u.username, u.password, u.firstname, u.lastname, u.email, u.tel, u.wirelessNo, u.provider}
        .join(u'|');
}

QPoint centreIn(const QWidget *child, const QWidget *window)
{
    return child->mapTo(window, child->rect().center());
}

} // namespace

class TestWizardEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void registrationMailsTheActivationLink();
    void loginWaitsForTheActivation();
    void addUsers();
    void editUser();
    void emailTickedUsers();
    void removeUser();
    void listReadAgainMatchesTheStore();
    void programOpensOnTheWelcomePageAndQuitsThroughCancel();

private:
    // A fresh run of the wizard, as when the program starts.
    void startRun();
    template <typename T>
    T *current() const
    {
        return qobject_cast<T *>(m_context->navigator().currentPage());
    }
    bool idle(RequestCycle *cycle) const
    {
        return QTest::qWaitFor([cycle] { return !cycle->isBusy() && !cycle->isRequestOut(); }, patient(15000));
    }
    QString lastMessage() const
    {
        const QStringList texts = WizardMessageBox::shownTexts();
        return texts.isEmpty() ? QString() : texts.constLast();
    }
    QTreeWidgetItem *rowNamed(const QString &username) const;
    QStringList storedUser(const QString &username);

    QTemporaryDir m_serverDir;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<WizardContext> m_context;
    QList<QUrl> m_opened;
    QString m_activationLink;
    qint64 m_adminId = 0;
    // The welcome page and the quit question as this display draws them,
    // for finding their buttons in the program's windows.
    QSize m_welcomeSize;
    QPoint m_welcomeCancel;
    QSize m_quitSize;
    QPoint m_quitYes;
};

void TestWizardEndToEnd::initTestCase()
{
    if (testsupport::x11ScreenSize().isEmpty())
        QSKIP("needs an X display (runs under Xvfb through CTest)");
    QGuiApplication::setQuitOnLastWindowClosed(false);
    WizardMessageBox::setTestMode(true);
    m_server = std::make_unique<ServerProcess>(m_serverDir.path());
    QVERIFY(m_server->start());
}

void TestWizardEndToEnd::cleanupTestCase()
{
    if (m_context)
        m_context->navigator().CloseAllPages();
    QTest::qWait(0);
    m_context.reset();
    WizardMessageBox::setTestMode(false);
}

void TestWizardEndToEnd::startRun()
{
    if (m_context)
        m_context->navigator().CloseAllPages();
    QTest::qWait(0);
    WizardSettings settings = WizardSettings::defaults();
    settings.serverBase = m_server->baseUrl();
    settings.vendorHost = kVendorHost;
    settings.clientPath.clear();
    m_context = std::make_unique<WizardContext>(settings);
    // The request cycle at a fifth of its own pace: many requests go out here.
    m_context->timing().animationMs = 20;
    m_context->timing().requestCycleMs = 20;
    m_context->shell().openUrl = [this](const QUrl &url) {
        m_opened << url;
        return true;
    };
    m_context->shell().startProgram = [](const QString &) { return false; };
    registerFramePages(m_context->navigator());
    registerUserPages(m_context->navigator());
    m_context->navigator().open(Page::Welcome);
    WizardMessageBox::clearShown();
}

QTreeWidgetItem *TestWizardEndToEnd::rowNamed(const QString &username) const
{
    const auto *page = current<frm_emailusers>();
    for (int i = 0; page && i < page->ListView1()->topLevelItemCount(); ++i) {
        if (page->ListView1()->topLevelItem(i)->text(ColUsername) == username)
            return page->ListView1()->topLevelItem(i);
    }
    return nullptr;
}

// The user's row in the store: id, administrator, password, names, e-mail,
// telephone, wireless number, carrier domain; empty when there is none.
QStringList TestWizardEndToEnd::storedUser(const QString &username)
{
    alertserver::SqliteConnection db(m_server->dbPath());
    alertserver::Query q = db.query("SELECT id, admin_id, password, firstname, lastname, email, tel, wirelessno, "
                                    "carrier FROM users WHERE username = ?");
    q.bind(1, username);
    QStringList out;
    if (q.next()) {
        for (int c = 0; c < 9; ++c)
            out << q.text(c);
    }
    return out;
}

void TestWizardEndToEnd::registrationMailsTheActivationLink()
{
    startRun();
    auto *welcome = current<frm_welcome>();
    QVERIFY(welcome);
    QTRY_VERIFY(welcome->isVisible());
    m_welcomeSize = welcome->size();
    m_welcomeCancel = centreIn(welcome->cmdCancel(), welcome);

    QTest::mouseClick(welcome->cmdNext(), Qt::LeftButton);
    auto *reg = current<frm_adminreg>();
    QVERIFY(reg);
    typeInto(reg, "txtUsername", kAdmin);
    typeInto(reg, "txtPassword", kAdminPassword);
    typeInto(reg, "txtFirstname", "Nora");
    typeInto(reg, "txtLastname", "Vance");
    typeInto(reg, "txtCompanyName", "Vance & Daughters");
    typeInto(reg, "txtAddress", "12 Harbour Road");
    typeInto(reg, "txtTel", "555-0101");
    typeInto(reg, "txtEmail", kAdminEmail);
    auto *country = reg->findChild<QComboBox *>("cboCountry");
    QVERIFY(country);
    country->setFocus();
    QTest::keyClicks(country, "Canada");
    QCOMPARE(country->currentText(), QStringLiteral("Canada"));
    typeInto(reg, "txtState", "Ontario");
    typeInto(reg, "txtCity", "Ottawa");
    typeInto(reg, "txtZipCode", "K1A 0B1");

    QTest::mouseClick(reg->cmdNext(), Qt::LeftButton);
    QTRY_VERIFY2_WITH_TIMEOUT(current<frm_finished>() != nullptr, qPrintable(WizardMessageBox::shownTexts().join('/')),
                              patient(15000));
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList());

    // The store holds the account, not yet active, under the id the wizard got.
    {
        alertserver::SqliteConnection db(m_server->dbPath());
        alertserver::Query q = db.query("SELECT id, active, company, country, postalcode, email FROM admins "
                                        "WHERE username = ?");
        q.bind(1, kAdmin);
        QVERIFY(q.next());
        m_adminId = q.integer(0);
        QCOMPARE(q.integer(1), 0);
        QCOMPARE(q.text(2), QStringLiteral("Vance & Daughters"));
        QCOMPARE(q.text(3), QStringLiteral("Canada"));
        QCOMPARE(q.text(4), QStringLiteral("K1A 0B1"));
        QCOMPARE(q.text(5), kAdminEmail);
    }
    QCOMPARE(qint64(m_context->state().AdminId), m_adminId);

    // The activation link went out by e-mail to the address registered.
    const QStringList mails = m_server->mailsTo(kAdminEmail);
    QCOMPARE(mails.size(), 1);
    const QRegularExpressionMatch link =
        QRegularExpression(QStringLiteral("http://127\\.0\\.0\\.1:\\d+/alertsystem/admin/activate\\.php\\?code=\\S+"))
            .match(mails.first());
    QVERIFY2(link.hasMatch(), qPrintable(mails.first()));
    m_activationLink = link.captured(0);

    // Finished, with a visit to the vendor's site ticked.
    auto *finished = current<frm_finished>();
    finished->findChild<QCheckBox *>("chkVisitWww")->setChecked(true);
    finished->findChild<QCheckBox *>("chkLunch")->setChecked(false);
    QTest::mouseClick(finished->cmdNext(), Qt::LeftButton);
    QTRY_VERIFY(m_context->navigator().currentPage() == nullptr || !m_context->navigator().currentPage()->isVisible());
    QCOMPARE(m_opened, QList<QUrl>{QUrl("http://" + kVendorHost)});
}

void TestWizardEndToEnd::loginWaitsForTheActivation()
{
    QVERIFY(!m_activationLink.isEmpty());
    startRun();
    QTest::mouseClick(current<frm_welcome>()->findChild<QPushButton *>("cmdLogin"), Qt::LeftButton);
    auto *login = current<frm_loginaccount>();
    QVERIFY(login);
    typeInto(login, "txtUsername", kAdmin);
    typeInto(login, "txtPassword", kAdminPassword);

    // Before the link is opened the server refuses, and the page stays.
    QTest::mouseClick(login->cmdNext(), Qt::LeftButton);
    QVERIFY(idle(login->requestCycle()));
    QVERIFY2(lastMessage().startsWith(QStringLiteral("Please try again, your not an active user.")),
             qPrintable(lastMessage()));
    QCOMPARE(current<frm_loginaccount>(), login);

    const common::HttpResult opened = testsupport::httpGet(m_activationLink);
    QVERIFY(opened.ok);
    QCOMPARE(opened.status, 200);
    {
        alertserver::SqliteConnection db(m_server->dbPath());
        alertserver::Query q = db.query("SELECT active FROM admins WHERE username = ?");
        q.bind(1, kAdmin);
        QVERIFY(q.next());
        QCOMPARE(q.integer(0), 1);
    }

    // Now Next leads to the user list, empty for a new account.
    WizardMessageBox::clearShown();
    QTest::mouseClick(login->cmdNext(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(current<frm_emailusers>() != nullptr, patient(15000));
    QCOMPARE(qint64(m_context->state().AdminId), m_adminId);
    auto *page = current<frm_emailusers>();
    QVERIFY(idle(page->cycle()));
    QCOMPARE(page->ListView1()->topLevelItemCount(), 0);
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList());
    const QByteArray listQuery = m_server->requestsFor("/alertsystem/admin/getusers.php").constLast().query;
    QVERIFY2(QRegularExpression(QStringLiteral("^vartime=\\d{14}&mrgID=%1$").arg(m_adminId))
                 .match(QString::fromUtf8(listQuery)).hasMatch(),
             listQuery.constData());
}

void TestWizardEndToEnd::addUsers()
{
    auto *page = current<frm_emailusers>();
    QVERIFY(page);
    for (const Expected &user : {kDana, kEli}) {
        QTest::mouseClick(page->findChild<QToolButton *>("cmdCommand1"), Qt::LeftButton);
        QPointer<frm_adduser> dialog = page->findChild<frm_adduser *>();
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        fillUserDialog(dialog, user);
        QTest::mouseClick(dialog->cmdNext(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), patient(15000)); // closes itself on success
    }
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList());
    QCOMPARE(listed(page->ListView1()), QStringList({asListed(kDana), asListed(kEli)}));

    // Stored for this administrator, the carrier as its gateway domain, and the
    // row's tag is the id the server gave.
    const QStringList dana = storedUser(kDana.username);
    QCOMPARE(dana.mid(1), QStringList({QString::number(m_adminId), kDana.password, kDana.firstname, kDana.lastname,
                                       kDana.email, kDana.tel, kDana.wirelessNo, "@vtext.com"}));
    QCOMPARE(QString::number(UserListView::tagOf(rowNamed(kDana.username))), dana.first());
    QCOMPARE(storedUser(kEli.username).value(8), QString());

    // A taken user name is refused; the dialog keeps what was typed.
    QTest::mouseClick(page->findChild<QToolButton *>("cmdCommand1"), Qt::LeftButton);
    QPointer<frm_adduser> again = page->findChild<frm_adduser *>();
    QVERIFY(again);
    fillUserDialog(again, Expected{"DANA", "x", "Other", "Dana", "other@example.com", "1", "", ""});
    QTest::mouseClick(again->cmdNext(), Qt::LeftButton);
    QVERIFY(idle(again->cycle()));
    QCOMPARE(lastMessage(), QStringLiteral("Error Adding User"));
    QVERIFY(!again.isNull());
    QCOMPARE(again->txtFirstname()->text(), QStringLiteral("Other"));
    QTest::mouseClick(again->cmdCancel(), Qt::LeftButton);
    QTRY_VERIFY(again.isNull());
    QCOMPARE(page->ListView1()->topLevelItemCount(), 2);
    QCOMPARE(storedUser(kDana.username).value(3), kDana.firstname);
}

void TestWizardEndToEnd::editUser()
{
    auto *page = current<frm_emailusers>();
    QVERIFY(page);
    WizardMessageBox::clearShown();
    clickRow(page->ListView1(), rowNamed(kDana.username));
    QTest::mouseClick(page->findChild<QToolButton *>("cmdEdit"), Qt::LeftButton);
    QPointer<frm_edituser> dialog = page->findChild<frm_edituser *>();
    QVERIFY(dialog);
    // Filled from the row, the password (a column never shown) included.
    QCOMPARE(dialog->txtPassword()->text(), kDana.password);
    QCOMPARE(dialog->cboServiceProvider()->currentText(), kDana.provider);

    typeInto(dialog, "txtLastname", "Moreau-Blanc");
    typeInto(dialog, "txtEmail", "dana.mb@example.com");
    chooseCarrier(dialog, "T-Mobile");
    QTest::mouseClick(dialog->cmdUpdate(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), patient(15000));
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList());

    Expected edited = kDana;
    edited.lastname = "Moreau-Blanc";
    edited.email = "dana.mb@example.com";
    edited.provider = "T-Mobile";
    QCOMPARE(listed(page->ListView1()), QStringList({asListed(edited), asListed(kEli)}));
    const QStringList stored = storedUser(kDana.username);
    QCOMPARE(stored.value(4), edited.lastname);
    QCOMPARE(stored.value(5), edited.email);
    QCOMPARE(stored.value(8), QStringLiteral("@tmomail.net"));
}

void TestWizardEndToEnd::emailTickedUsers()
{
    auto *page = current<frm_emailusers>();
    QVERIFY(page);
    const int before = int(m_server->outboxFiles().size());
    for (const QString &name : {kDana.username, kEli.username}) {
        clickRow(page->ListView1(), rowNamed(name));
        QTest::keyClick(page->ListView1(), Qt::Key_Space);
        QCOMPARE(rowNamed(name)->checkState(ColUsername), Qt::Checked);
    }
    QTest::mouseClick(page->findChild<QToolButton *>("cmdEmail"), Qt::LeftButton);
    QVERIFY(idle(page->cycle()));
    QCOMPARE(lastMessage(), QStringLiteral("Email sent to 2 selected users"));

    // One download-link e-mail to each ticked address as the list has it now.
    QCOMPARE(int(m_server->outboxFiles().size()), before + 2);
    QCOMPARE(m_server->mailsTo("dana.mb@example.com").size(), 1);
    QCOMPARE(m_server->mailsTo(kEli.email).size(), 1);
    QCOMPARE(m_server->mailsTo(kDana.email).size(), 0);
    const QString mail = m_server->mailsTo(kEli.email).constFirst();
    QVERIFY2(!mail.contains("Brandt") && !mail.contains(": eli\r\n") && mail.contains("/alertsystem/download.php"),
             qPrintable(mail));
}

void TestWizardEndToEnd::removeUser()
{
    auto *page = current<frm_emailusers>();
    QVERIFY(page);
    clickRow(page->ListView1(), rowNamed(kEli.username));
    WizardMessageBox::clearShown();
    WizardMessageBox::setNextAnswer(Answer::Yes);
    QTest::mouseClick(page->findChild<QToolButton *>("Command1"), Qt::LeftButton);
    QVERIFY(idle(page->cycle()));
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList({"Delete Selected account?"}));
    QCOMPARE(WizardMessageBox::unansweredQuestions(), 0);
    QVERIFY(rowNamed(kEli.username) == nullptr);
    QCOMPARE(page->ListView1()->topLevelItemCount(), 1);
    QCOMPARE(storedUser(kEli.username), QStringList());
    QCOMPARE(storedUser(kDana.username).size(), 9);
}

void TestWizardEndToEnd::listReadAgainMatchesTheStore()
{
    // Back to the login page and on again: the page reads the list anew.
    QVERIFY(current<frm_emailusers>());
    QTest::mouseClick(current<frm_emailusers>()->cmdBack(), Qt::LeftButton);
    auto *login = current<frm_loginaccount>();
    QVERIFY(login);
    QTest::mouseClick(login->cmdNext(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(current<frm_emailusers>() != nullptr, patient(15000));
    auto *page = current<frm_emailusers>();
    QVERIFY(idle(page->cycle()));
    Expected edited = kDana;
    edited.lastname = "Moreau-Blanc";
    edited.email = "dana.mb@example.com";
    edited.provider = "T-Mobile";
    QCOMPARE(listed(page->ListView1()), QStringList({asListed(edited)}));
    QCOMPARE(QString::number(UserListView::tagOf(page->ListView1()->topLevelItem(0))),
             storedUser(kDana.username).value(0));
    m_context->navigator().CloseAllPages();

    // The server refused none of the run's requests as malformed: every
    // outcome above came as a status word the wizard could read.
    const QList<testsupport::LoggedRequest> requests = m_server->requests();
    QVERIFY(requests.size() >= 12);
    for (const testsupport::LoggedRequest &r : requests)
        QVERIFY2(r.status == 200, (r.method + ' ' + r.target + " -> " + QByteArray::number(r.status)).constData());
}

void TestWizardEndToEnd::programOpensOnTheWelcomePageAndQuitsThroughCancel()
{
    QVERIFY(m_welcomeSize.isValid());
    {
        // The quit question as this display draws it.
        frm_alert question(kVendorHost, nullptr);
        question.show();
        QVERIFY(QTest::qWaitForWindowExposed(&question));
        m_quitSize = question.size();
        m_quitYes = centreIn(question.findChild<QPushButton *>("cmdYes"), &question);
        question.hide();
    }

    QTemporaryDir install;
    QVERIFY(testsupport::copyFolder(QStringLiteral(TVX_BUILD_DIR "/kestrup"), install.path()));
    QVERIFY(testsupport::writeFile(install.filePath("setup.xml"),
                                   "<?xml version=\"1.0\"?>\n<setup><server>" + m_server->baseUrl().toUtf8()
                                       + "</server><vendor>" + kVendorHost.toUtf8() + "</vendor></setup>\n"));
    const int requests = int(m_server->requests().size());
    QProcess program;
    testsupport::endWithThisProcess(program);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(install.filePath("kestrup"));
    QVERIFY(program.waitForStarted());
    const auto stop = qScopeGuard([&] {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(patient(5000));
        }
    });

    const QString caption = WizardPage::windowCaption();
    QCOMPARE(caption, QStringLiteral("Vantorel Software Administrative Setup"));
    auto shown = [&] {
        QList<testsupport::X11Window> out;
        for (const auto &w : testsupport::findX11Windows(QStringLiteral("ThunderRT6FormDC"), caption)) {
            if (w.viewable)
                out << w;
        }
        return out;
    };
    QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 1, patient(15000));
    const testsupport::X11Window page = shown().first();
    // The welcome page: its size is the welcome page's, and it asked the server nothing.
    QCOMPARE(page.geometry.size(), m_welcomeSize);
    QCOMPARE(int(m_server->requests().size()), requests);

    const QPoint cancel = page.geometry.topLeft() + m_welcomeCancel;
    QVERIFY(testsupport::xdotool({"mousemove", QString::number(cancel.x()), QString::number(cancel.y()), "click", "1"}));
    QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 2, patient(10000));
    testsupport::X11Window question;
    for (const auto &w : shown()) {
        if (w.id != page.id)
            question = w;
    }
    QCOMPARE(question.geometry.size(), m_quitSize);
    QCOMPARE(program.state(), QProcess::Running);

    const QPoint yes = question.geometry.topLeft() + m_quitYes;
    QVERIFY(testsupport::xdotool({"mousemove", QString::number(yes.x()), QString::number(yes.y()), "click", "1"}));
    QVERIFY(program.waitForFinished(patient(10000)));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_MAIN(TestWizardEndToEnd)
#include "tst_e2e_wizard.moc"
