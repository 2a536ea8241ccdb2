#include "wizard/users/Carriers.h"
#include "wizard/users/ProviderTable.h"
#include "wizard/users/UserListReply.h"
#include "wizard/users/UserRequests.h"

#include "common/PositionalXml.h"

#include <QSet>
#include <QtTest>

using namespace kestrup;

namespace {

QByteArray userElement(const QStringList &fields)
{
    QByteArray e = "<user>";
    for (const QString &f : fields)
        e += "<f>" + f.toHtmlEscaped().toUtf8() + "</f>";
    return e + "</user>";
}

QByteArray listReply(const QList<QByteArray> &users)
{
    QByteArray x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<users>\n";
    for (const QByteArray &u : users)
        x += "  " + u + "\n";
    return x + "</users>\n";
}

} // namespace

class TestUserLogic : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void carrierTableIsWellFormedGatewayDomains();
    void carrierLookupsAreExact();
    void dialogDomainSlotsAndDomainToSend();
    void listReplyRowsInOrderWithCarrierNames();
    void listReplySkipsWhatIsNoUser();
    void listReplyWithoutUsersIsEmpty();
    void rowSearchTakesLastForDeleteFirstForEdit();
    void addAndEditBodiesByteForByte();
    void emailBodyKeepsOrderAndEmptyAddresses();
};

void TestUserLogic::carrierTableIsWellFormedGatewayDomains()
{
    const QStringList names = ProviderNames();
    QCOMPARE(names, QStringList({"ATT", "Cingular", "Nextel", "Sprint", "T-Mobile", "Verizon"}));
    QSet<QString> seen;
    const QRegularExpression host(QStringLiteral("^@[a-z0-9-]+(\\.[a-z0-9-]+)+$"));
    for (const carriers::Carrier &c : carriers::kCarriers) {
        const QString domain = QString::fromUtf8(c.domain.data(), c.domain.size());
        QVERIFY2(host.match(domain).hasMatch(), qPrintable(domain));
        QVERIFY2(!seen.contains(domain), qPrintable(domain));
        seen.insert(domain);
    }
}

void TestUserLogic::carrierLookupsAreExact()
{
    const ProviderDomainSlots domains = ProviderDomains();
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(ProviderNameOf(domains[i]), ProviderNames().at(i));
        QCOMPARE(int(ProviderIndexOf(ProviderNames().at(i))), i);
    }
    const QString verizon = domains[5];
    QCOMPARE(ProviderNameOf(verizon), QString("Verizon"));
    QCOMPARE(ProviderNameOf(verizon.toUpper()), QString());
    QCOMPARE(ProviderNameOf(verizon.mid(1)), QString()); // without its "@"
    QCOMPARE(ProviderNameOf(verizon + " "), QString());
    QCOMPARE(ProviderNameOf(QString()), QString());
    QCOMPARE(ProviderNameOf("@example.com"), QString());

    QCOMPARE(int(ProviderIndexOf("T-Mobile")), 4);
    QCOMPARE(int(ProviderIndexOf("t-mobile")), -1);
    QCOMPARE(int(ProviderIndexOf("")), -1);
    QCOMPARE(int(ProviderIndexOf("Sprint ")), -1);
}

void TestUserLogic::dialogDomainSlotsAndDomainToSend()
{
    const ProviderDomainSlots domains = ProviderDomains();
    QVERIFY(domains[6].isEmpty());
    QVERIFY(domains[7].isEmpty());
    for (int i = 0; i < 6; ++i)
        QVERIFY(domains[i].startsWith('@'));
    QCOMPARE(DomainToSend(domains, 3), domains[3]);
    QCOMPARE(ProviderNameOf(DomainToSend(domains, 3)), QString("Sprint"));
    QCOMPARE(DomainToSend(domains, -1), QString()); // nothing chosen
    QCOMPARE(DomainToSend(domains, 99), QString());
}

void TestUserLogic::listReplyRowsInOrderWithCarrierNames()
{
    const ProviderDomainSlots d = ProviderDomains();
    common::PositionalXml xml;
    QVERIFY(xml.loadText(listReply({
        userElement({"12", "ann", "Smith", "Ann", "555-1", "ann@x.com", "555-9", d[5], "pw1"}),
        userElement({" 7.5 ", "bob", "Jones", "Bob", "", "", "", "@nowhere.example", "p&2"}),
        userElement({"0", "cy", "", "", "", "", "", "", ""}),
    })));
    const UserListRead read = readUserList(xml);
    QCOMPARE(read.skipped, 0);
    QCOMPARE(read.rows.size(), 3);

    UserRow ann;
    ann.id = 12;
    ann.username = "ann";
    ann.firstname = "Ann";
    ann.lastname = "Smith";
    ann.email = "ann@x.com";
    ann.tel = "555-1";
    ann.wirelessNo = "555-9";
    ann.provider = "Verizon";
    ann.password = "pw1";
    QCOMPARE(read.rows[0], ann);

    QCOMPARE(int(read.rows[1].id), 8); // halves go to the even neighbour
    QCOMPARE(read.rows[1].provider, QString()); // a domain outside the table
    QCOMPARE(read.rows[1].password, QString("p&2"));
    QCOMPARE(read.rows[2].username, QString("cy"));
}

