#include "ServerFixture.h"
#include "support/Patience.h"

#include "common/FormEncoding.h"
#include "common/MailAddress.h"
#include "server/store/SqliteDb.h"
#include "server/validation/Fields.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QImageReader>
#include <QRegularExpression>
#include <QtTest>

#include <thread>

#include <unistd.h>

using namespace servertest;
using common::formEncode;

namespace {

const QString kStamp = QStringLiteral("?vartime=12072026043325");

struct Admin
{
    QString username = QStringLiteral("boss");
    QString password = QStringLiteral("p&ss=w\u00f6rd #1");
    QString email = QStringLiteral("boss@example.com");
    QString tel = QStringLiteral("+1 555 0100");
};

// The registration body exactly as the wizard builds it: "email" twice, the
// telephone first, and the two fixed pairs.
QByteArray registrationBody(const Admin &a)
{
    return "username=" + formEncode(a.username) + "&password=" + formEncode(a.password)
        + "&firstname=" + formEncode(QStringLiteral("Ana")) + "&lastname=" + formEncode(QStringLiteral("Lima"))
        + "&affiliate=" + formEncode(QStringLiteral("Tarvex & Co")) + "&address=" + formEncode(QStringLiteral("1 Main St"))
        + "&email=" + formEncode(a.tel) + "&regtype=0" + "&email=" + formEncode(a.email)
        + "&country=" + formEncode(QStringLiteral("Cote dlvoire")) + "&state=" + formEncode(QStringLiteral("Lagunes"))
        + "&city=" + formEncode(QStringLiteral("Abidjan")) + "&postalcode=" + formEncode(QStringLiteral("01 BP"))
        + "&telno=" + formEncode(a.tel) + "&MM_insert=form1";
}

QByteArray loginBody(const QString &user, const QString &password)
{
    return "username=" + formEncode(user) + "&password=" + formEncode(password);
}

struct NewUser
{
    QString username, password, lastname, firstname, tel, email, wireless, carrier;
};

QByteArray addUserBody(const NewUser &u, int adminId)
{
    return "username=" + formEncode(u.username) + "&password=" + formEncode(u.password) + "&lastname="
        + formEncode(u.lastname) + "&firstname=" + formEncode(u.firstname) + "&telnos=" + formEncode(u.tel)
        + "&email=" + formEncode(u.email) + "&wirelessno=" + formEncode(u.wireless) + "&serviceprovider="
        + formEncode(u.carrier) + "&mrgID=" + QByteArray::number(adminId);
}

QString query(const QString &key, const QString &value)
{
    return key + u'=' + QString::fromLatin1(formEncode(value));
}

// Whatever the process writes to stderr while it lives, in a file.
class StderrCapture
{
public:
    StderrCapture()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }
    QString text()
    {
        restore();
        m_file.seek(0);
        return QString::fromLocal8Bit(m_file.readAll());
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

} // namespace

class TestAlertServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { TVX_SKIP_WITHOUT_DATABASE(); }
    void init();
    void cleanup();

    void registrationActivationAndAdminLogin();
    void userListAddEditDelete();
    void sendEmailOnlyWithAccessCodeAndOnlyToOwnUsers();
    void clientLoginStatusAndPages();
    void skinAndItsPictures();
    void badRequestsGetWellFormedErrors_data();
    void badRequestsGetWellFormedErrors();
    void concurrentRequestsKeepTheStoreConsistent();
    void idsStayWithinSixteenBits();
    void storeIsVersionedAndRefusesWhatItCannotRead();
    void alertHistoryIsBounded();
    void adminPagesAnswerOnlyTheAddressesSignedInFrom();
    void clientSessionsBelongToTheirAddress();
    void newPasswordDeletionAndLogoutEndEverySession();
    void serversOnOneStoreAgreeOnPolls();
    void limitsStopGuessingAndFlooding();
    void refusedIdsCountAgainstTheAddress();
    void attemptsSentAtOnceStayWithinTheLimits();
    void mailAddressesNameOneMailbox();
    void failuresAreLoggedAndAnsweredWithANumber();
    void registrationMailWaitsInTheStore();
    void everyRegistrationAnswerTakesEqualWork();
    void administrativeChangesAreAudited();
    void registrationPolicyIsTheOperators();
    void selfRegisteredAdministratorsLeaveIdsForTheOperators();
    void versionOneStoreKeepsItsRows();
    void versionFourStoreGainsTheAdministratorsOrigin();
    void lostConnectionsAreMadeAgain();

private:
    // Registers, activates and logs in an administrator; answers the id.
    // From `from` through a socket bound to it, or through the programs' own
    // HTTP exchange from 127.0.0.1.
    int activeAdmin(const QString &name, const char *from = nullptr);
    // A request straight to the service, as from the caller `peer`.
    alertserver::HttpReply as(const char *peer, const QByteArray &method, const QString &target,
                              const QByteArray &body = {});
    int addUser(int adminId, const NewUser &u);

    std::unique_ptr<RunningServer> m_server;
};

void TestAlertServer::init()
{
    m_server = std::make_unique<RunningServer>();
    QVERIFY(m_server->front->port() > 0);
}

void TestAlertServer::cleanup()
{
    m_server.reset();
}

int TestAlertServer::activeAdmin(const QString &name, const char *from)
{
    Admin a;
    a.username = name;
    a.email = name + QStringLiteral("@example.com");
    auto post = [&](const QString &path, const QByteArray &body) {
        return from ? m_server->from(from, "POST", path, body) : m_server->wizard("POST", path, body);
    };
    const QStringList c = replyChildren(post("/alertsystem/admin/register.php" + kStamp, registrationBody(a)).body);
    if (c.value(0) != QLatin1String("REGISTEROK"))
        return 0;
    m_server->store->admins().activateByName(name);
    // Logged in, as the wizard is before it reaches its users.
    const auto login = post("/alertsystem/admin/login.php" + kStamp, loginBody(name, a.password));
    return replyChildren(login.body).value(0) == QLatin1String("LOGINOK") ? c.value(1).toInt() : 0;
}

alertserver::HttpReply TestAlertServer::as(const char *peer, const QByteArray &method, const QString &target,
                                           const QByteArray &body)
{
    alertserver::HttpRequest r;
    r.method = method;
    r.target = target.toUtf8();
    r.body = body;
    r.peer = peer;
    r.host = "127.0.0.1";
    r.headers = {{"Host", r.host}, {"Content-Type", "application/x-www-form-urlencoded"}};
    return m_server->service->handle(r);
}

int TestAlertServer::addUser(int adminId, const NewUser &u)
{
    const auto reply = m_server->wizard("POST", "/alertsystem/admin/adduser.php" + kStamp, addUserBody(u, adminId));
    const QStringList c = replyChildren(reply.body);
    return c.value(0) == QLatin1String("USERADDED") ? c.value(1).toInt() : 0;
}

void TestAlertServer::registrationActivationAndAdminLogin()
{
    RunningServer &s = *m_server;
    const Admin a;
    auto reply = s.wizard("POST", "/alertsystem/admin/register.php" + kStamp, registrationBody(a));
    QVERIFY(reply.ok);
    QVERIFY(reply.body.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?><"));
    QStringList c = replyChildren(reply.body);
    QCOMPARE(c.value(0), QStringLiteral("REGISTEROK"));
    const int id = c.value(1).toInt();
    QVERIFY(id >= 1 && id <= 32767);

    // The last "email" is the address, the telephone comes from "telno"; the
    // password is kept only as a salted hash.
    {
        auto db = s.inspect();
        auto q = db->query("SELECT email, tel, company, country, password_hash, length(password_salt), "
                           "password_iterations, active FROM admins WHERE id = ?");
        q.bind(1, id);
        QVERIFY(q.next());
        QCOMPARE(q.text(0), a.email);
        QCOMPARE(q.text(1), a.tel);
        QCOMPARE(q.text(2), QStringLiteral("Tarvex & Co"));
        QCOMPARE(q.text(3), QStringLiteral("Cote dlvoire"));
        QVERIFY(!q.blob(4).contains(a.password.toUtf8()));
        QCOMPARE(q.integer(5), 16);
        QVERIFY(q.integer(6) >= 100000);
        QCOMPARE(q.integer(7), 0);
    }

    // Wrong password says INVALID whatever the account's state; the right one
    // before activation NOTACTIVE.
    const QString login = "/alertsystem/admin/login.php" + kStamp;
    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(a.username, QStringLiteral("wrong"))).body).value(0),
             QStringLiteral("INVALID"));
    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(QStringLiteral("nobody"), a.password)).body).value(0),
             QStringLiteral("INVALID"));
    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(a.username, a.password)).body),
             QStringList{QStringLiteral("NOTACTIVE")});

    // The activation e-mail went to the address, with a link that works once.
    const QStringList mails = s.outboxFiles();
    QCOMPARE(mails.size(), 1);
    const QString mail = s.mail(mails.first());
    QVERIFY(mail.contains(QStringLiteral("To: ") + a.email + QStringLiteral("\r\n")));
    // Nothing the registration wrote reaches an address nobody has confirmed.
    for (const char *written : {"name: boss", "Ana", "Lima", "Tarvex", "Abidjan"})
        QVERIFY2(!mail.contains(QLatin1String(written)), written);
    const auto link = QRegularExpression(QStringLiteral("http://127\\.0\\.0\\.1:\\d+(/alertsystem/admin/activate\\.php\\?code=[0-9a-f]+)"))
                          .match(mail);
    QVERIFY2(link.hasMatch(), qPrintable(mail));
    reply = s.client(link.captured(1));
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains("boss"));
    QCOMPARE(s.client(link.captured(1)).status, 404);

    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(a.username, a.password)).body),
             (QStringList{QStringLiteral("LOGINOK"), QString::number(id)}));

    // Names are unique whatever their case.
    Admin twin = a;
    twin.username = QStringLiteral("BOSS");
    QCOMPARE(replyChildren(s.wizard("POST", "/alertsystem/admin/register.php" + kStamp, registrationBody(twin)).body),
             QStringList{QStringLiteral("USERNAMEEXISTS")});

    QVERIFY(s.store->admins().setExpiry(a.username, QDateTime::currentSecsSinceEpoch() - 1));
    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(a.username, a.password)).body),
             QStringList{QStringLiteral("EXPIRED")});
}

