// Any bytes as a document: the positional view agrees with a DOM of the same
// text, node for node, except where the view is meant to differ: it lists a
// document type among the top-level nodes, refuses nesting deeper than its
// limit, and keeps text made of blanks other than XML's own (a DOM drops
// every text that trims to nothing). The view is the same when the text comes
// in parts, and a failed load leaves nothing behind.
#include "common/PositionalXml.h"

#include <QDomDocument>

#include <cstddef>
#include <cstdint>

using common::PositionalXml;
using Kind = PositionalXml::Kind;

namespace {

[[noreturn]] void fail()
{
    __builtin_trap();
}

bool isXmlBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// Text that the view keeps as a node and a DOM drops.
bool domDrops(const PositionalXml::Node &n)
{
    if (n.kind() != Kind::Text)
        return false;
    const QString t = n.text();
    bool otherBlank = false;
    for (const QChar c : t) {
        if (!c.isSpace())
            return false;
        otherBlank = otherBlank || !isXmlBlank(c);
    }
    return otherBlank;
}

int domDepth(const QDomNode &n)
{
    int deepest = 0;
    for (QDomNode c = n.firstChild(); !c.isNull(); c = c.nextSibling())
        deepest = std::max(deepest, domDepth(c));
    return deepest + (n.isElement() ? 1 : 0);
}

QString domText(const QDomNode &n)
{
    if (n.isElement())
        return n.toElement().text();
    if (n.isCharacterData())
        return n.toCharacterData().data();
    if (n.isProcessingInstruction())
        return n.toProcessingInstruction().data();
    return n.nodeValue();
}

bool sameKind(const PositionalXml::Node &ours, const QDomNode &dom)
{
    switch (ours.kind()) {
    case Kind::Declaration:
        return dom.isProcessingInstruction() && dom.nodeName() == QLatin1String("xml");
    case Kind::Element: return dom.isElement();
    case Kind::Text: return dom.isText() && !dom.isCDATASection();
    case Kind::CData: return dom.isCDATASection();
    case Kind::EntityReference: return dom.isEntityReference();
    case Kind::Comment: return dom.isComment();
    case Kind::ProcessingInstruction:
        return dom.isProcessingInstruction() && dom.nodeName() != QLatin1String("xml");
    case Kind::Document:
    case Kind::DocumentType: break;
    }
    return false;
}

// An element's text is its descendants' text, in order.
QString joinedText(const PositionalXml::Node &n)
{
    QString out;
    for (int i = 0; i < n.childCount(); ++i) {
        const PositionalXml::Node c = n.child(i);
        if (c.kind() == Kind::Element)
            out += joinedText(c);
        else if (c.kind() == Kind::Text || c.kind() == Kind::CData || c.kind() == Kind::EntityReference)
            out += c.text();
    }
    return out;
}

void compareChildren(const PositionalXml::Node &ours, const QDomNode &dom, bool topLevel);

void compare(const PositionalXml::Node &ours, const QDomNode &dom)
{
    if (!sameKind(ours, dom))
        fail();
    if (ours.kind() == Kind::Element) {
        if (ours.text() != joinedText(ours))
            fail();
        compareChildren(ours, dom, false);
    } else if (ours.text() != domText(dom) || ours.childCount() != 0) {
        fail();
    }
}

void compareChildren(const PositionalXml::Node &ours, const QDomNode &dom, bool topLevel)
{
    QDomNode d = dom.firstChild();
    for (int i = 0; i < ours.childCount(); ++i) {
        const PositionalXml::Node c = ours.child(i);
        if ((topLevel && c.kind() == Kind::DocumentType) || domDrops(c))
            continue;
        if (d.isNull())
            fail();
        compare(c, d);
        d = d.nextSibling();
    }
    if (!d.isNull())
        fail();
}

bool sameView(const PositionalXml::Node &a, const PositionalXml::Node &b)
{
    if (a.kind() != b.kind() || a.childCount() != b.childCount() || a.text() != b.text())
        return false;
    for (int i = 0; i < a.childCount(); ++i) {
        if (!sameView(a.child(i), b.child(i)))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    PositionalXml xml;
    const bool ok = xml.loadText(text);

    // In parts cut where the first byte says.
    common::PositionalXmlReader reader;
    const qsizetype step = size ? 1 + data[0] % 13 : 1;
    for (qsizetype i = 0; i < text.size(); i += step)
        reader.addData(text.mid(i, step));
    const PositionalXml parts = reader.finish();
    if (parts.isWellFormed() != ok)
        fail();

    QDomDocument dom;
    const bool domOk = bool(dom.setContent(text));
    if (!ok) {
        if (xml.topLevelCount() != 0 || !xml.rootChildText(0).isEmpty() || xml.hasRootChild(0))
            fail();
        if (domOk && domDepth(dom) <= PositionalXml::kMaxDepth)
            fail();
        return 0;
    }
    if (!domOk)
        fail();

    if (!sameView(xml.document(), parts.document()))
        fail();
    // The document itself: its top-level nodes, all the way down.
    compareChildren(xml.document(), dom, true);
    return 0;
}
