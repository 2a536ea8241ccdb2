#include "common/PositionalXml.h"

#include <QTemporaryDir>
#include <QtTest>

using common::PositionalXml;
using Kind = PositionalXml::Kind;

namespace {

// A node and what lies below it, written compactly: decl, doctype, el[...]
// for an element with its children, "text", cdata"text", ent"text",
// #"comment" and ?"data" for a processing instruction.
QString describe(const PositionalXml::Node &node)
{
    const QString quoted = u'"' + node.text() + u'"';
    switch (node.kind()) {
    case Kind::Declaration: return QStringLiteral("decl");
    case Kind::DocumentType: return QStringLiteral("doctype");
    case Kind::Text: return quoted;
    case Kind::CData: return QStringLiteral("cdata") + quoted;
    case Kind::EntityReference: return QStringLiteral("ent") + quoted;
    case Kind::Comment: return u'#' + quoted;
    case Kind::ProcessingInstruction: return u'?' + quoted;
    case Kind::Element:
    case Kind::Document: break;
    }
    QStringList children;
    for (int i = 0; i < node.childCount(); ++i)
        children << describe(node.child(i));
    return QStringLiteral("el[") + children.join(u' ') + u']';
}

QString describe(const PositionalXml &xml)
{
    QStringList top;
    for (int i = 0; i < xml.topLevelCount(); ++i)
        top << describe(xml.topLevel(i));
    return top.join(u' ');
}

} // namespace

class TestPositionalXml : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void positionalView_data();
    void positionalView();
    void positionsOutsideTheDocumentAreEmpty();
    void nestingLimitCountsEntityExpansion();
    void notWellFormedIsAClearResult_data();
    void notWellFormedIsAClearResult();
    void loadsFilesAndReportsMissingOnes();
};

void TestPositionalXml::positionalView_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("rootChildTexts"); // joined by "|"

    QTest::newRow("declaration, root, indentation")
        << QByteArray("<?xml version=\"1.0\"?>\n<r>\n  <a>Title</a>\n  <b> 7 </b>\n  <d/>\n</r>\n")
        << "decl el[el[\"Title\"] el[\" 7 \"] el[]]" << "Title| 7 |";
    QTest::newRow("names and attributes ignored")
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?><any id=\"9\">"
                      "<z x=\"a\">f\xE9</z><p:z>sec<i>o</i>nd</p:z></any>")
        << QString::fromUtf8("decl el[el[\"fé\"] el[\"sec\" el[\"o\"] \"nd\"]]") << QString::fromUtf8("fé|second");
    QTest::newRow("no declaration: no root at 1")
        << QByteArray("<r><a>x</a><b>y</b></r>") << "el[el[\"x\"] el[\"y\"]]" << "";
    QTest::newRow("document type counts")
        << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r><a>x</a></r>") << "decl doctype el[el[\"x\"]]"
        << "";
    QTest::newRow("document type with internal entity")
        << QByteArray("<!DOCTYPE r [<!ENTITY e \"v<b>w</b>\">]><r>&e;</r>") << "doctype el[\"v\" el[\"w\"]]" << "v|w";
    QTest::newRow("comment before the root")
        << QByteArray("<?xml version=\"1.0\"?><!-- by hand --><r><a>x</a></r>")
        << "decl #\" by hand \" el[el[\"x\"]]" << "";
    QTest::newRow("comments and instructions among children")
        << QByteArray("<?xml version=\"1.0\"?><r><a>one</a><!--note--><?pi data?><b>two</b></r><!--end-->")
        << "decl el[el[\"one\"] #\"note\" ?\"data\" el[\"two\"]] #\"end\"" << "one|note|data|two";
    QTest::newRow("CDATA and entities read as text")
        << QByteArray("<?xml version=\"1.0\"?><r><a>x&amp;y&#65;&lt;</a><b><![CDATA[<c>]]></b>t<![CDATA[ ]]>"
                      "<c>p<i>q</i><!--no-->r</c></r>")
        << "decl el[el[\"x&yA<\"] el[cdata\"<c>\"] \"t\" cdata\" \" el[\"p\" el[\"q\"] #\"no\" \"r\"]]"
        << "x&yA<|<c>|t| |pqr";
    QTest::newRow("blank text forms no node")
        << QByteArray("<?xml version=\"1.0\"?><r> \t\r\n<a> </a>&#32;&#10;<b>&#160;</b><c>\n x\n</c></r>")
        << QString::fromUtf8("decl el[el[] el[\"\u00a0\"] el[\"\n x\n\"]]") << QString::fromUtf8("|\u00a0|\n x\n");
    QTest::newRow("unresolved entity reference")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"r.dtd\"><r>&ext;<a/></r>")
        << "decl doctype el[ent\"\" el[]]" << "";
}

