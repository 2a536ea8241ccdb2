#include "ServerReply.h"

#include "common/HttpExchange.h"
#include "common/NumberReader.h"

namespace kestrup {

ServerReply ServerReply::fromResult(const common::HttpResult &result)
{
    return result.ok ? fromBody(result.body) : unreadable();
}

ServerReply ServerReply::fromResult(const common::HttpResult &result, common::PositionalXmlReader &body)
{
    ServerReply reply;
    common::PositionalXml xml = body.finish();
    if (result.ok) {
        reply.m_xml = std::move(xml);
        reply.m_readable = reply.m_xml.isWellFormed();
    }
    return reply;
}

ServerReply ServerReply::fromBody(const QByteArray &body)
{
    ServerReply reply;
    reply.m_readable = reply.m_xml.loadText(body);
    return reply;
}

ServerReply ServerReply::unreadable()
{
    return ServerReply();
}

std::optional<std::int16_t> ServerReply::replyValue() const
{
    if (!m_readable || !m_xml.hasRootChild(1))
        return std::nullopt;
    const common::Number16 n = common::readNumber16(m_xml.rootChildText(1));
    if (!n.inRange)
        return std::nullopt;
    return n.value;
}

} // namespace kestrup
