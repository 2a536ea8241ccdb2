// The wizard's plain logic: e-mail check, countries, registration and login
// checks, request addresses and bodies, reply reading, setup.xml.
#include "wizard/frame/AdminAccount.h"
#include "wizard/frame/FieldChecks.h"
#include "wizard/frame/ServerReply.h"
#include "wizard/frame/ServerRequest.h"
#include "wizard/frame/WizardSettings.h"
#include "wizard/frame/WizardState.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace kestrup;

namespace {

QByteArray replyXml(const QStringList &children)
{
    QByteArray body = "<?xml version=\"1.0\"?>\n<r>\n";
    for (const QString &c : children)
        body += "  <c>" + c.toHtmlEscaped().toUtf8() + "</c>\n";
    return body + "</r>\n";
}

WizardState completeRegistration()
{
    WizardState s;
    s.Username = "admin";
    s.Password = "secret";
    s.Firstname = "Ann";
    s.Lastname = "Lee";
    s.CompanyName = "Acme";
    s.Address = "1 Main St";
    s.Tel = "555-0100";
    s.Email = "ann@acme.com";
    s.Country = "Canada";
    s.State = "ON";
    s.City = "Ottawa";
    s.ZipCode = "K1A";
    return s;
}

} // namespace

class TestWizardChecks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void countryListAndLookup();
    void registrationChecksStopAtFirstFailure_data();
    void registrationChecksStopAtFirstFailure();
    void loginChecks();
    void requestAddressAndBodies();
    void readsReplies_data();
    void readsReplies();
    void setupFileByPosition();
};

void TestWizardChecks::countryListAndLookup()
{
    const QStringList &list = countryNames();
    QCOMPARE(list.size(), 182);
    QCOMPARE(list.at(0), QString("Afghanistan"));
    QCOMPARE(list.at(181), QString("Zimbabwe"));
    QCOMPARE(list.at(41), QString("Cote dlvoire"));
    QCOMPARE(list.at(45), QString("Czech Republic/Slovakia"));
    for (int i = 1; i < list.size(); ++i)
        QVERIFY2(list.at(i - 1) < list.at(i), qPrintable(list.at(i)));

    QCOMPARE(FindListIndex("united states", list), std::int16_t(172));
    QCOMPARE(FindListIndex("COTE DLVOIRE", list), std::int16_t(41));
    QCOMPARE(FindListIndex("Narnia", list), std::int16_t(-1));
    QCOMPARE(FindListIndex("", list), std::int16_t(-1));
    QCOMPARE(FindListIndex("Canada", QStringList()), std::int16_t(-1));
    // The first equal entry wins.
    QCOMPARE(FindListIndex("b", QStringList{"a", "B", "b"}), std::int16_t(1));
}

void TestWizardChecks::registrationChecksStopAtFirstFailure_data()
{
    QTest::addColumn<int>("failing");
    QTest::addColumn<QString>("message");
    const char *messages[] = {"Username is required!", "Password is required!", "Firstname is required!",
                              "Lastname is required!", "Company name is required!", "Address is required!",
                              "Tel. # is required!", "Email is required!", "Invalid Email address!",
                              "Country is required!", "State is required!", "City is required!",
                              "Zipcode is required!"};
    for (int i = 0; i < 13; ++i)
        QTest::newRow(messages[i]) << i << QString(messages[i]);
}

void TestWizardChecks::registrationChecksStopAtFirstFailure()
{
    // Every check before the failing one passes, every field after it is
    // empty: only the failing check may speak.
    QFETCH(int, failing);
    QFETCH(QString, message);
    const WizardState good = completeRegistration();
    QString WizardState::*fields[] = {&WizardState::Username, &WizardState::Password, &WizardState::Firstname,
                                      &WizardState::Lastname, &WizardState::CompanyName, &WizardState::Address,
                                      &WizardState::Tel, &WizardState::Email, &WizardState::Email,
                                      &WizardState::Country, &WizardState::State, &WizardState::City,
                                      &WizardState::ZipCode};
    WizardState s;
    for (int i = 0; i < failing; ++i)
        s.*fields[i] = good.*fields[i];
    if (failing == 8)
        s.Email = "ann-at-acme.com";
    QCOMPARE(firstRegistrationProblem(s), message);

    QCOMPARE(firstRegistrationProblem(good), QString());
    WizardState blanks = good;
    blanks.Username = " ";
    blanks.City = "  ";
    QCOMPARE(firstRegistrationProblem(blanks), QString()); // blanks are content
}