void TestPositionalXml::positionalView()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, view);
    QFETCH(QString, rootChildTexts);
    PositionalXml xml;
    QVERIFY(xml.loadText(text));
    QCOMPARE(describe(xml), view);
    QStringList texts;
    for (int i = 0; i < xml.rootChildCount(); ++i)
        texts << xml.rootChildText(i);
    QCOMPARE(texts.join(u'|'), rootChildTexts);

    // The same view from the text taken in one-byte parts.
    common::PositionalXmlReader reader;
    for (qsizetype i = 0; i < text.size(); ++i)
        reader.addData(text.mid(i, 1));
    QCOMPARE(describe(reader.finish()), view);
}

void TestPositionalXml::positionsOutsideTheDocumentAreEmpty()
{
    PositionalXml xml;
    QVERIFY(xml.loadText(QString("<?xml version=\"1.0\"?><r><a>1</a><b/></r>")));
    QVERIFY(xml.hasRootChild(1));
    QVERIFY(!xml.hasRootChild(2));
    QVERIFY(!xml.hasRootChild(-1));
    QCOMPARE(xml.rootChildText(2), QString());
    QVERIFY(xml.topLevel(2).isNull());
    QVERIFY(xml.root().child(0).child(0).child(0).isNull()); // below a text node
    const PositionalXml::Node none;
    QCOMPARE(none.childCount(), 0);
    QCOMPARE(none.childText(0), QString());

    // A copy shares the view and outlives the original.
    PositionalXml copy;
    {
        PositionalXml original;
        QVERIFY(original.loadText(QByteArray("<?xml version=\"1.0\"?><r><a>kept</a></r>")));
        copy = original;
    }
    QCOMPARE(copy.rootChildText(0), QString("kept"));
}

void TestPositionalXml::nestingLimitCountsEntityExpansion()
{
    // The root and the elements an entity brings in, counted together.
    auto nested = [](int fromEntity) {
        return "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"" + QByteArray("<d>").repeated(fromEntity)
            + QByteArray("</d>").repeated(fromEntity) + "\">]><r>&e;</r>";
    };
    PositionalXml xml;
    QVERIFY(xml.loadText(nested(PositionalXml::kMaxDepth - 1)));
    QCOMPARE(xml.topLevel(2).childCount(), 1);
    QVERIFY(!xml.loadText(nested(PositionalXml::kMaxDepth)));
}

void TestPositionalXml::notWellFormedIsAClearResult_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("html error page") << QByteArray("<html><body><p>500<br></body></html>");
    QTest::newRow("plain text") << QByteArray("LOGINOK");
    QTest::newRow("cut off") << QByteArray("<?xml version=\"1.0\"?><r><a>1</a>");
    QTest::newRow("two roots") << QByteArray("<?xml version=\"1.0\"?><r/><r/>");
    QTest::newRow("text after the root") << QByteArray("<?xml version=\"1.0\"?><r/>\nx");
    QTest::newRow("unclosed comment after the root") << QByteArray("<?xml version=\"1.0\"?><r/><!-- x");
    QTest::newRow("document type inside the root")
        << QByteArray("<!DOCTYPE r SYSTEM \"r.dtd\"><r><!DOCTYPE r SYSTEM \"r.dtd\"></r>");
    QTest::newRow("undeclared entity") << QByteArray("<?xml version=\"1.0\"?><r>&nbsp;</r>");
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

    common::PositionalXmlReader reader;
    for (qsizetype i = 0; i < text.size(); ++i)
        reader.addData(text.mid(i, 1));
    QVERIFY(!reader.finish().isWellFormed());
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

QTEST_GUILESS_MAIN(TestPositionalXml)
#include "tst_positionalxml.moc"
