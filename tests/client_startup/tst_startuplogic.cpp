#include "client/startup/ShellTarget.h"
#include "client/startup/SkinReply.h"
#include "client/startup/StartupConfig.h"
#include "common/PositionalXml.h"
#include "SkinFixture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace client;

// The configuration file, the skin reply and the platform helpers: the parts
// of start-up that need no server.
class TestStartupLogic : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void configurationIsTakenByPosition_data();
    void configurationIsTakenByPosition();
    void unreadableConfigurationGivesNothing_data();
    void unreadableConfigurationGivesNothing();
    void skinRequestAddressEncodesTheIdAndKeepsTheBase_data();
    void skinRequestAddressEncodesTheIdAndKeepsTheBase();
    void skinReplyFillsEveryValueByPosition();
    void skinNumbersAreRoundedLeadingNumbers_data();
    void skinNumbersAreRoundedLeadingNumbers();
    void unusableSkinRepliesGiveNothing_data();
    void unusableSkinRepliesGiveNothing();
    void shellOpensOnlyWebAndMailAddresses_data();
    void shellOpensOnlyWebAndMailAddresses();
};

void TestStartupLogic::configurationIsTakenByPosition_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QStringList>("expected"); // title, base, id

    QTest::newRow("any element names")
        << QByteArray("<?xml version=\"1.0\"?>\n<x><zz>Alerts</zz><a b=\"c\">http://h:81</a><q>7</q></x>")
        << QStringList{"Alerts", "http://h:81", "7"};
    QTest::newRow("indented, extra children ignored")
        << QByteArray("<?xml version=\"1.0\"?>\n<s>\n  <t>T</t>\n  <u>U</u>\n  <i>I</i>\n  <more>M</more>\n</s>\n")
        << QStringList{"T", "U", "I"};
    QTest::newRow("too few children leave the rest empty")
        << QByteArray("<?xml version=\"1.0\"?><s><t>Only title</t></s>") << QStringList{"Only title", "", ""};
    QTest::newRow("a comment among the children shifts them")
        << QByteArray("<?xml version=\"1.0\"?><s><!-- c --><t>T</t><u>U</u></s>")
        << QStringList{" c ", "T", "U"};
    // Without the declaration the root is top-level node 0, and node 1 does not exist.
    QTest::newRow("no declaration: all empty")
        << QByteArray("<s><t>T</t><u>U</u><i>I</i></s>") << QStringList{"", "", ""};
    QTest::newRow("comment before the root: all empty")
        << QByteArray("<?xml version=\"1.0\"?><!-- hi --><s><t>T</t><u>U</u><i>I</i></s>")
        << QStringList{"", "", ""};
}

void TestStartupLogic::configurationIsTakenByPosition()
{
    QFETCH(QByteArray, xml);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QFile file(dir.filePath(kSystemXmlName));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(xml);
    file.close();

    const std::optional<StartupValues> values = readSystemXml(file.fileName());
    QVERIFY(values);
    QCOMPARE(values->WindowTitle, expected[0]);
    QCOMPARE(values->ServerBase, expected[1]);
    QCOMPARE(values->NotifyTypeId, expected[2]);
}

void TestStartupLogic::unreadableConfigurationGivesNothing_data()
{
    QTest::addColumn<QByteArray>("xml"); // null: no file at all
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("not well-formed") << QByteArray("<?xml version=\"1.0\"?><s><t>T</s>");
    QTest::newRow("empty file") << QByteArray("");
}

void TestStartupLogic::unreadableConfigurationGivesNothing()
{
    QFETCH(QByteArray, xml);
    QTemporaryDir dir;
    const QString path = dir.filePath(kSystemXmlName);
    if (!xml.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(xml);
    }
    QVERIFY(!readSystemXml(path));
}

void TestStartupLogic::skinRequestAddressEncodesTheIdAndKeepsTheBase_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("address");
    QTest::newRow("plain") << "http://h:8080" << "1" << "http://h:8080/alertsystem/notifytype.php?id=1";
    QTest::newRow("trailing slash kept") << "http://h/" << "1" << "http://h//alertsystem/notifytype.php?id=1";
    QTest::newRow("id encoded") << "http://h" << "a&b c/é"
                                << "http://h/alertsystem/notifytype.php?id=a%26b+c%2F%C3%A9";
    QTest::newRow("empty base") << "" << "" << "/alertsystem/notifytype.php?id=";
}

void TestStartupLogic::skinRequestAddressEncodesTheIdAndKeepsTheBase()
{
    QFETCH(QString, base);
    QFETCH(QString, id);
    QFETCH(QString, address);
    QCOMPARE(skinRequestAddress({QStringLiteral("T"), base, id}), address);
}