void TestWizardChecks::loginChecks()
{
    WizardState s;
    QCOMPARE(firstLoginProblem(s), QString("Username is required!"));
    s.Password = "pw";
    QCOMPARE(firstLoginProblem(s), QString("Username is required!"));
    s.Username = "  ";
    s.Password.clear();
    QCOMPARE(firstLoginProblem(s), QString("Password is required!"));
    s.Password = "pw";
    QCOMPARE(firstLoginProblem(s), QString());
}

void TestWizardChecks::requestAddressAndBodies()
{
    const common::Clock clock = [] { return QDateTime(QDate(2026, 12, 7), QTime(4, 33, 25)); };
    ServerRequest get{"GET", "/alertsystem/admin/getusers.php", {{"mrgID", "7"}, {"n", "a&b=c d"}}, {}};
    QCOMPARE(get.url("http://127.0.0.1:9", clock),
             QString("http://127.0.0.1:9/alertsystem/admin/getusers.php?vartime=12072026043325"
                     "&mrgID=7&n=a%26b%3Dc+d"));

    FormBody body;
    body.addFixed("v1=q804").add("mails[]", "a@b.com").add("k", QString::fromUtf8("é &=+"));
    QCOMPARE(body.bytes(), QByteArray("v1=q804&mails[]=a%40b.com&k=%C3%A9+%26%3D%2B"));

    WizardState s = completeRegistration();
    s.Tel = "+1 555";
    const ServerRequest reg = registrationRequest(s);
    QCOMPARE(reg.method, QByteArray("POST"));
    QCOMPARE(reg.path, QString("/alertsystem/admin/register.php"));
    QVERIFY(reg.query.isEmpty());
    QCOMPARE(reg.body, QByteArray("username=admin&password=secret&firstname=Ann&lastname=Lee&affiliate=Acme"
                                  "&address=1+Main+St&email=%2B1+555&regtype=0&email=ann%40acme.com"
                                  "&country=Canada&state=ON&city=Ottawa&postalcode=K1A&telno=%2B1+555"
                                  "&MM_insert=form1"));
    const ServerRequest login = loginRequest(s);
    QCOMPARE(login.path, QString("/alertsystem/admin/login.php"));
    QCOMPARE(login.body, QByteArray("username=admin&password=secret"));
}