void TestAlertServer::userListAddEditDelete()
{
    RunningServer &s = *m_server;
    const int admin = activeAdmin(QStringLiteral("boss"));
    const int other = activeAdmin(QStringLiteral("other"));
    QVERIFY(admin > 0 && other > 0);

    const NewUser ann{QStringLiteral("ann&co"), QStringLiteral("a=b c"), QStringLiteral("Lee <b>"), QStringLiteral("Ann"),
                      QStringLiteral("555-1"), QStringLiteral("ann@example.com"), QStringLiteral("555-2"),
                      QStringLiteral("@vtext.example")};
    const int annId = addUser(admin, ann);
    QVERIFY(annId > 0);
    const int bobId = addUser(admin, {QStringLiteral("bob"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    QVERIFY(bobId > annId);
    // A taken name is refused, also for another administrator and in another case.
    const auto taken = s.wizard("POST", "/alertsystem/admin/adduser.php" + kStamp,
                                addUserBody({QStringLiteral("ANN&CO"), QStringLiteral("x"), {}, {}, {}, {}, {}, {}}, other));
    QCOMPARE(replyChildren(taken.body), QStringList{QStringLiteral("CANOTADD")});

    // Nine children per user, in the order the user list reads them.
    const QString list = "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=" + QString::number(admin);
    auto reply = s.wizard("GET", list);
    QCOMPARE(replyChildren(reply.body).size(), 2);
    QCOMPARE(userChildren(reply.body, 0),
             (QStringList{QString::number(annId), ann.username, ann.lastname, ann.firstname, ann.tel, ann.email,
                          ann.wireless, ann.carrier, ann.password}));
    QCOMPARE(userChildren(reply.body, 1).value(1), QStringLiteral("bob"));
    QVERIFY(reply.body.contains("Lee &lt;b&gt;"));
    QCOMPARE(replyChildren(s.wizard("GET", "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=" + QString::number(other)).body),
             QStringList());

    // The edit body carries no user name: the name stays.
    const QByteArray edit = "password=" + formEncode(QStringLiteral("new pw")) + "&lastname=Lee&firstname=Ann"
        + "&telnos=999&email=" + formEncode(QStringLiteral("ann@example.org")) + "&wirelessno=&serviceprovider="
        + "&id=" + QByteArray::number(annId);
    QCOMPARE(replyChildren(s.wizard("POST", "/alertsystem/admin/edituser.php" + kStamp, edit).body),
             (QStringList{QStringLiteral("EDITUSER"), QString::number(annId)}));
    QCOMPARE(userChildren(s.wizard("GET", list).body, 0),
             (QStringList{QString::number(annId), ann.username, QStringLiteral("Lee"), QStringLiteral("Ann"),
                          QStringLiteral("999"), QStringLiteral("ann@example.org"), QString(), QString(),
                          QStringLiteral("new pw")}));

    // Deleting takes the user's alerts with it.
    QVERIFY(s.store->sessions().raise(ann.username, QStringLiteral("hello")));
    QCOMPARE(replyChildren(s.wizard("GET", "/alertsystem/admin/deleteuser.php" + kStamp + "&id=" + QString::number(annId)).body),
             (QStringList{QStringLiteral("DELETEOK"), QString::number(annId)}));
    QCOMPARE(s.count("SELECT count(*) FROM alerts"), 0);
    QCOMPARE(replyChildren(s.wizard("GET", list).body).size(), 1);

    // Unknown ids: a refusal the page reads as one, nothing changed.
    for (const QString &path : {"/alertsystem/admin/deleteuser.php" + kStamp + "&id=" + QString::number(annId),
                                "/alertsystem/admin/deleteuser.php" + kStamp + "&id=40000",
                                "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=999"}) {
        reply = s.wizard("GET", path);
        QCOMPARE(replyChildren(reply.body).value(0), QStringLiteral("<not well-formed>"));
        QVERIFY(reply.status >= 400);
    }
    reply = s.wizard("POST", "/alertsystem/admin/edituser.php" + kStamp, edit);
    QCOMPARE(replyChildren(reply.body).value(0), QStringLiteral("ERROR"));
    reply = s.wizard("POST", "/alertsystem/admin/adduser.php" + kStamp,
                     addUserBody({QStringLiteral("carl"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}, 999));
    QCOMPARE(replyChildren(reply.body).value(0), QStringLiteral("CANOTADD"));
    QCOMPARE(s.count("SELECT count(*) FROM users"), 1);

    // Names fold ASCII letters only, on every back end: these two are two
    // users (lower() would make them one), and the third is the first.
    QVERIFY(addUser(admin, {QStringLiteral("\u00c4nn"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}) > 0);
    QVERIFY(addUser(admin, {QStringLiteral("\u00e4nn"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}) > 0);
    QCOMPARE(addUser(admin, {QStringLiteral("\u00c4NN"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}), 0);
    QCOMPARE(s.store->users().byName(QStringLiteral("\u00c4NN")).value_or(alertserver::UserRecord()).username,
             QStringLiteral("\u00c4nn"));
}

void TestAlertServer::sendEmailOnlyWithAccessCodeAndOnlyToOwnUsers()
{
    RunningServer &s = *m_server;
    const int admin = activeAdmin(QStringLiteral("boss"));
    const int other = activeAdmin(QStringLiteral("other"));
    addUser(admin, {QStringLiteral("ann"), QStringLiteral("pw"), QStringLiteral("Pay at https://evil.example/pay"),
                    QStringLiteral("Ann"), {}, QStringLiteral("ann@example.com"), {}, {}});
    addUser(admin, {QStringLiteral("bob"), QStringLiteral("pw"), {}, {}, {}, QStringLiteral("b.b@example.com"), {}, {}});
    addUser(other, {QStringLiteral("eve"), QStringLiteral("pw"), {}, {}, {}, QStringLiteral("eve@example.com"), {}, {}});
    const qsizetype before = s.outboxFiles().size();

    auto body = [](const QByteArray &code, const QStringList &mails, int mrg) {
        QByteArray b = "v1=" + code;
        for (const QString &m : mails)
            b += "&mails[]=" + formEncode(m);
        return b + "&mrgID=" + QByteArray::number(mrg);
    };
    const QString path = "/alertsystem/admin/sendemail.php" + kStamp + "&id=1";
    // Repeated, empty and foreign addresses are not mailed.
    auto reply = s.wizard("POST", path,
                          body("q804", {QStringLiteral("ann@example.com"), QStringLiteral("b.b@example.com"),
                                        QStringLiteral("eve@example.com"), QString(), QStringLiteral("ann@example.com")},
                               admin));
    QCOMPARE(replyChildren(reply.body), (QStringList{QStringLiteral("MSGSEND"), QStringLiteral("2")}));
    QStringList mails = s.outboxFiles().mid(before);
    QCOMPARE(mails.size(), 2);
    QString all;
    for (const QString &m : mails)
        all += s.mail(m);
    QVERIFY(all.contains(QStringLiteral("To: ann@example.com\r\n")));
    QVERIFY(all.contains(QStringLiteral("To: b.b@example.com\r\n")));
    QVERIFY(all.contains(s.base + QStringLiteral("/alertsystem/download.php")));
    // No name the administrator chose goes to the unconfirmed addresses.
    QVERIFY2(!all.contains(QStringLiteral("evil")) && !all.contains(QStringLiteral("Ann")) && !all.contains(QStringLiteral("bob")),
             qPrintable(all));

    reply = s.wizard("POST", path, body("q805", {QStringLiteral("ann@example.com")}, admin));
    QCOMPARE(replyChildren(reply.body).value(0), QStringLiteral("<not well-formed>"));
    QCOMPARE(reply.status, 403);
    reply = s.wizard("POST", path, body("q804", {QStringLiteral("ann@example.com")}, 999));
    QCOMPARE(replyChildren(reply.body).value(0), QStringLiteral("<not well-formed>"));
    QCOMPARE(s.outboxFiles().size(), before + 2);
}

void TestAlertServer::clientLoginStatusAndPages()
{
    RunningServer &s = *m_server;
    const int admin = activeAdmin(QStringLiteral("boss"));
    const QString name = QStringLiteral("j\u00fcrgen & co=1#");
    const QString password = QStringLiteral("pa ss&=%");
    addUser(admin, {name, password, QStringLiteral("<Smith>"), QStringLiteral("J\u00fcrgen"), {}, QStringLiteral("j@example.com"), {}, {}});

    const QString status = "/alertsystem/status.php?" + query(QStringLiteral("username"), name);
    // Not logged in yet.
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("2")});
    const QString login = "/alertsystem/login.php?" + query(QStringLiteral("username"), name) + u'&'
        + query(QStringLiteral("password"), password);
    QCOMPARE(replyChildren(s.client(login).body), QStringList{QStringLiteral("1")});
    QCOMPARE(replyChildren(s.client("/alertsystem/login.php?" + query(QStringLiteral("username"), name) + "&password=x").body),
             QStringList{QStringLiteral("0")});
    QCOMPARE(replyChildren(s.client("/alertsystem/login.php?" + query(QStringLiteral("username"), name)).body),
             QStringList{QStringLiteral("ERROR")});
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("0")});

    // Alerts raised between two polls are reported by exactly one poll.
    QVERIFY(s.store->sessions().raise(name, QStringLiteral("first <alert>")));
    QVERIFY(s.store->sessions().raise(name, QStringLiteral("second & last")));
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("1")});
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("0")});

    // The alert page lists them newest first, escaped.
    const QString page = "/alertsystem/alerts.php?_vartime=12072026043325&" + query(QStringLiteral("username"), name);
    auto reply = s.client(page);
    QCOMPARE(reply.status, 200);
    const qsizetype second = reply.body.indexOf("second &amp; last");
    const qsizetype first = reply.body.indexOf("first &lt;alert&gt;");
    QVERIFY(second > 0 && first > second);
    reply = s.client("/alertsystem/profile.php?" + query(QStringLiteral("id"), name));
    QVERIFY(reply.body.contains("&lt;Smith&gt;"));
    QVERIFY(!reply.body.contains(password.toUtf8()));

    // Logged out on the server: 2 at every poll, and the pages show nothing.
    QVERIFY(s.store->sessions().logout(name));
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("2")});
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("2")});
    QVERIFY(!s.client(page).body.contains("second"));
    // Unknown and empty names (a client polling after its logout) likewise.
    QCOMPARE(replyChildren(s.client("/alertsystem/status.php?username=").body), QStringList{QStringLiteral("2")});
    QCOMPARE(replyChildren(s.client("/alertsystem/status.php?username=ghost").body), QStringList{QStringLiteral("2")});

    // An expired administrator's users can no longer log in.
    QVERIFY(s.store->admins().setExpiry(QStringLiteral("boss"), 1));
    QCOMPARE(replyChildren(s.client(login).body), QStringList{QStringLiteral("0")});

    // The link pages of the skin exist.
    for (const char *p : {"website", "contact", "about", "help", "register", "password"})
        QCOMPARE(s.client(QStringLiteral("/alertsystem/pages/%1.php").arg(QLatin1String(p))).status, 200);
}