void TestUserLogic::listReplySkipsWhatIsNoUser()
{
    common::PositionalXml xml;
    QVERIFY(xml.loadText(listReply({
        userElement({"1", "a", "", "", "", "", "", "", ""}),
        userElement({"2", "short", "", "", "", "", "", ""}), // eight children
        "<status>ERROR</status>",                              // text only
        userElement({"40000", "big", "", "", "", "", "", "", ""}), // id outside 16 bits
        userElement({"3", "c", "", "", "", "", "", "", "", "extra"}), // a tenth child is ignored
    })));
    const UserListRead read = readUserList(xml);
    QCOMPARE(read.skipped, 3);
    QCOMPARE(read.rows.size(), 2);
    QCOMPARE(read.rows[0].username, QString("a"));
    QCOMPARE(read.rows[1].username, QString("c"));
    QCOMPARE(int(read.rows[1].id), 3);
}

void TestUserLogic::listReplyWithoutUsersIsEmpty()
{
    common::PositionalXml xml;
    QVERIFY(xml.loadText(QByteArray("<?xml version=\"1.0\"?><users/>")));
    QCOMPARE(readUserList(xml).rows.size(), 0);
    QCOMPARE(readUserList(xml).skipped, 0);

    // No declaration: the root element is top-level node 0, so there is no
    // root to read users from.
    QVERIFY(xml.loadText(QByteArray("<users>") + userElement({"1", "a", "", "", "", "", "", "", ""})
                         + "</users>"));
    QCOMPARE(readUserList(xml).rows.size(), 0);
}

void TestUserLogic::rowSearchTakesLastForDeleteFirstForEdit()
{
    const QList<std::int16_t> tags{5, 12, 7, 12, 9};
    auto tagAt = [&](int i) { return tags[i]; };
    QCOMPARE(lastRowWithId(int(tags.size()), tagAt, 12), 3);
    QCOMPARE(firstRowWithId(int(tags.size()), tagAt, 12), 1);
    QCOMPARE(lastRowWithId(int(tags.size()), tagAt, 5), 0);
    QCOMPARE(firstRowWithId(int(tags.size()), tagAt, 9), 4);
    QCOMPARE(lastRowWithId(int(tags.size()), tagAt, 4), -1);
    QCOMPARE(firstRowWithId(int(tags.size()), tagAt, 4), -1);
    QCOMPARE(lastRowWithId(0, tagAt, 5), -1);
}

void TestUserLogic::addAndEditBodiesByteForByte()
{
    UserFields f;
    f.username = "a&b=c";
    f.password = "p w";
    f.firstname = QString::fromUtf8("Jos\xC3\xA9");
    f.lastname = "O'Neil";
    f.email = "j@x.com";
    f.tel = "+1 555";
    f.wirelessNo = "";
    const QString sprint = ProviderDomains()[3];

    QCOMPARE(AddUserBody(f, sprint, 42),
             QByteArray("username=a%26b%3Dc&password=p+w&lastname=O%27Neil&firstname=Jos%C3%A9"
                        "&telnos=%2B1+555&email=j%40x.com&wirelessno=&serviceprovider=%40messaging.sprintpcs.com"
                        "&mrgID=42"));
    QCOMPARE(AddUserBody(f, QString(), -3).right(QByteArrayLiteral("&serviceprovider=&mrgID=-3").size()),
             QByteArray("&serviceprovider=&mrgID=-3"));

    QCOMPARE(EditUserBody(f, QString(), 57),
             QByteArray("password=p+w&lastname=O%27Neil&firstname=Jos%C3%A9"
                        "&telnos=%2B1+555&email=j%40x.com&wirelessno=&serviceprovider=&id=57"));
}

void TestUserLogic::emailBodyKeepsOrderAndEmptyAddresses()
{
    QCOMPARE(EmailBody({"a@x.com", "", "b+c@y.org"}, 9),
             QByteArray("v1=q804&mails[]=a%40x.com&mails[]=&mails[]=b%2Bc%40y.org&mrgID=9"));
    QCOMPARE(EmailBody({""}, 0), QByteArray("v1=q804&mails[]=&mrgID=0"));
}

QTEST_GUILESS_MAIN(TestUserLogic)
#include "tst_userlogic.moc"
