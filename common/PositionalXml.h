#pragma once

#include <QByteArray>
#include <QDomDocument>
#include <QString>

namespace common {

// A read-only view of an XML document that is taken by position only.
//
// Top-level node 0 is the XML declaration and top-level node 1 the root; the
// root's children are read by index as their text content. Element names and
// attributes are never looked at. Comments and processing instructions count
// as nodes wherever they stand; whitespace-only text forms no node.
class PositionalXml
{
public:
    // Deeper nesting than this is refused as unreadable: nothing the suite
    // reads nests more than three levels, and a hostile reply must not be able
    // to exhaust the stack of the document's recursive teardown.
    static constexpr int kMaxDepth = 256;

    PositionalXml() = default;

    // Both answer whether the document is well-formed; on false the view is empty.
    bool loadFile(const QString &path);
    bool loadText(const QByteArray &text);
    bool loadText(const QString &text);

    bool isWellFormed() const { return m_wellFormed; }

    int topLevelCount() const;
    QDomNode topLevel(int index) const;
    // Top-level node 1; a null node when the document has no second top-level node.
    QDomNode root() const { return topLevel(1); }

    // For walking many children: one QDomNodeList indexes in constant time,
    // whereas child() builds the list anew on every call.
    static QDomNodeList children(const QDomNode &node) { return node.childNodes(); }
    static int childCount(const QDomNode &node);
    static QDomNode child(const QDomNode &node, int index);
    static bool hasChild(const QDomNode &node, int index);
    // Text content of child `index` of `node`; "" when that child does not exist.
    static QString childText(const QDomNode &node, int index);
    // Text content of a node as a DOM reads it (elements: all descendant text).
    static QString text(const QDomNode &node);

    // The same, for the root.
    int rootChildCount() const { return childCount(root()); }
    bool hasRootChild(int index) const { return hasChild(root(), index); }
    QString rootChildText(int index) const { return childText(root(), index); }

private:
    QDomDocument m_doc;
    bool m_wellFormed = false;
};

} // namespace common
