#include "server/http/Addresses.h"
#include "server/http/Admission.h"
#include "server/pages/Markup.h"
#include "server/store/PasswordHash.h"
#include "server/web/FormData.h"

#include "common/PositionalXml.h"

#include <QtTest>

using alertserver::FormData;

class TestServerParts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void formKeepsRepeatedKeysInOrder();
    void formRefusesMalformedText_data();
    void formRefusesMalformedText();
    void markupEscapesEverythingAReaderCouldMisread();
    void passwordHashes();
    void connectionsCountByAddressOrSlash64();
    void admissionMakesRoomFromTheStalest();
};

void TestServerParts::formKeepsRepeatedKeysInOrder()
{
    const auto form = FormData::parse("username=a%26b%3Dc&email=%2B1+555&regtype=0&email=x%40y.z"
                                      "&mails%5B%5D=1&mails[]=&mails[]=3&empty=");
    QVERIFY(form);
    QCOMPARE(form->value(QStringLiteral("username")), QStringLiteral("a&b=c"));
    // The registration's repeated key: the last value is the address.
    QCOMPARE(form->value(QStringLiteral("email")), QStringLiteral("x@y.z"));
    QCOMPARE(form->first(QStringLiteral("email")), QStringLiteral("+1 555"));
    QCOMPARE(form->count(QStringLiteral("email")), 2);
    // Keys are decoded too, and empty values count.
    QCOMPARE(form->all(QStringLiteral("mails[]")), (QList<QString>{QStringLiteral("1"), QString(), QStringLiteral("3")}));
    QVERIFY(form->has(QStringLiteral("empty")));
    QVERIFY(!form->has(QStringLiteral("missing")));
    QCOMPARE(form->value(QStringLiteral("missing")), QString());
    QCOMPARE(FormData::parse("")->pairs().size(), 0);
    // Non-ASCII, and a replacement character that was really sent as one.
    QCOMPARE(FormData::parse("n=J%C3%BCrgen+%EF%BF%BD")->value(QStringLiteral("n")), QStringLiteral("J\u00fcrgen \ufffd"));
    QCOMPARE(FormData::parse("n=%3d%3D=")->value(QStringLiteral("n")), QStringLiteral("===")); // only the first "=" splits
}

void TestServerParts::formRefusesMalformedText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("trailing &") << QByteArray("a=1&");
    QTest::newRow("double &") << QByteArray("a=1&&b=2");
    QTest::newRow("no =") << QByteArray("a=1&b");
    QTest::newRow("empty key") << QByteArray("=1");
    QTest::newRow("percent at end") << QByteArray("a=1%");
    QTest::newRow("one hex digit") << QByteArray("a=%4");
    QTest::newRow("not hex") << QByteArray("a=%G1");
    QTest::newRow("encoded NUL") << QByteArray("a=x%00y");
    QTest::newRow("raw NUL") << QByteArray("a=x\0y", 5);
    QTest::newRow("invalid UTF-8") << QByteArray("a=%C3%28");
    QTest::newRow("lone continuation") << QByteArray("a=%80");
    QTest::newRow("encoded surrogate") << QByteArray("a=%ED%A0%80");
    QTest::newRow("bad key") << QByteArray("%ZZ=1");
}

void TestServerParts::formRefusesMalformedText()
{
    QFETCH(QByteArray, text);
    QVERIFY(!FormData::parse(text).has_value());
}

void TestServerParts::markupEscapesEverythingAReaderCouldMisread()
{
    const QString nasty = QStringLiteral("<a href=\"x\">&amp;'</a>") + QChar(0x01) + QChar(0x0B) + QStringLiteral("\t\n")
        + QChar(0xFFFE) + QChar(0xD800) + QStringLiteral("\U0001F514");
    const QString escaped = alertserver::escapeMarkup(nasty);
    QCOMPARE(escaped, QStringLiteral("&lt;a href=&quot;x&quot;&gt;&amp;amp;&#39;&lt;/a&gt;\ufffd\ufffd\t\n\ufffd\ufffd\U0001F514"));

    // Whatever a value holds, the reply stays well-formed and reads back.
    const QByteArray reply = alertserver::XmlReply(QStringLiteral("users"))
                                 .open(QStringLiteral("user"))
                                 .element(QStringLiteral("name"), nasty)
                                 .element(QStringLiteral("password"), QStringLiteral("]]><x>"))
                                 .finish();
    common::PositionalXml xml;
    QVERIFY(xml.loadText(reply));
    QCOMPARE(xml.topLevelCount(), 2);
    const common::PositionalXml::Node user = xml.root().child(0);
    QCOMPARE(user.childText(1), QStringLiteral("]]><x>"));
    QVERIFY(user.childText(0).startsWith(QStringLiteral("<a href=\"x\">&amp;'</a>")));

    QVERIFY(xml.loadText(alertserver::statusReply(QStringLiteral("LOGINOK"), 42)));
    QCOMPARE(xml.rootChildText(0), QStringLiteral("LOGINOK"));
    QCOMPARE(xml.rootChildText(1), QStringLiteral("42"));
    QVERIFY(xml.loadText(alertserver::errorReply(QStringLiteral("<why>"))));
    QCOMPARE(xml.rootChildText(0), QStringLiteral("ERROR"));
    QCOMPARE(xml.rootChildText(1), QStringLiteral("<why>"));
}