void TestAlertServer::skinAndItsPictures()
{
    RunningServer &s = *m_server;
    const auto reply = s.client("/alertsystem/notifytype.php?id=1");
    const QStringList v = replyChildren(reply.body);
    QCOMPARE(v.size(), 24);
    QCOMPARE(v.value(3), QStringLiteral("4800"));
    QCOMPARE(v.value(11), s.base + QStringLiteral("/alertsystem/alerts.php"));
    QCOMPARE(v.value(12), s.base + QStringLiteral("/alertsystem/profile.php"));
    // Every link page of the skin answers.
    for (int i = 13; i <= 18; ++i)
        QCOMPARE(s.client(v.value(i).mid(s.base.size())).status, 200);

    // The five pictures, fetched as the client builds their addresses, are
    // pictures in the four formats the client reads.
    const QMap<int, QByteArray> formats{{0, "gif"}, {1, "gif"}, {2, "bmp"}, {9, "ico"}, {23, "png"}};
    for (auto it = formats.cbegin(); it != formats.cend(); ++it) {
        const QString path = v.value(it.key());
        QVERIFY2(!path.startsWith(u'/'), qPrintable(path));
        const auto picture = s.client(u'/' + path);
        QCOMPARE(picture.status, 200);
        QBuffer buffer;
        buffer.setData(picture.body);
        QImageReader reader(&buffer);
        QCOMPARE(reader.format(), it.value());
        QVERIFY2(!reader.read().isNull(), qPrintable(path));
    }
    // A base address that ends in "/" makes "//": still found.
    QCOMPARE(s.client("//alertsystem/notifytype.php?id=1").status, 200);
    QCOMPARE(s.client(QStringLiteral("//") + v.value(0)).status, 200);

    // Unknown skins and anything but a picture of a skin folder are refused.
    for (const QString &path : {QStringLiteral("/alertsystem/notifytype.php?id=2"),
                                QStringLiteral("/alertsystem/notifytype.php?id=..%2F1"),
                                QStringLiteral("/alertsystem/notifytype.php"),
                                QStringLiteral("/alertsystem/skins/1/skin.ini"),
                                QStringLiteral("/alertsystem/skins/1/../1/close.gif"),
                                QStringLiteral("/alertsystem/skins/%2e%2e/store.db")}) {
        const auto refused = s.client(path);
        QVERIFY2(refused.status >= 400, qPrintable(path));
        QCOMPARE(replyChildren(refused.body).value(0), QStringLiteral("ERROR"));
    }

    // Links in the skins folder lead nowhere: a symbolic link to a file, or
    // to a skin's folder or its skin.ini, a second name of a file, and a
    // file the server keeps private.
    const QDir skins(s.skins->folder());
    const QString secret = s.dir.filePath(QStringLiteral("secret.png"));
    QVERIFY(QFile::copy(skins.filePath(QStringLiteral("1/pagebg.png")), secret));
    QVERIFY(QFile::copy(secret, skins.filePath(QStringLiteral("1/private.png"))));
    s.skins->keepPrivate({skins.filePath(QStringLiteral("1/private.png"))});
    QVERIFY(QFile::link(secret, skins.filePath(QStringLiteral("1/link.png"))));
    QCOMPARE(::link(QFile::encodeName(secret).constData(), QFile::encodeName(skins.filePath(QStringLiteral("1/hard.png"))).constData()), 0);
    QVERIFY(QFile::link(skins.filePath(QStringLiteral("1")), skins.filePath(QStringLiteral("2"))));
    QVERIFY(skins.mkdir(QStringLiteral("3")));
    QVERIFY(QFile::link(skins.filePath(QStringLiteral("1/skin.ini")), skins.filePath(QStringLiteral("3/skin.ini"))));
    for (const char *path : {"/alertsystem/skins/1/link.png", "/alertsystem/skins/1/hard.png", "/alertsystem/skins/1/private.png",
                             "/alertsystem/skins/2/close.gif", "/alertsystem/notifytype.php?id=2", "/alertsystem/notifytype.php?id=3"})
        QVERIFY2(s.client(QString::fromLatin1(path)).status == 404, path);
    QCOMPARE(s.client(QStringLiteral("/alertsystem/skins/1/pagebg.png")).status, 200);
}

void TestAlertServer::badRequestsGetWellFormedErrors_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("xml"); // the user list page's refusals are no XML

    const QString reg = "/alertsystem/admin/register.php" + kStamp;
    const QByteArray good = registrationBody(Admin());
    QTest::newRow("stray percent in query") << QByteArray("GET") << QStringLiteral("/alertsystem/status.php?username=a%zz") << QByteArray() << 400 << true;
    QTest::newRow("empty pair in query") << QByteArray("GET") << QStringLiteral("/alertsystem/status.php?username=a&&x=1") << QByteArray() << 400 << true;
    QTest::newRow("status without name") << QByteArray("GET") << QStringLiteral("/alertsystem/status.php") << QByteArray() << 400 << true;
    QTest::newRow("bad utf-8") << QByteArray("POST") << reg << QByteArray(good).replace("username=boss", "username=b%FFss") << 400 << true;
    QTest::newRow("nul byte") << QByteArray("POST") << reg << QByteArray(good).replace("username=boss", "username=b%00ss") << 400 << true;
    QTest::newRow("pair without =") << QByteArray("POST") << reg << good + "&junk" << 400 << true;
    QTest::newRow("missing field") << QByteArray("POST") << reg << QByteArray(good).replace("&country=", "&kountry=") << 400 << true;
    QTest::newRow("empty user name") << QByteArray("POST") << reg << QByteArray(good).replace("username=boss", "username=") << 400 << true;
    QTest::newRow("over-long user name") << QByteArray("POST") << reg
                                         << QByteArray(good).replace("username=boss", "username=" + QByteArray(65, 'x')) << 400 << true;
    QTest::newRow("line break in a name") << QByteArray("POST") << reg << QByteArray(good).replace("firstname=Ana", "firstname=A%0D%0Ana") << 400 << true;
    QTest::newRow("not an address") << QByteArray("POST") << reg << QByteArray(good).replace("boss%40example.com", "boss") << 400 << true;
    // Refused from its announced length, before any of it is read.
    QTest::newRow("body over 1 MiB") << QByteArray("POST") << reg << good + "&x=" + QByteArray(1100000, 'a') << 413 << true;
    QTest::newRow("id out of range") << QByteArray("GET") << "/alertsystem/admin/deleteuser.php" + kStamp + "&id=32768" << QByteArray() << 404 << false;
    QTest::newRow("ten-digit id") << QByteArray("GET") << "/alertsystem/admin/deleteuser.php" + kStamp + "&id=9999999999" << QByteArray() << 404 << false;
    QTest::newRow("negative id") << QByteArray("GET") << "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=-1" << QByteArray() << 403 << false;
    QTest::newRow("GET to a POST endpoint") << QByteArray("GET") << reg << QByteArray() << 405 << true;
    QTest::newRow("unknown page") << QByteArray("GET") << QStringLiteral("/alertsystem/nothing.php") << QByteArray() << 404 << true;
    QTest::newRow("outside the tree") << QByteArray("GET") << QStringLiteral("/etc/passwd") << QByteArray() << 404 << true;
    QTest::newRow("PUT") << QByteArray("PUT") << reg << good << 405 << true;
    // Alerts and logouts are the command line's, through the store alone.
    QTest::newRow("alert control") << QByteArray("POST") << QStringLiteral("/alertsystem/control/alert.php")
                                   << QByteArray("user=ann&text=x") << 404 << true;
    QTest::newRow("logout control") << QByteArray("POST") << QStringLiteral("/alertsystem/control/logout.php")
                                    << QByteArray("user=ann") << 404 << true;
}

void TestAlertServer::badRequestsGetWellFormedErrors()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(bool, xml);
    RunningServer &s = *m_server;
    const auto reply = s.wizard(method, path, body);
    QVERIFY(reply.ok);
    QCOMPARE(reply.status, status);
    QCOMPARE(replyChildren(reply.body).value(0), xml ? QStringLiteral("ERROR") : QStringLiteral("<not well-formed>"));
    QCOMPARE(s.count("SELECT count(*) FROM admins"), 0);
    QVERIFY(s.outboxFiles().isEmpty());
    QVERIFY(s.intact());
}