void TestStartupLogic::skinReplyFillsEveryValueByPosition()
{
    QStringList children = skinfixture::skinChildren();
    children << QStringLiteral("999999") << QStringLiteral("extra"); // 25th and 26th: ignored
    const QByteArray body = skinfixture::xmlBody(children);
    const std::optional<SkinReply> reply = readSkinReply(body, QStringLiteral("http://s:1"));
    QVERIFY(reply);
    const SkinValues &v = reply->values;
    QCOMPARE(v.WindowWidth, 4500);
    QCOMPARE(v.WindowHeight, 6000);
    QCOMPARE(v.CloseButtonLeft, 4200);
    QCOMPARE(v.CloseButtonTop, 60);
    QCOMPARE(v.MenuButtonLeft, 3900);
    QCOMPARE(v.MenuButtonTop, 75);
    QCOMPARE(v.TrayToolTip, QStringLiteral("Tarvex alerts"));
    QCOMPARE(v.AlertPageUrl, QStringLiteral("http://alerts.example/alert.php"));
    QCOMPARE(v.ProfilePageUrl, QStringLiteral("http://alerts.example/profile.php"));
    for (int i = 0; i < 6; ++i)
        QCOMPARE(v.LinkUrls[i], QStringLiteral("http://l%1").arg(i));
    QCOMPARE(v.BrowserLeft, 150);
    QCOMPARE(v.BrowserTop, 900);
    QCOMPARE(v.BrowserWidth, 4200);
    QCOMPARE(v.BrowserHeight, 4800);
    QVERIFY(v.CloseButtonPicture.isNull() && v.AppIcon.isNull());
    const std::array<QString, kSkinPictureCount> expected = {
        "http://s:1/skins/1/close.png", "http://s:1/skins/1/menu.png", "http://s:1/skins/1/back.png",
        "http://s:1/skins/1/icon.png", "http://s:1/skins/1/page.png"};
    QCOMPARE(reply->pictureAddresses, expected);

    // An empty picture path still gives an address (the server's root), which
    // delivers no picture and so ends start-up at the download.
    children[9] = QString();
    QCOMPARE(readSkinReply(skinfixture::xmlBody(children), "http://s")->address(SkinPicture::Icon),
             QStringLiteral("http://s/"));
}

void TestStartupLogic::skinNumbersAreRoundedLeadingNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("half down to even") << "250.5" << 250;
    QTest::newRow("half up to even") << "251.5" << 252;
    QTest::newRow("units after the number") << "300px" << 300;
    QTest::newRow("leading blanks") << "  7" << 7;
    QTest::newRow("no number") << "wide" << 0;
    QTest::newRow("negative") << "-32768" << -32768;
}

void TestStartupLogic::skinNumbersAreRoundedLeadingNumbers()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QStringList children = skinfixture::skinChildren();
    children[3] = text;  // WindowWidth
    children[22] = text; // BrowserHeight, the last number
    const std::optional<SkinReply> reply = readSkinReply(skinfixture::xmlBody(children), "http://s");
    QVERIFY(reply);
    QCOMPARE(reply->values.WindowWidth, value);
    QCOMPARE(reply->values.BrowserHeight, value);
}

void TestStartupLogic::unusableSkinRepliesGiveNothing_data()
{
    QTest::addColumn<QByteArray>("body");
    QStringList children = skinfixture::skinChildren();
    QTest::newRow("23 children") << skinfixture::xmlBody(children.mid(0, 23));
    QStringList big = children;
    big[4] = QStringLiteral("32768");
    QTest::newRow("number above 16 bits") << skinfixture::xmlBody(big);
    big = children;
    big[19] = QStringLiteral("-40000");
    QTest::newRow("number below 16 bits") << skinfixture::xmlBody(big);
    QTest::newRow("html error page") << QByteArray("<html><body><h1>404 Not Found</h1><p>gone<br></body></html>");
    QTest::newRow("empty") << QByteArray();
    QByteArray noDecl = skinfixture::xmlBody(children);
    noDecl.remove(0, noDecl.indexOf('\n') + 1);
    QTest::newRow("no declaration") << noDecl;
}

void TestStartupLogic::unusableSkinRepliesGiveNothing()
{
    QFETCH(QByteArray, body);
    QVERIFY(!readSkinReply(body, QStringLiteral("http://s")));
}

void TestStartupLogic::shellOpensOnlyWebAndMailAddresses_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("opened");
    QTest::newRow("http") << "http://example.org/help?x=1" << true;
    QTest::newRow("HTTPS upper case") << "HTTPS://example.org/" << true;
    QTest::newRow("mailto") << "mailto:desk@example.org" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("file") << "file:///etc/passwd" << false;
    QTest::newRow("local path") << "/usr/bin/xterm" << false;
    QTest::newRow("windows program") << "C:\\Windows\\system32\\calc.exe" << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false;
    QTest::newRow("ftp") << "ftp://example.org/x" << false;
}

void TestStartupLogic::shellOpensOnlyWebAndMailAddresses()
{
    QFETCH(QString, target);
    QFETCH(bool, opened);
    const QUrl url = shellTarget(target);
    QCOMPARE(!url.isEmpty(), opened);
    if (opened)
        QCOMPARE(url, QUrl(target));
}

QTEST_GUILESS_MAIN(TestStartupLogic)
#include "tst_startuplogic.moc"
