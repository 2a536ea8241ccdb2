// Both programs against the built alertserver over https, with the system's
// certificate store as an organisation would set it up: an authority of its
// own made for this run is the only one in the system folder (a bind mount in
// a mount namespace private to this test and the programs it starts), and in
// the NSS database of the client's home, which the browser engine reads.
// The client starts, logs in and shows its alert page; the wizard logs in
// and lists the users. Against a server whose certificate no authority here
// signed, the client's start-up ends silently and every wizard window that
// talks to the server shows its own message for an unreadable reply.
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ServerProcess.h"
#include "support/TestCertificates.h"
#include "support/X11Windows.h"

#include "wizard/frame/PageNavigator.h"
#include "wizard/frame/RequestCycle.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardMessageBox.h"
#include "wizard/frame/frm_adminreg.h"
#include "wizard/frame/frm_loginaccount.h"
#include "wizard/frame/frm_welcome.h"
#include "wizard/users/UserListView.h"
#include "wizard/users/UserPages.h"
#include "wizard/users/frm_adduser.h"
#include "wizard/users/frm_edituser.h"
#include "wizard/users/frm_emailusers.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>

using namespace testsupport;
using kestrup::WizardMessageBox;

namespace {

const QString kTitle = QStringLiteral("TLS Alerts");

bool run(const QString &program, const QStringList &args, QString *why)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (p.waitForFinished(patient(30000)) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *why = program + u' ' + args.join(u' ') + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll());
    return false;
}

void typeInto(QWidget *window, const char *name, const QString &text)
{
    auto *box = window->findChild<QLineEdit *>(QString::fromLatin1(name));
    QVERIFY2(box, name);
    box->setText(QString());
    QTest::keyClicks(box, text);
}

} // namespace

class TestTlsEndToEnd : public QObject
{
    Q_OBJECT
public:
    explicit TestTlsEndToEnd(bool isolated) : m_isolated(isolated) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void clientLogsInAndShowsItsAlertPage();
    void clientStartUpEndsOnAnUntrustedCertificate();
    void wizardLogsInAndListsUsers();
    void wizardWindowsReadAnUntrustedCertificateAsUnreadable();

private:
    QProcess *startClient(const QString &serverBase);
    bool clientWindowShown() const;
    // The message the request shows once its window is idle again.
    QString messageAfter(const std::function<void()> &send, kestrup::RequestCycle *cycle);

    bool m_isolated;
    QTemporaryDir m_dir;
    QTemporaryDir m_home;
    QTemporaryDir m_install;
    std::unique_ptr<ServerProcess> m_trusted;
    std::unique_ptr<ServerProcess> m_stranger;
    std::unique_ptr<QProcess> m_client;
};

void TestTlsEndToEnd::initTestCase()
{
    if (x11ScreenSize().isEmpty())
        QSKIP("needs an X display (runs under Xvfb through CTest)");
    if (!m_isolated)
        QSKIP("needs a mount namespace of its own (run as root)");

    TestCertificates ours, stranger;
    QVERIFY2(ours.make(m_dir.path(), QStringLiteral("ours")), qPrintable(ours.error));
    QVERIFY2(stranger.make(m_dir.path(), QStringLiteral("stranger")), qPrintable(stranger.error));

    // The system folder holds our authority alone, as a file, in the bundle
    // and under its hash, the three ways OpenSSL and Qt look it up.
    const QString store = m_dir.filePath(QStringLiteral("system-certs"));
    QVERIFY(QDir().mkpath(store));
    QVERIFY(QFile::copy(ours.caFile, store + QStringLiteral("/vantorel-test.pem")));
    QVERIFY(QFile::copy(ours.caFile, store + QStringLiteral("/ca-certificates.crt")));
    QString why;
    QVERIFY2(run(QStringLiteral("openssl"), {QStringLiteral("rehash"), store}, &why), qPrintable(why));
    QVERIFY2(::mount(store.toLocal8Bit().constData(), "/etc/ssl/certs", nullptr, MS_BIND, nullptr) == 0,
             strerror(errno));
    // The browser engine's store: an NSS database in the client's home.
    const QString nss = QStringLiteral("sql:") + m_home.filePath(QStringLiteral(".pki/nssdb"));
    QVERIFY(QDir().mkpath(m_home.filePath(QStringLiteral(".pki/nssdb"))));
    QVERIFY2(run(QStringLiteral("certutil"), {QStringLiteral("-N"), QStringLiteral("-d"), nss, QStringLiteral("--empty-password")}, &why),
             qPrintable(why));
    QVERIFY2(run(QStringLiteral("certutil"), {QStringLiteral("-A"), QStringLiteral("-d"), nss, QStringLiteral("-n"),
                                              QStringLiteral("Vantorel test authority"), QStringLiteral("-t"),
                                              QStringLiteral("C,,"), QStringLiteral("-i"), ours.caFile},
                 &why),
             qPrintable(why));

    m_trusted = std::make_unique<ServerProcess>(m_dir.filePath(QStringLiteral("trusted")));
    m_trusted->useTls(ours.certificateFile, ours.keyFile);
    m_stranger = std::make_unique<ServerProcess>(m_dir.filePath(QStringLiteral("stranger")));
    m_stranger->useTls(stranger.certificateFile, stranger.keyFile);
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("trusted"))) && QDir().mkpath(m_dir.filePath(QStringLiteral("stranger"))));
    QVERIFY(m_trusted->start());
    QVERIFY(m_stranger->start());
    QVERIFY(m_trusted->baseUrl().startsWith(QStringLiteral("https://")));
    QCOMPARE(m_trusted->command({"seed-admin", "boss", "secret", "boss@example.com"}).exitCode, 0);
    QCOMPARE(m_trusted->command({"add-user", "boss", "ann", "pw", "--email", "ann@example.com"}).exitCode, 0);
    QVERIFY(copyFolder(QStringLiteral(TVX_BUILD_DIR "/tarvex"), m_install.path()));
    QVERIFY(writeFile(m_home.filePath("config/Tarvex Vantorel.conf"),
                      "[Settings]\nAUTOLOG=1\nUSERNAME=ann\nPASSWORD=pw\nPOPUPMODE=1\nALERTMODE=1\nAUDIOALERT=0\n"));
    WizardMessageBox::setTestMode(true);
}

