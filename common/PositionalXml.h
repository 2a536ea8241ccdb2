#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace common {

// A read-only view of an XML document that is taken by position only.
//
// The document's top-level nodes are listed in order: the XML declaration
// (only when the text really begins with one), a document type declaration,
// comments, processing instructions and the root element. With a declaration
// and nothing between it and the root, top-level node 1 is the root. Each
// node's children are read by index; element names and attributes are never
// looked at. Comments and processing instructions count as nodes wherever
// they stand, CDATA sections and entity references are text nodes of their
// own, and text made only of XML blanks (space, tab, CR, LF) forms no node.
//
// The view is built in one pass over the text (PositionalXmlReader takes the
// text in parts, as it arrives). Nodes are small handles into the document: a
// Node is valid for as long as the PositionalXml it came from (or a copy of
// it) lives. Copies share the view.
class PositionalXml
{
public:
    struct Data; // the view itself, shared by copies
    // Deeper nesting than this is refused as unreadable: nothing the suite
    // reads nests more than three levels, and no reply may make the reader
    // hold an unbounded stack of open elements.
    static constexpr int kMaxDepth = 256;

    enum class Kind : quint8 {
        Document, Declaration, DocumentType, Element, Text, CData, EntityReference, Comment,
        ProcessingInstruction
    };

    class Node
    {
    public:
        Node() = default;

        bool isNull() const { return !m_d; }
        // Document for a null node.
        Kind kind() const;
        bool isElement() const { return m_d && kind() == Kind::Element; }

        int childCount() const;
        // A null node when there is no child `index`.
        Node child(int index) const;
        bool hasChild(int index) const { return !child(index).isNull(); }

        // The node's text content: for an element all the text of the text,
        // CDATA and entity reference nodes below it, in document order; for a
        // text, comment or processing instruction node its own text or data;
        // "" for a null node.
        QString text() const;
        // Text of child `index`; "" when that child does not exist.
        QString childText(int index) const { return child(index).text(); }

        friend bool operator==(const Node &a, const Node &b) { return a.m_d == b.m_d && a.m_i == b.m_i; }

    private:
        friend class PositionalXml;
        Node(const Data *d, qint32 i) : m_d(d), m_i(i) {}

        const Data *m_d = nullptr;
        qint32 m_i = 0;
    };

    PositionalXml();
    ~PositionalXml();
    PositionalXml(const PositionalXml &);
    PositionalXml &operator=(const PositionalXml &);

    // Both answer whether the document is well-formed; on false the view is empty.
    bool loadFile(const QString &path);
    bool loadText(const QByteArray &text);
    bool loadText(const QString &text);

    bool isWellFormed() const { return bool(m_d); }

    // The document node, whose children are the top-level nodes.
    Node document() const;
    int topLevelCount() const { return document().childCount(); }
    Node topLevel(int index) const { return document().child(index); }
    // Top-level node 1; a null node when the document has no second top-level node.
    Node root() const { return topLevel(1); }

    // The same, for the root.
    int rootChildCount() const { return root().childCount(); }
    bool hasRootChild(int index) const { return root().hasChild(index); }
    QString rootChildText(int index) const { return root().childText(index); }

private:
    friend class PositionalXmlReader;
    explicit PositionalXml(std::shared_ptr<const Data> d) : m_d(std::move(d)) {}

    std::shared_ptr<const Data> m_d;
};

// Reads a text that arrives in parts into a PositionalXml, each part as far as
// it goes, so that little is left to do once the last part is in. The view is
// the same however the text was cut.
class PositionalXmlReader
{
public:
    PositionalXmlReader();
    ~PositionalXmlReader();
    PositionalXmlReader(const PositionalXmlReader &) = delete;
    PositionalXmlReader &operator=(const PositionalXmlReader &) = delete;

    void addData(const QByteArray &part);
    // The view of the whole text added; an empty, not well-formed view when
    // the text is not a well-formed document. The reader is spent afterwards.
    PositionalXml finish();

private:
    struct State;
    std::unique_ptr<State> m_s;
};

} // namespace common
