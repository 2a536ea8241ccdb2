#include "server/pages/Markup.h"

namespace alertserver {

namespace {

bool allowedInXml(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

} // namespace

QString escapeMarkup(QStringView text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        switch (ch.unicode()) {
        case '&': out += QLatin1String("&amp;"); continue;
        case '<': out += QLatin1String("&lt;"); continue;
        case '>': out += QLatin1String("&gt;"); continue;
        case '"': out += QLatin1String("&quot;"); continue;
        case '\'': out += QLatin1String("&#39;"); continue;
        default: break;
        }
        if (ch.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += ch;
            out += text[++i];
        } else if (ch.isSurrogate() || !allowedInXml(ch.unicode())) {
            out += QChar(QChar::ReplacementCharacter);
        } else {
            out += ch;
        }
    }
    return out;
}

XmlReply::XmlReply(const QString &root)
{
    m_text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    open(root);
}

XmlReply &XmlReply::open(const QString &name)
{
    m_text += u'<' + name + u'>';
    m_open.append(name);
    return *this;
}

XmlReply &XmlReply::element(const QString &name, QStringView text)
{
    m_text += u'<' + name + u'>' + escapeMarkup(text) + QLatin1String("</") + name + u'>';
    return *this;
}

XmlReply &XmlReply::close()
{
    if (!m_open.isEmpty())
        m_text += QLatin1String("</") + m_open.takeLast() + u'>';
    return *this;
}

QByteArray XmlReply::finish()
{
    while (!m_open.isEmpty())
        close();
    m_text += u'\n';
    return m_text.toUtf8();
}

QByteArray statusReply(const QString &word, std::optional<int> value)
{
    XmlReply reply(QStringLiteral("reply"));
    reply.element(QStringLiteral("status"), word);
    if (value)
        reply.element(QStringLiteral("value"), QString::number(*value));
    return reply.finish();
}

QByteArray errorReply(const QString &why)
{
    return XmlReply(QStringLiteral("reply"))
        .element(QStringLiteral("status"), u"ERROR")
        .element(QStringLiteral("message"), why)
        .finish();
}

QByteArray answerReply(const QString &root, const QString &answer)
{
    return XmlReply(root).element(QStringLiteral("answer"), answer).finish();
}

} // namespace alertserver