void TestTlsEndToEnd::cleanupTestCase()
{
    if (m_client && m_client->state() != QProcess::NotRunning) {
        m_client->terminate();
        if (!m_client->waitForFinished(patient(10000)))
            m_client->kill();
        m_client->waitForFinished(patient(5000));
    }
    WizardMessageBox::setTestMode(false);
}

QProcess *TestTlsEndToEnd::startClient(const QString &serverBase)
{
    if (m_client && m_client->state() != QProcess::NotRunning) {
        m_client->kill();
        m_client->waitForFinished(patient(5000));
    }
    writeFile(m_install.filePath("system.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system><windowtitle>" + kTitle.toUtf8()
                  + "</windowtitle><serverbase>" + serverBase.toUtf8() + "</serverbase><notifytypeid>1</notifytypeid></system>\n");
    m_client = std::make_unique<QProcess>();
    endWithThisProcess(*m_client);
    QProcessEnvironment env = programEnvironment(m_home.path());
    env.insert(QStringLiteral("HOME"), m_home.path());
    m_client->setProcessEnvironment(env);
    m_client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_client->start(m_install.filePath("tarvex"));
    return m_client.get();
}

bool TestTlsEndToEnd::clientWindowShown() const
{
    const auto windows = findX11Windows(QStringLiteral("ThunderRT6FormDC"), kTitle);
    return std::any_of(windows.cbegin(), windows.cend(), [](const X11Window &w) { return w.viewable; });
}

void TestTlsEndToEnd::clientLogsInAndShowsItsAlertPage()
{
    QProcess *client = startClient(m_trusted->baseUrl());
    QVERIFY(client->waitForStarted());
    // The skin and the log-in through the client's own requests, the alert
    // page through the browser engine's.
    QTRY_VERIFY_WITH_TIMEOUT(clientWindowShown(), patient(40000));
    QTRY_VERIFY_WITH_TIMEOUT(m_trusted->countFor("/alertsystem/login.php") == 1, patient(15000));
    QTRY_VERIFY_WITH_TIMEOUT(m_trusted->countFor("/alertsystem/alerts.php") >= 1, patient(20000));
    QTRY_VERIFY_WITH_TIMEOUT(m_trusted->countFor("/alertsystem/status.php") >= 1, patient(10000));
    const int mark = int(m_trusted->requests().size());
    QCOMPARE(m_trusted->command({"alert", "ann", "Over TLS"}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_trusted->countFor("/alertsystem/alerts.php", mark) >= 1, patient(10000));
    client->terminate();
    QVERIFY(client->waitForFinished(patient(10000)));
}

void TestTlsEndToEnd::clientStartUpEndsOnAnUntrustedCertificate()
{
    QProcess *client = startClient(m_stranger->baseUrl());
    QVERIFY(client->waitForStarted());
    QVERIFY(client->waitForFinished(patient(40000)));
    QCOMPARE(client->exitStatus(), QProcess::NormalExit);
    // The handshake failed before the skin request: nothing was ever answered.
    QCOMPARE(m_stranger->requests().size(), 0);
}

void TestTlsEndToEnd::wizardLogsInAndListsUsers()
{
    kestrup::WizardSettings settings = kestrup::WizardSettings::defaults();
    settings.serverBase = m_trusted->baseUrl();
    kestrup::WizardContext context(settings);
    kestrup::registerFramePages(context.navigator());
    kestrup::registerUserPages(context.navigator());
    context.navigator().open(kestrup::Page::LoginAccount);
    auto *login = qobject_cast<kestrup::frm_loginaccount *>(context.navigator().currentPage());
    QVERIFY(login);
    typeInto(login, "txtUsername", QStringLiteral("boss"));
    typeInto(login, "txtPassword", QStringLiteral("secret"));
    WizardMessageBox::clearShown();
    login->cmdNext_Click();
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<kestrup::frm_emailusers *>(context.navigator().currentPage()), patient(15000));
    auto *page = qobject_cast<kestrup::frm_emailusers *>(context.navigator().currentPage());
    QTRY_COMPARE_WITH_TIMEOUT(page->ListView1()->topLevelItemCount(), 1, patient(15000));
    QCOMPARE(page->ListView1()->topLevelItem(0)->text(kestrup::ColUsername), QStringLiteral("ann"));
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList());
    context.navigator().CloseAllPages();
    QTest::qWait(0);
}