void TestAlertServer::concurrentRequestsKeepTheStoreConsistent()
{
    RunningServer &s = *m_server;
    const int admin = activeAdmin(QStringLiteral("boss"));
    addUser(admin, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    QCOMPARE(replyChildren(s.client("/alertsystem/login.php?username=ann&password=pw").body), QStringList{QStringLiteral("1")});
    QVERIFY(s.store->sessions().raise(QStringLiteral("ann"), QStringLiteral("one alert")));

    // Many requests in flight at once: 30 distinct adds, 10 adds of one name,
    // and 20 polls racing for one alert.
    std::vector<std::unique_ptr<common::HttpExchange>> exchanges;
    auto start = [&](const QByteArray &method, const QString &path, const QByteArray &body) {
        auto ex = std::make_unique<common::HttpExchange>();
        ex->start(method, s.base + path, {{"Content-Type", "application/x-www-form-urlencoded"}}, body);
        exchanges.push_back(std::move(ex));
    };
    const QString add = "/alertsystem/admin/adduser.php" + kStamp;
    for (int i = 0; i < 30; ++i)
        start("POST", add, addUserBody({QStringLiteral("user%1").arg(i), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}, admin));
    for (int i = 0; i < 10; ++i)
        start("POST", add, addUserBody({QStringLiteral("same"), QStringLiteral("pw%1").arg(i), {}, {}, {}, {}, {}, {}}, admin));
    for (int i = 0; i < 20; ++i)
        start("GET", QStringLiteral("/alertsystem/status.php?username=ann"), {});
    // And six registrations of one new name, each with its own password.
    for (int i = 0; i < 6; ++i) {
        Admin a;
        a.username = QStringLiteral("newcomer");
        a.password = QStringLiteral("pw%1").arg(i);
        start("POST", "/alertsystem/admin/register.php" + kStamp, registrationBody(a));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(exchanges.begin(), exchanges.end(), [](const auto &e) { return e->isFinished(); }), testsupport::patient(30000));

    QSet<QString> ids;
    int sameAdded = 0, sameRefused = 0, ones = 0, registered = 0;
    for (size_t i = 0; i < exchanges.size(); ++i) {
        QVERIFY(exchanges[i]->result().ok);
        const QStringList c = replyChildren(exchanges[i]->result().body);
        if (i < 30) {
            QCOMPARE(c.value(0), QStringLiteral("USERADDED"));
            ids.insert(c.value(1));
        } else if (i < 40) {
            if (c.value(0) == QLatin1String("USERADDED"))
                ++sameAdded, ids.insert(c.value(1));
            else if (c.value(0) == QLatin1String("CANOTADD"))
                ++sameRefused;
        } else if (i < 60) {
            ones += c.value(0) == QLatin1String("1");
        } else {
            registered += c.value(0) == QLatin1String("REGISTEROK");
        }
    }
    QCOMPARE(registered, 1);
    QCOMPARE(sameAdded, 1);
    QCOMPARE(sameRefused, 9);
    QCOMPARE(ids.size(), 31);
    QCOMPARE(ones, 1);
    QCOMPARE(s.count("SELECT count(*) FROM users"), 32);
    QCOMPARE(s.count("SELECT count(*) FROM admins"), 2);
    QVERIFY(s.intact());

    // Four deliveries at once claim each queued message once.
    QList<alertserver::Mail> mails;
    for (int i = 0; i < 20; ++i)
        mails.append({QStringLiteral("m%1@example.com").arg(i), QStringLiteral("s"), QStringLiteral("b")});
    QCOMPARE(s.store->mailQueue().queueFrom(admin, mails), 20);
    const qint64 queued = s.count("SELECT count(*) FROM mail_queue");
    std::vector<std::vector<qint64>> claimed(4);
    std::vector<std::thread> deliveries;
    for (auto &mine : claimed)
        deliveries.emplace_back([&s, &mine] {
            while (const auto m = s.store->mailQueue().claim())
                mine.push_back(m->id);
        });
    for (auto &t : deliveries)
        t.join();
    QSet<qint64> once;
    qsizetype claims = 0;
    for (const auto &mine : claimed) {
        claims += qsizetype(mine.size());
        once.unite(QSet<qint64>(mine.begin(), mine.end()));
    }
    QCOMPARE(claims, queued);
    QCOMPARE(qsizetype(once.size()), queued);
}

void TestAlertServer::idsStayWithinSixteenBits()
{
    RunningServer &s = *m_server;
    const int admin = activeAdmin(QStringLiteral("boss"));
    QVERIFY(admin > 0);
    QVERIFY(addUser(admin, {QStringLiteral("first"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}) == 1);
    {
        auto db = s.inspect();
        db->exec("UPDATE counters SET value = 32766 WHERE name = 'users'");
    }
    QCOMPARE(addUser(admin, {QStringLiteral("last"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}), 32767);
    // Past the top, the lowest free id is used again.
    QCOMPARE(addUser(admin, {QStringLiteral("reuse"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}), 2);
    {
        // Fill every id; the next add is refused, never given an id above 32767.
        auto db = s.inspect();
        const QByteArray sql = "WITH RECURSIVE n(i) AS (SELECT 3 UNION ALL SELECT i + 1 FROM n WHERE i < 32766) "
                               "INSERT INTO users(id, admin_id, username, name_key, password, firstname, lastname, tel, "
                               "email, wirelessno, carrier, created_at) SELECT i, " + QByteArray::number(admin)
            + ", 'u' || i, 'u' || i, 'pw', '', '', '', '', '', '', 0 FROM n";
        db->execScript(sql.constData());
    }
    const auto reply = s.wizard("POST", "/alertsystem/admin/adduser.php" + kStamp,
                                addUserBody({QStringLiteral("onemore"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}, admin));
    QCOMPARE(replyChildren(reply.body), QStringList{QStringLiteral("CANOTADD")});
    QCOMPARE(s.count("SELECT max(id) FROM users"), 32767);
}

namespace {

// What the store's tables and indexes are, as "table.column" and "index:name".
QStringList layoutOf(alertserver::Connection &db)
{
    QStringList out;
    const bool sqlite = db.dialect() == alertserver::Dialect::Sqlite;
    alertserver::Query columns = sqlite
        ? db.query("SELECT m.name, p.name FROM sqlite_master m JOIN pragma_table_info(m.name) p "
                   "WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite%' ORDER BY m.name, p.cid")
        : db.query("SELECT table_name, column_name FROM information_schema.columns WHERE table_schema = current_schema() "
                   "AND table_name <> 'store_version' ORDER BY table_name, ordinal_position");
    while (columns.next())
        out << columns.text(0) + u'.' + columns.text(1);
    // Indexes made by name (not those behind a key or a UNIQUE column).
    alertserver::Query indexes = sqlite
        ? db.query("SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL ORDER BY name")
        : db.query("SELECT indexname FROM pg_indexes i WHERE schemaname = current_schema() "
                   "AND NOT EXISTS (SELECT 1 FROM pg_constraint c WHERE c.conname = i.indexname) ORDER BY indexname");
    while (indexes.next())
        out << QStringLiteral("index:") + indexes.text(0);
    return out;
}

int versionOf(alertserver::Connection &db)
{
    alertserver::Query q = db.dialect() == alertserver::Dialect::Sqlite ? db.query("PRAGMA user_version")
                                                                        : db.query("SELECT version FROM store_version");
    return q.next() ? int(q.integer(0)) : -1;
}

} // namespace

void TestAlertServer::storeIsVersionedAndRefusesWhatItCannotRead()
{
    QTemporaryDir dir;
    testsupport::TestDatabase database(dir.path(), QStringLiteral("s.db"));
    const QString where = database.location();
    {
        alertserver::Store store(where);
        QVERIFY(store.sessions().raise(QStringLiteral("nobody"), QStringLiteral("x")) == std::nullopt);
        alertserver::AdminRegistration reg;
        reg.username = QStringLiteral("keep");
        reg.password = QStringLiteral("pw");
        QCOMPARE(store.admins().registerAdmin(reg).outcome, alertserver::Admins::Registration::Registered);
    }
    {
        // Reopened: the data is there, the schema untouched.
        alertserver::Store store(where);
        QVERIFY(store.admins().idByName(QStringLiteral("keep")).has_value());
        auto db = database.connect();
        QCOMPARE(versionOf(*db), alertserver::Store::kSchemaVersion);
        if (!database.isPostgres()) {
            auto j = db->query("PRAGMA journal_mode");
            QVERIFY(j.next());
            QCOMPARE(j.text(0), QStringLiteral("wal"));
        }
    }
    {
        // Servers started together on a new store make its schema once.
        testsupport::TestDatabase fresh(dir.path(), QStringLiteral("fresh.db"));
        std::atomic<int> opened{0};
        std::vector<std::thread> starting;
        for (int i = 0; i < 3; ++i)
            starting.emplace_back([&] {
                try {
                    alertserver::Store store(fresh.location(), 1000);
                    ++opened;
                } catch (const std::exception &e) {
                    qWarning("%s", e.what());
                }
            });
        for (auto &t : starting)
            t.join();
        QCOMPARE(opened.load(), 3);
    }
    if (database.isPostgres()) {
        // The same tables, columns and indexes as a new SQLite store, and
        // every table is one the store copies.
        QTemporaryDir other;
        alertserver::Store sqlite(other.filePath(QStringLiteral("s.db")));
        alertserver::SqliteConnection lite(sqlite.location());
        const QStringList layout = layoutOf(*database.connect());
        QCOMPARE(layout, layoutOf(lite));
        QSet<QString> tables;
        for (const QString &entry : layout)
            if (!entry.startsWith(QLatin1String("index:")))
                tables.insert(entry.section(u'.', 0, 0));
        const QStringList copied = alertserver::Store::tables();
        QCOMPARE(tables, QSet<QString>(copied.begin(), copied.end()));
    }
    database.connect()->execScript(database.isPostgres() ? "UPDATE store_version SET version = 99" : "PRAGMA user_version = 99");
    QVERIFY_THROWS_EXCEPTION(alertserver::StoreError, alertserver::Store store(where));

    // A database that holds tables of something else.
    testsupport::TestDatabase foreign(dir.path(), QStringLiteral("foreign.db"));
    foreign.connect()->exec("CREATE TABLE t(x INTEGER)");
    QVERIFY_THROWS_EXCEPTION(alertserver::StoreError, alertserver::Store store(foreign.location()));
    if (database.isPostgres())
        return;
    const QString junk = dir.filePath(QStringLiteral("junk.db"));
    QFile f(junk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'j'));
    f.close();
    QVERIFY_THROWS_EXCEPTION(alertserver::StoreError, alertserver::Store store(junk));
}

void TestAlertServer::alertHistoryIsBounded()
{
    RunningServer &s = *m_server;
    const int admin = activeAdmin(QStringLiteral("boss"));
    addUser(admin, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    addUser(admin, {QStringLiteral("bob"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    QVERIFY(s.store->sessions().raise(QStringLiteral("bob"), QStringLiteral("bob's only alert")));
    const int total = alertserver::Store::kAlertsKept + 5;
    for (int i = 1; i <= total; ++i)
        QVERIFY(s.store->sessions().raise(QStringLiteral("ann"), QStringLiteral("alert %1").arg(i)));
    const auto ann = s.store->users().byName(QStringLiteral("ann"));
    QVERIFY(ann);
    const auto kept = s.store->sessions().alertsOf(ann->id, total);
    QCOMPARE(kept.size(), alertserver::Store::kAlertsKept);
    QCOMPARE(kept.first().text, QStringLiteral("alert %1").arg(total));
    QCOMPARE(kept.last().text, QStringLiteral("alert 6"));
    // Another user's history is not touched.
    QCOMPARE(s.store->sessions().alertsOf(s.store->users().byName(QStringLiteral("bob"))->id, 10).size(), 1);
}

void TestAlertServer::adminPagesAnswerOnlyTheAddressesSignedInFrom()
{
    RunningServer &s = *m_server;
    const int boss = activeAdmin(QStringLiteral("boss")); // signed in from 127.0.0.1
    const NewUser ann{QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, QStringLiteral("ann@example.com"), {}, {}};
    const int annId = addUser(boss, ann);
    QVERIFY(boss > 0 && annId > 0);
    const qsizetype mails = s.outboxFiles().size();

    const QString list = "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=" + QString::number(boss);
    const QString remove = "/alertsystem/admin/deleteuser.php" + kStamp + "&id=" + QString::number(annId);
    const QByteArray edit = "password=stolen&lastname=&firstname=&telnos=&email=&wirelessno=&serviceprovider=&id="
        + QByteArray::number(annId);
    const QByteArray mail = "v1=q804&mails[]=ann%40example.com&mrgID=" + QByteArray::number(boss);
    const QStringList notXml{QStringLiteral("<not well-formed>")};
    // Each refusal reads as a failure on its page: the user list page's as
    // no XML, the add dialog's as CANOTADD, the edit dialog's as no EDITUSER.
    auto refused = [&](const char *address, const QByteArray &headers) {
        QCOMPARE(replyChildren(s.from(address, "GET", list, {}, headers).body), notXml);
        QCOMPARE(replyChildren(s.from(address, "GET", remove, {}, headers).body), notXml);
        QCOMPARE(replyChildren(s.from(address, "POST", "/alertsystem/admin/sendemail.php" + kStamp + "&id=0", mail, headers).body),
                 notXml);
        QCOMPARE(replyChildren(s.from(address, "POST", "/alertsystem/admin/adduser.php" + kStamp,
                                      addUserBody({QStringLiteral("carl"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}, boss),
                                      headers).body),
                 QStringList{QStringLiteral("CANOTADD")});
        const QStringList edited = replyChildren(s.from(address, "POST", "/alertsystem/admin/edituser.php" + kStamp, edit, headers).body);
        QVERIFY(edited.value(0) != QLatin1String("EDITUSER"));
    };
    // From another machine, and from the administrator's own through a web page.
    refused("127.0.0.2", {});
    refused("127.0.0.1", "Origin: http://evil.example\r\n");
    refused("127.0.0.1", "Referer: http://evil.example/page\r\n");
    refused("127.0.0.1", "Sec-Fetch-Site: cross-site\r\n");
    QCOMPARE(s.count("SELECT count(*) FROM users"), 1);
    QCOMPARE(s.store->users().byName(ann.username)->password, ann.password);
    QCOMPARE(s.outboxFiles().size(), mails);

    // Another administrator, signed in elsewhere, reaches only their own users.
    const int eve = activeAdmin(QStringLiteral("eve"), "127.0.0.3");
    QVERIFY(eve > 0);
    QCOMPARE(replyChildren(s.from("127.0.0.3", "GET", remove).body), notXml);
    QCOMPARE(replyChildren(s.from("127.0.0.3", "GET", "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=" + QString::number(eve)).body),
             QStringList());
    // Each login binds one more machine; the first keeps working.
    QCOMPARE(replyChildren(s.from("127.0.0.2", "POST", "/alertsystem/admin/login.php" + kStamp, loginBody(QStringLiteral("boss"), Admin().password)).body).value(0),
             QStringLiteral("LOGINOK"));
    QCOMPARE(userChildren(s.from("127.0.0.2", "GET", list).body, 0).value(1), ann.username);
    QCOMPARE(userChildren(s.wizard("GET", list).body, 0).value(1), ann.username);
    // A binding not used for longer than the session hours ends.
    s.inspect()->exec("UPDATE admin_sessions SET last_used = last_used - 9 * 3600 WHERE address = '127.0.0.2'");
    QCOMPARE(replyChildren(s.from("127.0.0.2", "GET", list).body), notXml);

    // Administrator ids are not handed out in sequence.
    const int third = activeAdmin(QStringLiteral("max"));
    QVERIFY(third > 0);
    QVERIFY(!(eve == boss + 1 && third == eve + 1));
}

void TestAlertServer::clientSessionsBelongToTheirAddress()
{
    RunningServer &s = *m_server;
    addUser(activeAdmin(QStringLiteral("boss")), {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    const char *desk = "127.0.0.1";
    const char *laptop = "127.0.0.2";
    const char *stranger = "127.0.0.3";
    auto login = [&](const char *peer) {
        return replyChildren(as(peer, "GET", QStringLiteral("/alertsystem/login.php?username=ann&password=pw")).body).value(0);
    };
    auto status = [&](const char *peer) {
        return replyChildren(as(peer, "GET", QStringLiteral("/alertsystem/status.php?username=ann")).body).value(0);
    };
    auto page = [&](const char *peer) {
        return as(peer, "GET", QStringLiteral("/alertsystem/alerts.php?_vartime=1&username=ann")).body;
    };
    auto alert = [&](const QString &text) { return s.store->sessions().raise(QStringLiteral("ann"), text).has_value(); };

    QCOMPARE(login(desk), QStringLiteral("1"));
    QVERIFY(alert(QStringLiteral("first")));
    // A caller without a session is told 2, uses nothing up and sees nothing.
    QCOMPARE(status(stranger), QStringLiteral("2"));
    QVERIFY(!page(stranger).contains("first"));
    QCOMPARE(status(desk), QStringLiteral("1"));
    QCOMPARE(status(desk), QStringLiteral("0"));
    QVERIFY(page(desk).contains("first"));

    // A second desktop hears of what comes after its login, both hear of
    // every alert once, and logging in again knocks neither out.
    QCOMPARE(login(laptop), QStringLiteral("1"));
    QCOMPARE(status(laptop), QStringLiteral("0"));
    QVERIFY(alert(QStringLiteral("second")));
    QCOMPARE(status(laptop), QStringLiteral("1"));
    QCOMPARE(login(desk), QStringLiteral("1"));
    QCOMPARE(status(desk), QStringLiteral("1"));
    QCOMPARE(status(laptop), QStringLiteral("0"));
    QCOMPARE(status(desk), QStringLiteral("0"));

    // A session in use stays alive: its polls move its time on. (Time is
    // moved behind the server's back, so it forgets what polls established.)
    auto age = [&](int hours) {
        s.inspect()->exec("UPDATE client_sessions SET last_poll = last_poll - ?", hours * 3600);
        s.store->sessions().forget();
    };
    age(23);
    QCOMPARE(status(desk), QStringLiteral("0"));
    age(2);
    QCOMPARE(status(desk), QStringLiteral("0"));

    // A day without a poll ends a session; an alert raised while none is
    // live waits for the next one.
    age(25);
    QCOMPARE(status(desk), QStringLiteral("2"));
    QVERIFY(alert(QStringLiteral("third")));
    QCOMPARE(login(laptop), QStringLiteral("1"));
    QCOMPARE(status(laptop), QStringLiteral("1"));
    QCOMPARE(status(desk), QStringLiteral("2"));

    // Sessions per user: every caller shares one, and any can use it up.
    alertserver::Policy perUser = s.store->policy();
    perUser.sessionPerAddress = false;
    s.store->setPolicy(perUser);
    QCOMPARE(login(desk), QStringLiteral("1"));
    QVERIFY(alert(QStringLiteral("fourth")));
    QCOMPARE(status(stranger), QStringLiteral("1"));
    QCOMPARE(status(desk), QStringLiteral("0"));
}

void TestAlertServer::newPasswordDeletionAndLogoutEndEverySession()
{
    const int boss = activeAdmin(QStringLiteral("boss"));
    const int ann = addUser(boss, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    QVERIFY(ann > 0);
    auto login = [&](const char *peer, const char *password) {
        return replyChildren(as(peer, "GET", QStringLiteral("/alertsystem/login.php?username=ann&password=") + password).body).value(0);
    };
    auto status = [&](const char *peer) {
        return replyChildren(as(peer, "GET", QStringLiteral("/alertsystem/status.php?username=ann")).body).value(0);
    };
    auto edit = [&](const char *password, const char *lastname) {
        const QByteArray body = QByteArray("password=") + password + "&lastname=" + lastname
            + "&firstname=&telnos=&email=&wirelessno=&serviceprovider=&id=" + QByteArray::number(ann);
        return replyChildren(as("127.0.0.1", "POST", "/alertsystem/admin/edituser.php" + kStamp, body).body).value(0);
    };
    const char *desk = "127.0.0.2";
    const char *thief = "127.0.0.3";
    QCOMPARE(login(desk, "pw"), QStringLiteral("1"));
    QCOMPARE(login(thief, "pw"), QStringLiteral("1"));
    // Editing other details keeps the sessions; a new password ends them all.
    QCOMPARE(edit("pw", "Lima"), QStringLiteral("EDITUSER"));
    QCOMPARE(status(thief), QStringLiteral("0"));
    QCOMPARE(edit("new", "Lima"), QStringLiteral("EDITUSER"));
    QVERIFY(m_server->store->sessions().raise(QStringLiteral("ann"), QStringLiteral("secret")));
    QCOMPARE(status(thief), QStringLiteral("2"));
    QCOMPARE(status(desk), QStringLiteral("2"));
    QVERIFY(!as(thief, "GET", QStringLiteral("/alertsystem/alerts.php?_vartime=1&username=ann")).body.contains("secret"));
    QCOMPARE(login(thief, "pw"), QStringLiteral("0"));

    QCOMPARE(login(desk, "new"), QStringLiteral("1"));
    QVERIFY(m_server->store->sessions().logout(QStringLiteral("ann")));
    QCOMPARE(status(desk), QStringLiteral("2"));
    QCOMPARE(login(desk, "new"), QStringLiteral("1"));
    QVERIFY(m_server->store->users().remove(ann));
    QCOMPARE(status(desk), QStringLiteral("2"));
}

void TestAlertServer::serversOnOneStoreAgreeOnPolls()
{
    // Two servers on one store: polls with nothing new are answered from
    // each one's memory, yet every change made through one is heard by the
    // other.
    RunningServer &s = *m_server;
    const int boss = activeAdmin(QStringLiteral("boss"));
    const int other = activeAdmin(QStringLiteral("other"));
    const int ann = addUser(boss, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    addUser(other, {QStringLiteral("bob"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    alertserver::Store &one = *s.store;
    alertserver::Store two(s.database.location());
    const QString desk = QStringLiteral("127.0.0.2");
    auto poll = [&](alertserver::Store &store, const char *name) {
        return store.sessions().poll(QLatin1String(name), desk);
    };
    // Nothing new, and the second poll answered from memory.
    auto settle = [&](alertserver::Store &store, const char *name) {
        if (poll(store, name) != 0)
            return false;
        const qint64 before = store.sessions().answeredFromMemory();
        return poll(store, name) == 0 && store.sessions().answeredFromMemory() == before + 1;
    };
    QVERIFY(one.sessions().login(QStringLiteral("ann"), QStringLiteral("pw"), desk));
    QVERIFY(one.sessions().login(QStringLiteral("bob"), QStringLiteral("pw"), desk));
    QVERIFY(settle(one, "ann") && settle(two, "ann"));

    // An alert raised through one is told once, by whichever polls first.
    QVERIFY(one.sessions().raise(QStringLiteral("ann"), QStringLiteral("fire")));
    QCOMPARE(poll(two, "ann"), 1);
    QCOMPARE(poll(one, "ann"), 0);
    QCOMPARE(poll(two, "ann"), 0);
    QVERIFY(settle(one, "ann") && settle(two, "ann"));
    QVERIFY(two.sessions().raise(QStringLiteral("ann"), QStringLiteral("flood")));
    QCOMPARE(poll(one, "ann"), 1);
    QCOMPARE(poll(two, "ann"), 0);

    // Ended sessions, deleted users and administrators: the other hears.
    QVERIFY(settle(two, "ann"));
    QVERIFY(one.sessions().logout(QStringLiteral("ann")));
    QCOMPARE(poll(two, "ann"), 2);
    QVERIFY(two.sessions().login(QStringLiteral("ann"), QStringLiteral("pw"), desk));
    QVERIFY(settle(two, "ann"));
    QVERIFY(one.users().remove(ann));
    QCOMPARE(poll(two, "ann"), 2);
    QVERIFY(settle(one, "bob") && settle(two, "bob"));
    QVERIFY(two.admins().remove(QStringLiteral("other")));
    QCOMPARE(poll(one, "bob"), 2);
}

void TestAlertServer::limitsStopGuessingAndFlooding()
{
    RunningServer &s = *m_server;
    alertserver::Policy p;
    p.loginFailuresPerName = 3;
    p.loginFailuresPerAddress = 5;
    p.registrationsPerAddress = 2;
    p.mailsPerRecipient = 2;
    p.usersPerAdmin = 2;
    s.store->setPolicy(p);
    const int boss = activeAdmin(QStringLiteral("boss"));
    QVERIFY(addUser(boss, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, QStringLiteral("ann@example.com"), {}, {}}) > 0);
    QVERIFY(addUser(boss, {QStringLiteral("bob"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}) > 0);
    QCOMPARE(addUser(boss, {QStringLiteral("carl"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}), 0);

    auto login = [&](const char *peer, const QString &name, const QString &password) {
        return replyChildren(as(peer, "GET", "/alertsystem/login.php?" + query(QStringLiteral("username"), name) + u'&'
                                                 + query(QStringLiteral("password"), password)).body);
    };
    const QStringList notXml{QStringLiteral("<not well-formed>")};
    for (int i = 0; i < 3; ++i)
        QCOMPARE(login("127.0.0.2", QStringLiteral("ann"), QStringLiteral("guess")), QStringList{QStringLiteral("0")});
    // Locked for every caller, with a reply the client takes as unreadable
    // (never "0" or "ERROR", which would switch its automatic login off).
    QCOMPARE(login("127.0.0.2", QStringLiteral("ann"), QStringLiteral("pw")), notXml);
    QCOMPARE(login("127.0.0.3", QStringLiteral("ANN"), QStringLiteral("pw")), notXml);
    QCOMPARE(login("127.0.0.3", QStringLiteral("bob"), QStringLiteral("pw")), QStringList{QStringLiteral("1")});
    for (int i = 0; i < 5; ++i)
        login("127.0.0.4", QStringLiteral("nobody%1").arg(i), QStringLiteral("x"));
    QCOMPARE(login("127.0.0.4", QStringLiteral("bob"), QStringLiteral("pw")), notXml);

    // Administrator logins alike, refused as INVALID.
    const QString adminLogin = "/alertsystem/admin/login.php" + kStamp;
    for (int i = 0; i < 3; ++i)
        QCOMPARE(replyChildren(as("127.0.0.5", "POST", adminLogin, loginBody(QStringLiteral("boss"), QStringLiteral("guess"))).body).value(0),
                 QStringLiteral("INVALID"));
    QCOMPARE(replyChildren(as("127.0.0.6", "POST", adminLogin, loginBody(QStringLiteral("boss"), Admin().password)).body).value(0),
             QStringLiteral("INVALID"));

    // Registrations per address.
    QStringList outcomes;
    for (const QString &name : {QStringLiteral("r1"), QStringLiteral("r2"), QStringLiteral("r3")}) {
        Admin a;
        a.username = name;
        a.email = name + QStringLiteral("@example.com");
        outcomes << replyChildren(as("127.0.0.7", "POST", "/alertsystem/admin/register.php" + kStamp, registrationBody(a)).body).value(0);
    }
    QCOMPARE(outcomes, (QStringList{QStringLiteral("REGISTEROK"), QStringLiteral("REGISTEROK"), QStringLiteral("ERROR")}));

    // Mails per recipient.
    const QByteArray mail = "v1=q804&mails[]=ann%40example.com&mrgID=" + QByteArray::number(boss);
    QStringList counts;
    for (int i = 0; i < 3; ++i)
        counts << replyChildren(as("127.0.0.1", "POST", "/alertsystem/admin/sendemail.php" + kStamp + "&id=0", mail).body).value(1);
    QCOMPARE(counts, (QStringList{QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0")}));
}

void TestAlertServer::refusedIdsCountAgainstTheAddress()
{
    RunningServer &s = *m_server;
    alertserver::Policy p;
    p.loginFailuresPerAddress = 6;
    s.store->setPolicy(p);
    const int boss = activeAdmin(QStringLiteral("boss")); // bound to 127.0.0.1
    const int ann = addUser(boss, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, QStringLiteral("ann@example.com"), {}, {}});
    QVERIFY(boss > 0 && ann > 0);
    const int other = boss % 32767 + 1;
    const QString list = "/alertsystem/admin/getusers.php" + kStamp + "&mrgID=";
    const QStringList notXml{QStringLiteral("<not well-formed>")};
    auto users = [&](const char *peer, int id) { return replyChildren(as(peer, "GET", list + QString::number(id)).body); };
    // One refusal of each binding check, from the administrator's own address
    // (an office behind one address): the sixth reaches the limit.
    QCOMPARE(users("127.0.0.1", other), notXml);
    QCOMPARE(replyChildren(as("127.0.0.1", "POST", "/alertsystem/admin/adduser.php" + kStamp,
                              addUserBody({QStringLiteral("carl"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}, other)).body),
             QStringList{QStringLiteral("CANOTADD")});
    QCOMPARE(replyChildren(as("127.0.0.1", "POST", "/alertsystem/admin/sendemail.php" + kStamp + "&id=0",
                              "v1=q804&mails[]=ann%40example.com&mrgID=" + QByteArray::number(other)).body),
             notXml);
    const QByteArray edit = "password=x&lastname=&firstname=&telnos=&email=&wirelessno=&serviceprovider=&id=" + QByteArray::number(ann + 1);
    QVERIFY(replyChildren(as("127.0.0.1", "POST", "/alertsystem/admin/edituser.php" + kStamp, edit).body).value(0) != QLatin1String("EDITUSER"));
    QCOMPARE(replyChildren(as("127.0.0.1", "GET", "/alertsystem/admin/deleteuser.php" + kStamp + "&id=" + QString::number(ann + 1)).body), notXml);
    // Answered ids cost nothing.
    QCOMPARE(userChildren(as("127.0.0.1", "GET", list + QString::number(boss)).body, 0).value(1), QStringLiteral("ann"));
    QCOMPARE(users("127.0.0.1", other), notXml);
    // The limit holds: the right id is refused as any other, in the same
    // shape, until the window ends; elsewhere the administrator works on.
    QCOMPARE(users("127.0.0.1", boss), notXml);
    s.store->admins().bind(boss, QStringLiteral("127.0.0.2"));
    QCOMPARE(userChildren(as("127.0.0.2", "GET", list + QString::number(boss)).body, 0).value(1), QStringLiteral("ann"));

    // IPv6 callers count by their /64.
    s.store->admins().bind(boss, QStringLiteral("2001:db8:1:2::99"));
    s.store->admins().bind(boss, QStringLiteral("2001:db8:1:3::99"));
    for (int i = 0; i < 6; ++i)
        QCOMPARE(users(QByteArray("2001:db8:1:2::" + QByteArray::number(i + 1)).constData(), other), notXml);
    QCOMPARE(users("2001:db8:1:2::99", boss), notXml);
    QCOMPARE(userChildren(as("2001:db8:1:3::99", "GET", list + QString::number(boss)).body, 0).value(1), QStringLiteral("ann"));
}

void TestAlertServer::attemptsSentAtOnceStayWithinTheLimits()
{
    RunningServer &s = *m_server;
    const int boss = activeAdmin(QStringLiteral("boss"));
    QVERIFY(addUser(boss, {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}) > 0);
    const QString clientLogin = s.base + QStringLiteral("/alertsystem/login.php?username=ann&password=");
    // A right password gives its attempt back: a client that restarts all
    // day long never locks its user out.
    for (int i = 0; i < 12; ++i)
        QCOMPARE(replyChildren(s.client(QStringLiteral("/alertsystem/login.php?username=ann&password=pw")).body).value(0), QStringLiteral("1"));

    // 100 guesses at once, for an administrator and for a user: the limit
    // per name (10) bounds the passwords checked.
    auto burst = [&](const QByteArray &method, const QString &url, const QByteArray &body) {
        std::vector<std::unique_ptr<common::HttpExchange>> exchanges;
        for (int i = 0; i < 100; ++i) {
            exchanges.push_back(std::make_unique<common::HttpExchange>());
            exchanges.back()->start(method, url, {{"Content-Type", "application/x-www-form-urlencoded"}}, body);
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(exchanges.cbegin(), exchanges.cend(), [](const auto &e) { return e->isFinished(); }),
                                 testsupport::patient(120000));
    };
    s.store->work().reset();
    burst("POST", s.base + "/alertsystem/admin/login.php" + kStamp, loginBody(QStringLiteral("boss"), QStringLiteral("guess")));
    QCOMPARE(s.store->work().hashes.load(), 10);
    s.store->work().reset();
    burst("GET", clientLogin + QStringLiteral("guess"), {});
    QCOMPARE(s.store->work().passwordChecks.load(), 10);
}

void TestAlertServer::mailAddressesNameOneMailbox()
{
    for (const char *good : {"ann@example.com", "ANN.LEE@Mail-1.example.org", "a_b@c.io"})
        QVERIFY2(alertserver::validation::isMailAddress(QLatin1String(good)), good);
    for (const char *bad : {"a@x.com, b@y.com", "a@x.com;b@y.com", "a@b@c.com", "@a.bc", "not an address@", "a@b.info",
                            "a.b@c", "a+b@c.com", "ann@example.c0m", "\xc3\xa4@example.com"})
        QVERIFY2(!alertserver::validation::isMailAddress(QString::fromUtf8(bad)), bad);
    // The wizard's own check (tested with the text rules) lets these two
    // pass; the server stores only an address that names one mailbox.
    for (const char *wizardOnly : {"a@b@c.com", "@a.bc"})
        QVERIFY2(common::IsValidEmail(QLatin1String(wizardOnly)), wizardOnly);

    // Nothing is stored with such an address.
    RunningServer &s = *m_server;
    const int boss = activeAdmin(QStringLiteral("boss"));
    const auto added = s.wizard("POST", "/alertsystem/admin/adduser.php" + kStamp,
                                addUserBody({QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {},
                                             QStringLiteral("a@x.com, b@y.com, c@z.com"), {}, {}}, boss));
    QVERIFY(replyChildren(added.body).value(0) != QLatin1String("USERADDED"));
    Admin a;
    a.username = QStringLiteral("other");
    a.email = QStringLiteral("not an address@");
    QVERIFY(replyChildren(s.wizard("POST", "/alertsystem/admin/register.php" + kStamp, registrationBody(a)).body).value(0)
            != QLatin1String("REGISTEROK"));
    QCOMPARE(s.count("SELECT count(*) FROM users"), 0);
    QCOMPARE(s.count("SELECT count(*) FROM admins"), 1);
}

void TestAlertServer::failuresAreLoggedAndAnsweredWithANumber()
{
    RunningServer &s = *m_server;
    if (s.database.isPostgres())
        QSKIP("a locked store is SQLite's: PostgreSQL waits on its row locks without a time-out");
    const int boss = activeAdmin(QStringLiteral("boss"));
    const int ann = addUser(boss, {QStringLiteral("ann"), QStringLiteral("secret"), {}, {}, {}, {}, {}, {}});
    QVERIFY(ann > 0);
    const QByteArray token = s.store->tokens().create(boss).token;

    // Another process holds the store's write lock past the busy time-out:
    // every change a page tries fails inside the server.
    auto holder = s.inspect();
    holder->execScript("BEGIN EXCLUSIVE");
    StderrCapture log;
    alertserver::HttpReply login, deleted, published;
    {
        std::thread a([&] { login = as("127.0.0.1", "GET", "/alertsystem/login.php?username=ann&password=secret"); });
        std::thread b([&] {
            deleted = as("127.0.0.1", "GET", "/alertsystem/admin/deleteuser.php" + kStamp + "&id=" + QString::number(ann));
        });
        alertserver::HttpRequest api;
        api.method = "POST";
        api.target = "/api/v1/alerts?user=ann";
        api.body = "Disk full";
        api.peer = "127.0.0.1";
        api.host = "127.0.0.1";
        api.headers = {{"Host", api.host}, {"Authorization", "Bearer " + token}};
        published = s.service->handle(api);
        a.join();
        b.join();
    }
    holder->execScript("ROLLBACK");
    const QString logged = log.text();

    // Each caller gets the page's own refusal with a number and nothing of
    // the failure: XML for the client, no XML for the user list, JSON on
    // the publishing interface.
    const QRegularExpression number(QStringLiteral("^server error, reference ([0-9a-f]{8})$"));
    QCOMPARE(login.status, 500);
    const QStringList children = replyChildren(login.body);
    QCOMPARE(children.value(0), QStringLiteral("ERROR"));
    const QString first = number.match(children.value(1)).captured(1);
    QCOMPARE(deleted.status, 500);
    QCOMPARE(replyChildren(deleted.body), QStringList{QStringLiteral("<not well-formed>")});
    const QString second = number.match(QString::fromUtf8(deleted.body).trimmed()).captured(1);
    QCOMPARE(published.status, 500);
    const QString third =
        number.match(QJsonDocument::fromJson(published.body).object().value(QLatin1String("error")).toString()).captured(1);
    QVERIFY2(!first.isEmpty() && !second.isEmpty() && !third.isEmpty(),
             (login.body + deleted.body + published.body).constData());
    for (const QByteArray &body : {login.body, deleted.body, published.body})
        QVERIFY2(!body.contains("locked") && !body.contains("sqlite"), body.constData());

    // The operator finds each by its number: the request line, secrets
    // hidden, and the reason.
    for (const QString &reference : {first, second, third}) {
        const QStringList lines = logged.split(u'\n').filter(reference);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(QLatin1String("database is locked")), qPrintable(lines[0]));
    }
    QVERIFY2(logged.contains(QLatin1String("GET /alertsystem/login.php?username=ann&password=[hidden]")), qPrintable(logged));
    QVERIFY2(!logged.contains(QLatin1String("secret")), qPrintable(logged));
    QVERIFY(logged.contains(QLatin1String("POST /api/v1/alerts?user=ann")));
    // Nothing was changed.
    QCOMPARE(s.count("SELECT count(*) FROM users"), 1);
    QCOMPARE(s.count("SELECT count(*) FROM alerts"), 0);
}

void TestAlertServer::registrationMailWaitsInTheStore()
{
    RunningServer &s = *m_server;
    // No outbox to write into: the account is stored with its mail all the same.
    const QString folder = s.outbox->folder();
    QVERIFY(QDir(folder).removeRecursively());
    QFile blocker(folder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Admin a;
    const QString reg = "/alertsystem/admin/register.php" + kStamp;
    const QStringList first = replyChildren(s.wizard("POST", reg, registrationBody(a)).body);
    QCOMPARE(first.value(0), QStringLiteral("REGISTEROK"));
    // Sent again as it was, it is the same account and its mail goes again;
    // with another password the name is taken.
    QCOMPARE(replyChildren(s.wizard("POST", reg, registrationBody(a)).body), first);
    Admin other = a;
    other.password = QStringLiteral("another");
    QCOMPARE(replyChildren(s.wizard("POST", reg, registrationBody(other)).body), QStringList{QStringLiteral("USERNAMEEXISTS")});
    QCOMPARE(s.count("SELECT count(*) FROM admins"), 1);
    QCOMPARE(s.count("SELECT count(*) FROM mail_queue"), 2);

    // Once there is an outbox (and the retry is due) both go out, with the one code.
    QVERIFY(QFile::remove(folder));
    s.inspect()->exec("UPDATE mail_queue SET next_try = 0");
    QCOMPARE(s.delivery->deliverDue(), 2);
    QCOMPARE(s.count("SELECT count(*) FROM mail_queue"), 0);
    const QStringList mails = s.outboxFiles();
    QCOMPARE(mails.size(), 2);
    const auto link = QRegularExpression(QStringLiteral("/alertsystem/admin/activate\\.php\\?code=[0-9a-f]+")).match(s.mail(mails[0]));
    QVERIFY(link.hasMatch());
    QVERIFY(s.mail(mails[1]).contains(link.captured(0)));

    // Not activated in time, the registration ends and frees its name.
    s.inspect()->exec("UPDATE admins SET created_at = created_at - 8 * 86400");
    QCOMPARE(s.client(link.captured(0)).status, 404);
    QCOMPARE(replyChildren(s.wizard("POST", reg, registrationBody(other)).body).value(0), QStringLiteral("REGISTEROK"));
}

void TestAlertServer::everyRegistrationAnswerTakesEqualWork()
{
    RunningServer &s = *m_server;
    // What one registration cost: its answer, the passwords hashed or
    // checked, the mails written.
    auto attempt = [&](const QString &name, const QString &email, const QString &password) {
        Admin a;
        a.username = name;
        a.email = email;
        a.password = password;
        s.store->work().reset();
        const qsizetype mails = s.outboxFiles().size();
        const QString answer = replyChildren(s.wizard("POST", "/alertsystem/admin/register.php" + kStamp, registrationBody(a)).body).value(0);
        return QStringList{answer, QString::number(s.store->work().hashes.load()), QString::number(s.outboxFiles().size() - mails)};
    };
    auto expect = [](const char *answer, int mails) { return QStringList{QLatin1String(answer), QStringLiteral("2"), QString::number(mails)}; };
    const QString mail = QStringLiteral("boss@example.com");
    QCOMPARE(attempt(QStringLiteral("boss"), mail, QStringLiteral("pw")), expect("REGISTEROK", 1));
    QCOMPARE(attempt(QStringLiteral("nora"), QStringLiteral("nora@example.com"), QStringLiteral("pw")), expect("REGISTEROK", 1));
    QVERIFY(s.store->admins().activateByName(QStringLiteral("nora")));
    // The same work whether the pending name's address is right or not, and
    // for an active name.
    QCOMPARE(attempt(QStringLiteral("boss"), mail, QStringLiteral("pw")), expect("REGISTEROK", 1));
    QCOMPARE(attempt(QStringLiteral("boss"), QStringLiteral("other@example.com"), QStringLiteral("pw")), expect("USERNAMEEXISTS", 0));
    QCOMPARE(attempt(QStringLiteral("boss"), mail, QStringLiteral("guess")), expect("USERNAMEEXISTS", 0));
    QCOMPARE(attempt(QStringLiteral("nora"), QStringLiteral("nora@example.com"), QStringLiteral("pw")), expect("USERNAMEEXISTS", 0));
}

void TestAlertServer::administrativeChangesAreAudited()
{
    StderrCapture log;
    const int boss = activeAdmin(QStringLiteral("boss"));
    const QString login = "/alertsystem/admin/login.php" + kStamp;
    as("127.0.0.2", "POST", login, loginBody(QStringLiteral("boss"), QStringLiteral("Guess-1234")));
    const int ann = addUser(boss, {QStringLiteral("ann"), QStringLiteral("Sesame-4711"), {}, {}, {}, QStringLiteral("ann@example.com"), {}, {}});
    QVERIFY(boss > 0 && ann > 0);
    as("127.0.0.1", "POST", "/alertsystem/admin/edituser.php" + kStamp,
       "password=Sesame-9&lastname=&firstname=&telnos=&email=ann%40example.com&wirelessno=&serviceprovider=&id=" + QByteArray::number(ann));
    as("127.0.0.1", "POST", "/alertsystem/admin/sendemail.php" + kStamp + "&id=0", "v1=q804&mails[]=ann%40example.com&mrgID=" + QByteArray::number(boss));
    as("127.0.0.1", "GET", "/alertsystem/admin/deleteuser.php" + kStamp + "&id=" + QString::number(ann));
    const QString text = log.text();
    const QString admin = QStringLiteral("administrator %1").arg(boss);
    for (const QString &line : {QStringLiteral("boss from 127.0.0.1: registered as ") + admin,
                                QStringLiteral("boss from 127.0.0.1: logged in as ") + admin,
                                QStringLiteral("boss from 127.0.0.2: login failed"),
                                admin + QStringLiteral(" from 127.0.0.1: user ann added (id %1)").arg(ann),
                                admin + QStringLiteral(" from 127.0.0.1: user %1 edited").arg(ann),
                                admin + QStringLiteral(" from 127.0.0.1: download-link mails queued: 1 of 1 asked"),
                                admin + QStringLiteral(" from 127.0.0.1: user %1 deleted").arg(ann)})
        QVERIFY2(text.contains(QStringLiteral("alertserver: audit ")) && text.contains(line), qPrintable(line + u'\n' + text));
    // Secrets never: passwords, guesses.
    for (const char *secret : {"Sesame", "Guess-1234", "w\xc3\xb6rd"})
        QVERIFY2(!text.contains(QString::fromUtf8(secret)), secret);
}

void TestAlertServer::registrationPolicyIsTheOperators()
{
    RunningServer &s = *m_server;
    const QString registerPage = "/alertsystem/admin/register.php" + kStamp;
    const auto registering = [&](const QString &name, const QString &email) {
        Admin a;
        a.username = name;
        a.email = email;
        return replyChildren(s.wizard("POST", registerPage, registrationBody(a)).body).value(0);
    };
    alertserver::Policy p;
    p.registration = alertserver::Policy::Registration::Closed;
    s.store->setPolicy(p);
    QCOMPARE(registering(QStringLiteral("shut"), QStringLiteral("shut@example.org")), QStringLiteral("ERROR"));

    // Only the operator's domains, whatever their case.
    p.registration = alertserver::Policy::Registration::Approve;
    p.registrationDomains = QStringList{QStringLiteral("example.org")};
    s.store->setPolicy(p);
    QCOMPARE(registering(QStringLiteral("stranger"), QStringLiteral("x@example.org.evil.test")), QStringLiteral("ERROR"));
    QCOMPARE(registering(QStringLiteral("stranger"), QStringLiteral("x@evil.test")), QStringLiteral("ERROR"));
    QCOMPARE(s.count("SELECT count(*) FROM admins"), 0);
    QVERIFY(s.outboxFiles().isEmpty());

    // Under approval the answer and the mail are as ever, but the link does
    // not activate: approve-admin does.
    QCOMPARE(registering(QStringLiteral("boss"), QStringLiteral("boss@Example.ORG")), QStringLiteral("REGISTEROK"));
    const QStringList mails = s.outboxFiles();
    QCOMPARE(mails.size(), 1);
    const auto link = QRegularExpression(QStringLiteral("(/alertsystem/admin/activate\\.php\\?code=[0-9a-f]+)")).match(s.mail(mails.first()));
    QVERIFY(link.hasMatch());
    QCOMPARE(s.client(link.captured(1)).status, 200);
    const QString login = "/alertsystem/admin/login.php" + kStamp;
    const Admin a;
    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(QStringLiteral("boss"), a.password)).body).value(0),
             QStringLiteral("NOTACTIVE"));
    QVERIFY(s.store->admins().approve(QStringLiteral("boss")));
    QCOMPARE(replyChildren(s.wizard("POST", login, loginBody(QStringLiteral("boss"), a.password)).body).value(0),
             QStringLiteral("LOGINOK"));
    QVERIFY(s.store->admins().list().value(0).byOperator);
}

void TestAlertServer::selfRegisteredAdministratorsLeaveIdsForTheOperators()
{
    RunningServer &s = *m_server;
    alertserver::Policy p;
    p.reservedUserIds = alertserver::Store::kMaxId - 3;
    s.store->setPolicy(p);
    const int first = activeAdmin(QStringLiteral("first"));
    const int second = activeAdmin(QStringLiteral("second"));
    const int chief = activeAdmin(QStringLiteral("chief"));
    QVERIFY(s.store->admins().approve(QStringLiteral("chief")));
    const auto user = [](const char *name) { return NewUser{QLatin1String(name), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}}; };
    // The strangers' share, three users, is theirs together, not each.
    QVERIFY(addUser(first, user("a1")) > 0);
    QVERIFY(addUser(first, user("a2")) > 0);
    QVERIFY(addUser(second, user("b1")) > 0);
    QCOMPARE(addUser(second, user("b2")), 0);
    QCOMPARE(addUser(first, user("a3")), 0);
    QVERIFY(addUser(chief, user("c1")) > 0);
    QVERIFY(addUser(chief, user("c2")) > 0);
}

void TestAlertServer::versionOneStoreKeepsItsRows()
{
    if (testsupport::TestDatabase::postgresWanted())
        QSKIP("a version-1 store is an SQLite file");
    // A store as the first schema left it: an administrator, a user logged in
    // with one alert not yet reported, one logged out.
    static const char *const kVersionOne = R"SQL(
CREATE TABLE admins(id INTEGER PRIMARY KEY AUTOINCREMENT CHECK(id BETWEEN 1 AND 32767),
 username TEXT NOT NULL UNIQUE COLLATE NOCASE, password_salt BLOB NOT NULL, password_hash BLOB NOT NULL,
 password_iterations INTEGER NOT NULL, firstname TEXT NOT NULL, lastname TEXT NOT NULL, company TEXT NOT NULL,
 address TEXT NOT NULL, tel TEXT NOT NULL, email TEXT NOT NULL, country TEXT NOT NULL, state TEXT NOT NULL,
 city TEXT NOT NULL, postalcode TEXT NOT NULL, regtype TEXT NOT NULL, active INTEGER NOT NULL DEFAULT 0,
 activation_code TEXT UNIQUE, expires_at INTEGER, created_at INTEGER NOT NULL);
CREATE TABLE users(id INTEGER PRIMARY KEY AUTOINCREMENT CHECK(id BETWEEN 1 AND 32767),
 admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE, username TEXT NOT NULL UNIQUE COLLATE NOCASE,
 password TEXT NOT NULL, firstname TEXT NOT NULL, lastname TEXT NOT NULL, tel TEXT NOT NULL, email TEXT NOT NULL,
 wirelessno TEXT NOT NULL, carrier TEXT NOT NULL, logged_in INTEGER NOT NULL DEFAULT 0,
 pending_alerts INTEGER NOT NULL DEFAULT 0, created_at INTEGER NOT NULL);
CREATE INDEX users_by_admin ON users(admin_id, id);
CREATE TABLE alerts(id INTEGER PRIMARY KEY AUTOINCREMENT, user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
 text TEXT NOT NULL, created_at INTEGER NOT NULL);
CREATE INDEX alerts_by_user ON alerts(user_id, id);
INSERT INTO admins VALUES(3, 'Boss', x'00', x'00', 1, '', '', '', '', '', 'boss@example.com', '', '', '', '', '0', 1, NULL, NULL, 0);
INSERT INTO users VALUES(1, 3, 'Ann', 'pw', '', '', '', '', '', '', 1, 1, 0);
INSERT INTO users VALUES(2, 3, 'bob', 'pw', '', '', '', '', '', '', 0, 0, 0);
INSERT INTO alerts VALUES(1, 1, 'told', 0);
INSERT INTO alerts VALUES(2, 1, 'not yet told', 0);
PRAGMA user_version = 1;
)SQL";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("v1.db"));
    alertserver::SqliteConnection(path).execScript(kVersionOne);

    alertserver::Store store(path);
    QCOMPARE(store.admins().idByName(QStringLiteral("boss")), std::optional<int>(3));
    QCOMPARE(store.users().byName(QStringLiteral("ANN")).value_or(alertserver::UserRecord()).id, 1);
    QCOMPARE(store.sessions().alertsOf(1, 10).size(), 2);
    QCOMPARE(store.users().add(3, {QStringLiteral("BOB"), QStringLiteral("x"), {}, {}, {}, {}, {}, {}}).first,
             alertserver::Users::Addition::NameTaken);
    // Ids go on above the highest ever given.
    QCOMPARE(store.users().add(3, {QStringLiteral("carl"), QStringLiteral("x"), {}, {}, {}, {}, {}, {}}).second, 3);
    // The user logged in keeps a session every caller shares, with the alert
    // not yet reported; the one logged out has none.
    alertserver::Policy perUser;
    perUser.sessionPerAddress = false;
    store.setPolicy(perUser);
    QCOMPARE(store.sessions().poll(QStringLiteral("ann"), QStringLiteral("*")), 1);
    QCOMPARE(store.sessions().poll(QStringLiteral("ann"), QStringLiteral("*")), 0);
    QCOMPARE(store.sessions().poll(QStringLiteral("bob"), QStringLiteral("*")), 2);
}

void TestAlertServer::versionFourStoreGainsTheAdministratorsOrigin()
{
    QTemporaryDir dir;
    testsupport::TestDatabase database(dir.path(), QStringLiteral("v4.db"));
    alertserver::AdminRegistration reg;
    reg.password = QStringLiteral("pw");
    const auto origins = [](alertserver::Store &store) {
        QStringList out;
        for (const auto &a : store.admins().list())
            out << a.username + (a.byOperator ? QStringLiteral(":operator") : QStringLiteral(":self"));
        return out;
    };
    {
        // A store as version 4 left it: two administrators, no origin.
        alertserver::Store store(database.location(), 1000);
        for (const char *name : {"old", "older"}) {
            reg.username = QLatin1String(name);
            store.admins().registerAdmin(reg);
            store.admins().activateByName(reg.username);
        }
        undoVersionSix(*database.connect());
        database.connect()->execScript(database.isPostgres()
                                           ? "ALTER TABLE admins DROP COLUMN origin; UPDATE store_version SET version = 4"
                                           : "ALTER TABLE admins DROP COLUMN origin; PRAGMA user_version = 4");
    }
    alertserver::Store store(database.location(), 1000);
    QCOMPARE(versionOf(*database.connect()), alertserver::Store::kSchemaVersion);
    // Nothing told them apart: both count as registered themselves, until the
    // operator vouches for one.
    QCOMPARE(origins(store), (QStringList{QStringLiteral("old:self"), QStringLiteral("older:self")}));
    QVERIFY(store.admins().approve(QStringLiteral("OLD")));
    QVERIFY(!store.admins().approve(QStringLiteral("nobody")));
    // A registration is self-made; approving it activates it.
    reg.username = QStringLiteral("new");
    QCOMPARE(store.admins().registerAdmin(reg).outcome, alertserver::Admins::Registration::Registered);
    QCOMPARE(origins(store),
             (QStringList{QStringLiteral("new:self"), QStringLiteral("old:operator"), QStringLiteral("older:self")}));
    QVERIFY(store.admins().approve(QStringLiteral("new")));
    QCOMPARE(store.admins().login(QStringLiteral("new"), QStringLiteral("pw")).first,
             alertserver::Admins::Login::LoggedIn);
}

void TestAlertServer::lostConnectionsAreMadeAgain()
{
    RunningServer &s = *m_server;
    if (!s.database.isPostgres())
        QSKIP("an SQLite file has no connection to lose");
    addUser(activeAdmin(QStringLiteral("boss")), {QStringLiteral("ann"), QStringLiteral("pw"), {}, {}, {}, {}, {}, {}});
    const QString status = QStringLiteral("/alertsystem/status.php?username=ann");
    QCOMPARE(replyChildren(s.client(QStringLiteral("/alertsystem/login.php?username=ann&password=pw")).body),
             QStringList{QStringLiteral("1")});
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("0")});

    // Every connection of the server's pool ended by the database's side, as
    // a restart or an administrator would: the next requests still work.
    auto killed = [&] {
        return s.count("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                       "WHERE datname = current_database() AND pid <> pg_backend_pid()");
    };
    QVERIFY(killed() > 0);
    QVERIFY(s.store->sessions().raise(QStringLiteral("ann"), QStringLiteral("after the cut")));
    QVERIFY(killed() > 0);
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("1")});
    QCOMPARE(replyChildren(s.client(status).body), QStringList{QStringLiteral("0")});
}

QTEST_GUILESS_MAIN(TestAlertServer)
#include "tst_alertserver.moc"
