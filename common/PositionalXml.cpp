#include "common/PositionalXml.h"

#include <QFile>
#include <QXmlStreamReader>

#include <vector>

namespace common {

struct PositionalXml::Data
{
    struct Record
    {
        qint32 textStart = 0;  // into `text`
        qint32 textSize = 0;
        qint32 end = 0;        // one past the node's last descendant
        qint32 firstChild = 0; // into `children`
        qint32 childCount = 0;
        Kind kind = Kind::Document;
    };

    // Node 0 is the document; the others follow in document order, so the
    // descendants of node i are the nodes i + 1 up to its end.
    std::vector<Record> nodes;
    // The children of every node, one run per node.
    std::vector<qint32> children;
    // The text of every text-carrying node, one after the other.
    QString text;

    bool isText(qint32 i) const
    {
        const Kind k = nodes[i].kind;
        return k == Kind::Text || k == Kind::CData || k == Kind::EntityReference;
    }
    QString textOf(qint32 i) const { return text.mid(nodes[i].textStart, nodes[i].textSize); }
};

namespace {

bool onlyXmlBlanks(QStringView text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u != u' ' && u != u'\t' && u != u'\n' && u != u'\r')
            return false;
    }
    return true;
}

// The declaration as a processing instruction "xml" would carry it.
QString declarationData(const QXmlStreamReader &reader)
{
    QString data = QStringLiteral("version='") + reader.documentVersion().toString() + u'\'';
    if (!reader.documentEncoding().isEmpty())
        data += QStringLiteral(" encoding='") + reader.documentEncoding().toString() + u'\'';
    if (reader.isStandaloneDocument())
        data += QStringLiteral(" standalone='yes'");
    return data;
}

// Builds the view while the reader goes through the text once.
class Builder
{
public:
    using Kind = PositionalXml::Kind;
    using Record = PositionalXml::Data::Record;

    explicit Builder(PositionalXml::Data &d) : m_d(d)
    {
        m_d.nodes.emplace_back();
        m_pending.resize(PositionalXml::kMaxDepth + 1);
    }

    // Text arrives in one or more pieces; it becomes one node once something
    // else follows, unless it is all blanks.
    void text(QStringView piece)
    {
        if (m_runStart < 0)
            m_runStart = m_d.text.size();
        m_d.text.append(piece);
    }

    void leaf(Kind kind, QStringView text)
    {
        endTextRun();
        Record r;
        r.kind = kind;
        r.textStart = qint32(m_d.text.size());
        r.textSize = qint32(text.size());
        m_d.text.append(text);
        add(r);
    }

    // False when the element would nest deeper than the limit.
    bool openElement()
    {
        endTextRun();
        if (m_open.size() >= std::size_t(PositionalXml::kMaxDepth))
            return false;
        Record r;
        r.kind = Kind::Element;
        m_open.push_back(add(r));
        return true;
    }

    void closeElement()
    {
        endTextRun();
        const qint32 element = m_open.back();
        m_open.pop_back();
        finish(element, m_open.size() + 1);
    }

    bool sawElement() const { return m_sawElement; }
    bool rootClosed() const { return m_open.empty() && m_sawElement; }

    // Whether the text still fits the view's 32-bit positions.
    bool fits() const { return m_d.text.size() < 0x7fffffff && m_d.nodes.size() < 0x7fffffffu; }

    void finishDocument()
    {
        endTextRun();
        finish(0, 0);
    }

private:
    void endTextRun()
    {
        if (m_runStart < 0)
            return;
        const qsizetype start = m_runStart;
        m_runStart = -1;
        const QStringView run = QStringView(m_d.text).mid(start);
        if (onlyXmlBlanks(run)) {
            m_d.text.truncate(start);
            return;
        }
        Record r;
        r.kind = Kind::Text;
        r.textStart = qint32(start);
        r.textSize = qint32(run.size());
        add(r);
    }

    qint32 add(const Record &r)
    {
        const qint32 index = qint32(m_d.nodes.size());
        m_d.nodes.push_back(r);
        m_d.nodes.back().end = index + 1;
        m_pending[m_open.size()].push_back(index);
        if (r.kind == Kind::Element)
            m_sawElement = true;
        return index;
    }

    // Gives `node` the children collected at `level` and closes its range.
    void finish(qint32 node, std::size_t level)
    {
        std::vector<qint32> &kids = m_pending[level];
        Record &r = m_d.nodes[node];
        r.end = qint32(m_d.nodes.size());
        r.firstChild = qint32(m_d.children.size());
        r.childCount = qint32(kids.size());
        m_d.children.insert(m_d.children.end(), kids.begin(), kids.end());
        kids.clear();
    }

    PositionalXml::Data &m_d;
    std::vector<qint32> m_open; // the open elements, outermost first
    // Children gathered so far: level 0 for the document, level n for the
    // open element at depth n.
    std::vector<std::vector<qint32>> m_pending;
    qsizetype m_runStart = -1; // where the text run now being read begins
    bool m_sawElement = false;
};

} // namespace

struct PositionalXmlReader::State
{
    State() : builder(*data) { reader.setNamespaceProcessing(false); } // names are never looked at

    // Reads tokens until the text at hand runs out. False once the text
    // cannot be a well-formed document.
    bool pump();