void TestServerParts::passwordHashes()
{
    const auto a = alertserver::hashPassword("secret", 1000);
    const auto b = alertserver::hashPassword("secret", 1000);
    QCOMPARE(a.salt.size(), 16);
    QVERIFY(a.salt != b.salt);
    QVERIFY(a.hash != b.hash);
    QVERIFY(alertserver::verifyPassword("secret", a));
    QVERIFY(!alertserver::verifyPassword("Secret", a));
    QVERIFY(!alertserver::verifyPassword("", a));
    auto broken = a;
    broken.iterations = 0;
    QVERIFY(!alertserver::verifyPassword("secret", broken));
}

void TestServerParts::connectionsCountByAddressOrSlash64()
{
    using namespace alertserver::http;
    auto key = [](const char *text) { return admissionKey(*parseAddress(text)); };
    QCOMPARE(key("127.0.0.2"), std::string("127.0.0.2"));
    QCOMPARE(key("::ffff:127.0.0.2"), std::string("127.0.0.2"));
    QCOMPARE(key("2001:db8:1:2::5"), key("2001:db8:1:2:ffff:1:2:3"));
    QVERIFY(key("2001:db8:1:2::5") != key("2001:db8:1:3::5"));
}

void TestServerParts::admissionMakesRoomFromTheStalest()
{
    using namespace alertserver::http;
    struct Fake final : OpenConnection
    {
        void cut() override {}
        void evict() override { evicted = true; }
        bool waiting() const override { return unread; }
        bool evicted = false;
        bool unread = false;
    };
    std::vector<std::shared_ptr<Fake>> c;
    for (int i = 0; i < 6; ++i)
        c.push_back(std::make_shared<Fake>());
    Admission a;
    a.setCaps(4, 2, 10);
    a.setTotal(4);
    auto enter = [&](int i, const char *address) { return a.enter(c[i].get(), c[i], address, false); };
    // Of two pending from one address, the one that has sent part of its
    // head since the other arrived stays when a third comes.
    QVERIFY(enter(0, "10.0.0.1") && enter(1, "10.0.0.1"));
    a.progressed(c[0].get());
    QVERIFY(enter(2, "10.0.0.1"));
    QVERIFY(c[1]->evicted && !c[0]->evicted);
    a.release(c[1].get()); // closed: nothing more to count
    QCOMPARE(a.open(), 2);
    // Kept open after a request, no longer pending; the table full, the one
    // idle for longest goes; with every connection busy, the newcomer does.
    a.busy(c[0].get());
    a.idle(c[0].get());
    a.busy(c[2].get());
    a.idle(c[2].get());
    QCOMPARE(a.pending(), 0);
    QVERIFY(enter(3, "10.0.0.1") && enter(4, "10.0.0.1"));
    QVERIFY(enter(5, "10.0.0.2"));
    QVERIFY(c[0]->evicted && !c[2]->evicted && !c[3]->evicted && !c[4]->evicted);
    for (int i : {2, 3, 4, 5})
        a.busy(c[i].get());
    auto late = std::make_shared<Fake>();
    QVERIFY(!a.enter(late.get(), late, "10.0.0.3", false));
    for (int i : {2, 3, 4, 5})
        a.release(c[i].get());
    QCOMPARE(a.open(), 0);

    // A pending connection whose bytes wait unread is the server's delay,
    // not a stall: it stays, and when all are such the newcomer is refused.
    std::vector<std::shared_ptr<Fake>> d;
    for (int i = 0; i < 4; ++i)
        d.push_back(std::make_shared<Fake>());
    a.setCaps(0, 2, 2);
    a.setTotal(10);
    QVERIFY(a.enter(d[0].get(), d[0], "10.0.0.1", false) && a.enter(d[1].get(), d[1], "10.0.0.2", false));
    d[0]->unread = true;
    QVERIFY(a.enter(d[2].get(), d[2], "10.0.0.3", false));
    QVERIFY(d[1]->evicted && !d[0]->evicted);
    a.release(d[1].get());
    d[2]->unread = true;
    QVERIFY(!a.enter(d[3].get(), d[3], "10.0.0.4", false));
    QVERIFY(!d[0]->evicted && !d[2]->evicted);
}

QTEST_GUILESS_MAIN(TestServerParts)
#include "tst_serverparts.moc"
