#include "PositionalXml.h"

#include <QFile>
#include <QXmlStreamReader>

namespace common {

namespace {

bool nestingWithinLimit(const QByteArray &text, int limit)
{
    QXmlStreamReader reader(text);
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > limit)
                return false;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    // A parse error is left for QDomDocument to report.
    return true;
}

} // namespace

bool PositionalXml::loadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_doc = QDomDocument();
        m_wellFormed = false;
        return false;
    }
    return loadText(file.readAll());
}

bool PositionalXml::loadText(const QString &text)
{
    return loadText(text.toUtf8());
}

bool PositionalXml::loadText(const QByteArray &text)
{
    m_doc = QDomDocument();
    m_wellFormed = false;
    if (text.isEmpty() || !nestingWithinLimit(text, kMaxDepth))
        return false;
    QDomDocument doc;
    if (!doc.setContent(text))
        return false;
    m_doc = doc;
    m_wellFormed = true;
    return true;
}

int PositionalXml::topLevelCount() const
{
    return m_wellFormed ? m_doc.childNodes().count() : 0;
}

QDomNode PositionalXml::topLevel(int index) const
{
    if (!m_wellFormed || index < 0)
        return {};
    return m_doc.childNodes().at(index);
}

int PositionalXml::childCount(const QDomNode &node)
{
    return node.isNull() ? 0 : node.childNodes().count();
}

QDomNode PositionalXml::child(const QDomNode &node, int index)
{
    if (node.isNull() || index < 0)
        return {};
    return node.childNodes().at(index);
}

bool PositionalXml::hasChild(const QDomNode &node, int index)
{
    return !child(node, index).isNull();
}

QString PositionalXml::childText(const QDomNode &node, int index)
{
    return text(child(node, index));
}

QString PositionalXml::text(const QDomNode &c)
{
    if (c.isNull())
        return {};
    // Text content as a DOM reads it: for an element the concatenated text of
    // its descendants, for a comment or processing instruction its data.
    if (c.isElement())
        return c.toElement().text();
    if (c.isCharacterData())
        return c.toCharacterData().data();
    if (c.isProcessingInstruction())
        return c.toProcessingInstruction().data();
    return c.nodeValue();
}

} // namespace common
