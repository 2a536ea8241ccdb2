#include "common/PositionalXml.h"

#include <QTemporaryDir>
#include <QtTest>

using common::PositionalXml;

class TestPositionalXml : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void rootIsSecondTopLevelNodeAndChildrenGoByPosition();
    void namesAndAttributesAreNeverLookedAt();
    void rootMissingWithoutDeclarationOrBehindComment();
    void commentsAndProcessingInstructionsAmongChildrenCount();
    void notWellFormedIsAClearResult_data();
    void notWellFormedIsAClearResult();
    void loadsFilesAndReportsMissingOnes();
    void walksNestedChildren();
};

void TestPositionalXml::rootIsSecondTopLevelNodeAndChildrenGoByPosition()
{
    PositionalXml xml;
    QVERIFY(xml.loadText(QByteArray("<?xml version=\"1.0\"?>\n<r>\n  <a>Title</a>\n  <b>http://h:1</b>\n"
                                    "  <c> 7 </c>\n  <d/>\n</r>\n")));
    QCOMPARE(xml.topLevelCount(), 2);
    QCOMPARE(xml.rootChildCount(), 4); // indentation forms no node
    QCOMPARE(xml.rootChildText(0), QString("Title"));
    QCOMPARE(xml.rootChildText(1), QString("http://h:1"));
    QCOMPARE(xml.rootChildText(2), QString(" 7 ")); // the text as it stands
    QCOMPARE(xml.rootChildText(3), QString());
    QVERIFY(xml.hasRootChild(3));
    QVERIFY(!xml.hasRootChild(4));
    QCOMPARE(xml.rootChildText(4), QString());
    QCOMPARE(xml.rootChildText(-1), QString());
}

void TestPositionalXml::namesAndAttributesAreNeverLookedAt()
{
    PositionalXml xml;
    QVERIFY(xml.loadText(QString("<?xml version=\"1.0\"?><anything id=\"9\"><z x=\"a\">first</z>"
                                 "<z>sec<i>o</i>nd</z><![CDATA[<third>]]></anything>")));
    QCOMPARE(xml.rootChildText(0), QString("first"));
    QCOMPARE(xml.rootChildText(1), QString("second")); // descendant text joined
    QCOMPARE(xml.rootChildText(2), QString("<third>"));
    QCOMPARE(xml.rootChildText(3), QString());
}

void TestPositionalXml::rootMissingWithoutDeclarationOrBehindComment()
{
    PositionalXml noDeclaration;
    QVERIFY(noDeclaration.loadText(QByteArray("<r><a>x</a><b>y</b><c>z</c></r>")));
    QVERIFY(noDeclaration.root().isNull());
    QCOMPARE(noDeclaration.rootChildCount(), 0);
    QCOMPARE(noDeclaration.rootChildText(0), QString());

    PositionalXml commentFirst;
    QVERIFY(commentFirst.loadText(QByteArray("<?xml version=\"1.0\"?><!-- made by hand --><r><a>x</a></r>")));
    QVERIFY(commentFirst.root().isComment());
    QCOMPARE(commentFirst.rootChildText(0), QString());
    QCOMPARE(commentFirst.topLevel(2).toElement().text(), QString("x"));
}

void TestPositionalXml::commentsAndProcessingInstructionsAmongChildrenCount()
{
    PositionalXml xml;
    QVERIFY(xml.loadText(QByteArray("<?xml version=\"1.0\"?><r><a>one</a><!--note--><?pi data?><b>two</b></r>")));
    QCOMPARE(xml.rootChildCount(), 4);
    QCOMPARE(xml.rootChildText(1), QString("note"));
    QCOMPARE(xml.rootChildText(2), QString("data"));
    QCOMPARE(xml.rootChildText(3), QString("two"));
}

void TestPositionalXml::notWellFormedIsAClearResult_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("html error page") << QByteArray("<html><body><p>500<br></body></html>");
    QTest::newRow("plain text") << QByteArray("LOGINOK");
    QTest::newRow("cut off") << QByteArray("<?xml version=\"1.0\"?><r><a>1</a>");
    QTest::newRow("two roots") << QByteArray("<?xml version=\"1.0\"?><r/><r/>");
    QByteArray deep = "<?xml version=\"1.0\"?>";
    for (int i = 0; i < 100000; ++i)
        deep += "<d>";
    QTest::newRow("deeply nested") << deep;
    QByteArray deepClosed = "<?xml version=\"1.0\"?>" + QByteArray("<d>").repeated(5000)
        + QByteArray("</d>").repeated(5000);
    QTest::newRow("deeply nested, well-formed") << deepClosed;
}

void TestPositionalXml::notWellFormedIsAClearResult()
{
    QFETCH(QByteArray, text);
    PositionalXml xml;
    QVERIFY(xml.loadText(QByteArray("<?xml version=\"1.0\"?><r><a>old</a></r>")));
    QVERIFY(!xml.loadText(text));
    QVERIFY(!xml.isWellFormed());
    QCOMPARE(xml.topLevelCount(), 0);
    QCOMPARE(xml.rootChildText(0), QString()); // nothing of the earlier document survives
}

void TestPositionalXml::loadsFilesAndReportsMissingOnes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("system.xml");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s>\n\t<t>Tarvex \xC3\xA9</t>\n</s>\n");
    file.close();
    PositionalXml xml;
    QVERIFY(xml.loadFile(path));
    QCOMPARE(xml.rootChildText(0), QString::fromUtf8("Tarvex \xC3\xA9"));
    QVERIFY(!xml.loadFile(dir.filePath("missing.xml")));
    QVERIFY(!xml.isWellFormed());
}

void TestPositionalXml::walksNestedChildren()
{
    PositionalXml xml;
    QVERIFY(xml.loadText(QByteArray("<?xml version=\"1.0\"?><users><u><i>12</i><n>ann</n></u>"
                                    "<u><i>13</i></u></users>")));
    const QDomNode second = PositionalXml::child(xml.root(), 1);
    QCOMPARE(PositionalXml::childCount(second), 1);
    QCOMPARE(PositionalXml::childText(second, 0), QString("13"));
    QCOMPARE(PositionalXml::childText(PositionalXml::child(xml.root(), 0), 1), QString("ann"));
    QVERIFY(PositionalXml::child(second, 5).isNull());
    QCOMPARE(PositionalXml::childCount(QDomNode()), 0);
}

QTEST_GUILESS_MAIN(TestPositionalXml)
#include "tst_positionalxml.moc"