void TestWizardChecks::readsReplies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("loginSuccess");
    QTest::addColumn<int>("adminId");
    QTest::addColumn<QString>("loginMessage");
    QTest::addColumn<QString>("registrationMessage");

    const QString invalid = "Please try again, invalid username or password.";
    const QString regError = "Please try again registration error.";
    QTest::newRow("LOGINOK 17") << replyXml({"LOGINOK", "17"}) << true << 17 << "" << regError;
    QTest::newRow("LOGINOK 17.5") << replyXml({"LOGINOK", "17.5"}) << true << 18 << "" << regError;
    QTest::newRow("LOGINOK 16.5") << replyXml({"LOGINOK", "16.5"}) << true << 16 << "" << regError;
    QTest::newRow("LOGINOK abc") << replyXml({"LOGINOK", "abc"}) << true << 0 << "" << regError;
    QTest::newRow("LOGINOK -32768") << replyXml({"LOGINOK", "-32768"}) << true << -32768 << "" << regError;
    QTest::newRow("LOGINOK 40000") << replyXml({"LOGINOK", "40000"}) << false << 0 << invalid << regError;
    QTest::newRow("LOGINOK without value") << replyXml({"LOGINOK"}) << false << 0 << invalid << regError;
    QTest::newRow("loginok") << replyXml({"loginok", "3"}) << false << 0 << invalid << regError;
    QTest::newRow("NOTACTIVE") << replyXml({"NOTACTIVE"}) << false << 0
                               << "Please try again, your not an active user.\r\n"
                                  "Please check your email to activate your account"
                               << regError;
    QTest::newRow("INVALID") << replyXml({"INVALID"}) << false << 0 << invalid << regError;
    QTest::newRow("EXPIRED") << replyXml({"EXPIRED"}) << false << 0
                             << "Please try again account already expired!" << regError;
    QTest::newRow("USERNAMEEXISTS") << replyXml({"USERNAMEEXISTS"}) << false << 0 << invalid
                                    << "Please try again username already exists.";
    QTest::newRow("REGISTEROK") << replyXml({"REGISTEROK", "7"}) << false << 0 << invalid << "";
    QTest::newRow("word with blanks") << replyXml({" LOGINOK ", "1"}) << false << 0 << invalid << regError;
    QTest::newRow("root without children") << QByteArray("<?xml version=\"1.0\"?><r/>") << false << 0
                                           << invalid << regError;
    QTest::newRow("html error page") << QByteArray("<html><body><h1>500 Internal Server Error</h1><br></body></html>")
                                     << false << 0 << invalid << regError;
    QTest::newRow("empty") << QByteArray() << false << 0 << invalid << regError;
}

void TestWizardChecks::readsReplies()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, loginSuccess);
    QFETCH(int, adminId);
    QFETCH(QString, loginMessage);
    QFETCH(QString, registrationMessage);

    const ServerReply reply = ServerReply::fromBody(body);
    const AccountOutcome login = readLoginReply(reply);
    QCOMPARE(login.success, loginSuccess);
    QCOMPARE(int(login.adminId), adminId);
    QCOMPARE(login.message, loginMessage);

    const AccountOutcome reg = readRegistrationReply(reply);
    QCOMPARE(reg.success, registrationMessage.isEmpty());
    QCOMPARE(reg.message, registrationMessage);
    if (reg.success)
        QCOMPARE(int(reg.adminId), 7);
}

void TestWizardChecks::setupFileByPosition()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("setup.xml");
    const WizardSettings defaults = WizardSettings::defaults();

    WizardSettings s = WizardSettings::load(path); // no file
    QCOMPARE(s.serverBase, defaults.serverBase);
    QCOMPARE(s.vendorHost, defaults.vendorHost);
    QCOMPARE(s.clientPath, QDir::cleanPath(dir.filePath(defaults.clientPath)));

    auto write = [&](const QByteArray &text) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    // Names are never looked at; positions are.
    write("<?xml version=\"1.0\"?>\n<x>\n <a>https://alerts.example:8443</a>\n <b> vendor.example </b>\n"
          " <c>bin/client</c>\n</x>\n");
    s = WizardSettings::load(path);
    QCOMPARE(s.serverBase, QString("https://alerts.example:8443"));
    QCOMPARE(s.vendorHost, QString("vendor.example"));
    QCOMPARE(s.clientPath, dir.filePath("bin/client"));

    write("<?xml version=\"1.0\"?><x><a>http://one</a></x>");
    s = WizardSettings::load(path);
    QCOMPARE(s.serverBase, QString("http://one"));
    QCOMPARE(s.vendorHost, defaults.vendorHost);

    write("<?xml version=\"1.0\"?><x><a>http://one</a><b>v</b><c></c></x>");
    QCOMPARE(WizardSettings::load(path).clientPath, QString()); // empty: nothing to start

    write("<x><a>http://not-well-formed</x>");
    QCOMPARE(WizardSettings::load(path).serverBase, defaults.serverBase);
}

QTEST_GUILESS_MAIN(TestWizardChecks)
#include "tst_wizard_checks.moc"