    std::shared_ptr<PositionalXml::Data> data = std::make_shared<PositionalXml::Data>();
    Builder builder;
    QXmlStreamReader reader;
    bool failed = false;
    bool ended = false;
    bool sawDocumentType = false;
    // Once the root has closed, the reader would take the end of the parts
    // at hand for the end of the document; what follows waits for finish().
    bool holdBack = false;
    QByteArray tail;
};

bool PositionalXmlReader::State::pump()
{
    using Kind = PositionalXml::Kind;
    while (!ended && !failed && !holdBack) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartDocument:
            // The reader reports a start of document for every text; only a
            // written declaration carries a version.
            if (!reader.documentVersion().isEmpty())
                builder.leaf(Kind::Declaration, declarationData(reader));
            break;
        case QXmlStreamReader::DTD:
            // The reader lets a document type stand anywhere; XML allows one,
            // before the root.
            failed = sawDocumentType || builder.sawElement();
            sawDocumentType = true;
            builder.leaf(Kind::DocumentType, {});
            break;
        case QXmlStreamReader::StartElement:
            failed = !builder.openElement();
            break;
        case QXmlStreamReader::EndElement:
            builder.closeElement();
            holdBack = builder.rootClosed();
            break;
        case QXmlStreamReader::Characters:
            if (reader.isCDATA())
                builder.leaf(Kind::CData, reader.text());
            else
                builder.text(reader.text());
            break;
        case QXmlStreamReader::EntityReference:
            builder.leaf(Kind::EntityReference, reader.text());
            break;
        case QXmlStreamReader::Comment:
            builder.leaf(Kind::Comment, reader.text());
            break;
        case QXmlStreamReader::ProcessingInstruction:
            builder.leaf(Kind::ProcessingInstruction, reader.processingInstructionData());
            break;
        case QXmlStreamReader::EndDocument:
            ended = true;
            break;
        case QXmlStreamReader::Invalid:
            if (reader.error() == QXmlStreamReader::PrematureEndOfDocumentError)
                return true; // waits for the next part
            failed = true;
            break;
        default:
            break;
        }
    }
    failed = failed || !builder.fits();
    return !failed;
}

PositionalXmlReader::PositionalXmlReader() : m_s(std::make_unique<State>()) {}
PositionalXmlReader::~PositionalXmlReader() = default;

void PositionalXmlReader::addData(const QByteArray &part)
{
    if (!m_s || m_s->failed || part.isEmpty())
        return;
    if (m_s->holdBack || m_s->ended) {
        m_s->tail += part;
        return;
    }
    m_s->reader.addData(part);
    m_s->pump();
}

PositionalXml PositionalXmlReader::finish()
{
    std::unique_ptr<State> s = std::move(m_s);
    if (!s || s->failed)
        return {};
    if (s->holdBack) {
        s->holdBack = false;
        if (!s->tail.isEmpty())
            s->reader.addData(s->tail);
        s->pump();
    }
    // Everything is in: whatever still waits for more text never comes.
    if (s->failed || !s->ended || s->reader.hasError())
        return {};
    s->builder.finishDocument();
    return PositionalXml(std::move(s->data));
}

PositionalXml::PositionalXml() = default;
PositionalXml::~PositionalXml() = default;
PositionalXml::PositionalXml(const PositionalXml &) = default;
PositionalXml &PositionalXml::operator=(const PositionalXml &) = default;

bool PositionalXml::loadFile(const QString &path)
{
    m_d.reset();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return loadText(file.readAll());
}

bool PositionalXml::loadText(const QString &text)
{
    return loadText(text.toUtf8());
}

bool PositionalXml::loadText(const QByteArray &text)
{
    PositionalXmlReader reader;
    reader.addData(text);
    *this = reader.finish();
    return isWellFormed();
}

PositionalXml::Node PositionalXml::document() const
{
    return m_d ? Node(m_d.get(), 0) : Node();
}

PositionalXml::Kind PositionalXml::Node::kind() const
{
    return m_d ? m_d->nodes[m_i].kind : Kind::Document;
}

int PositionalXml::Node::childCount() const
{
    return m_d ? m_d->nodes[m_i].childCount : 0;
}

PositionalXml::Node PositionalXml::Node::child(int index) const
{
    if (!m_d || index < 0 || index >= m_d->nodes[m_i].childCount)
        return {};
    return Node(m_d, m_d->children[m_d->nodes[m_i].firstChild + index]);
}

QString PositionalXml::Node::text() const
{
    if (!m_d)
        return {};
    const Data::Record &r = m_d->nodes[m_i];
    if (r.kind != Kind::Element)
        return m_d->textOf(m_i);
    if (r.end == m_i + 2 && m_d->isText(m_i + 1))
        return m_d->textOf(m_i + 1);
    // Usually one text node below the element: handed out without joining.
    qint32 first = -1;
    qint32 pieces = 0;
    qsizetype size = 0;
    for (qint32 i = m_i + 1; i < r.end; ++i) {
        if (m_d->isText(i)) {
            if (first < 0)
                first = i;
            ++pieces;
            size += m_d->nodes[i].textSize;
        }
    }
    if (pieces == 0)
        return {};
    if (pieces == 1)
        return m_d->textOf(first);
    QString joined;
    joined.reserve(size);
    for (qint32 i = first; i < r.end; ++i) {
        if (m_d->isText(i))
            joined += QStringView(m_d->text).mid(m_d->nodes[i].textStart, m_d->nodes[i].textSize);
    }
    return joined;
}

} // namespace common