QString TestTlsEndToEnd::messageAfter(const std::function<void()> &send, kestrup::RequestCycle *cycle)
{
    WizardMessageBox::clearShown();
    send();
    if (!QTest::qWaitFor([&] { return !WizardMessageBox::shownTexts().isEmpty() && !cycle->isBusy(); }, patient(20000)))
        return QStringLiteral("<still busy>");
    return WizardMessageBox::shownTexts().join(u'|');
}

void TestTlsEndToEnd::wizardWindowsReadAnUntrustedCertificateAsUnreadable()
{
    kestrup::WizardSettings settings = kestrup::WizardSettings::defaults();
    settings.serverBase = m_stranger->baseUrl();
    kestrup::WizardContext context(settings);
    context.state().AdminId = 1;

    kestrup::frm_loginaccount login(context);
    login.show();
    typeInto(&login, "txtUsername", QStringLiteral("boss"));
    typeInto(&login, "txtPassword", QStringLiteral("secret"));
    QCOMPARE(messageAfter([&] { login.SendAdminLogin(); }, login.requestCycle()),
             QStringLiteral("Please try again, invalid username or password."));
    login.ThisCanExit = true;
    login.close();

    kestrup::frm_adminreg registration(context);
    registration.show();
    QCOMPARE(messageAfter([&] { registration.SendRegistration(); }, registration.requestCycle()),
             QStringLiteral("Please try again registration error."));
    registration.ThisCanExit = true;
    registration.close();

    // The user list page reads its list as it opens.
    WizardMessageBox::clearShown();
    auto *page = new kestrup::frm_emailusers(context);
    page->setAttribute(Qt::WA_DeleteOnClose);
    page->show();
    QTRY_VERIFY_WITH_TIMEOUT(!WizardMessageBox::shownTexts().isEmpty() && !page->cycle()->isBusy(), patient(20000));
    QCOMPARE(WizardMessageBox::shownTexts(), QStringList{QStringLiteral("Please try again, error connecting to server.")});

    auto *add = new kestrup::frm_adduser(context, page->ListView1(), page);
    add->show();
    QCOMPARE(messageAfter([&] { add->SendNewUser(); }, add->cycle()), QStringLiteral("Please try again registration error."));
    add->close();
    kestrup::UserRow row;
    row.id = 5;
    row.username = QStringLiteral("ann");
    kestrup::UserListView::appendRow(page->ListView1(), row);
    auto *edit = new kestrup::frm_edituser(context, page->ListView1(), page);
    edit->fillFrom(row);
    edit->show();
    QCOMPARE(messageAfter([&] { edit->SendUserUpdate(); }, edit->cycle()),
             QStringLiteral("Please try again error connecting to server."));
    edit->close();
    page->ThisCanExit = true;
    page->close();
    QTest::qWait(0);
    // None of it reached the server.
    QCOMPARE(m_stranger->requests().size(), 0);
}

int main(int argc, char *argv[])
{
    // A mount namespace of this process's own, before any thread starts:
    // the system certificate folder can then be replaced for this test and
    // the programs it starts, and for nobody else.
    const bool isolated = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestTlsEndToEnd test(isolated);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_tls.moc"
