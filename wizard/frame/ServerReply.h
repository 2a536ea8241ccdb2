#pragma once

#include "common/PositionalXml.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace common { struct HttpResult; }

namespace kestrup {

// A reply of the alert server, read by position: root child 0 is the status
// word, root child 1 the reply value where an outcome has one.
//
// A transport failure, a time-out or a body that is not well-formed XML makes
// an unreadable reply (isReadable() false, statusWord() ""). Windows compare
// the status word exactly (is("LOGINOK")); anything unmatched, a missing
// child 0 included, goes to the window's unrecognised-reply branch.
class ServerReply
{
public:
    static ServerReply fromResult(const common::HttpResult &result);
    // A reply whose body was read as it arrived.
    static ServerReply fromResult(const common::HttpResult &result, common::PositionalXmlReader &body);
    static ServerReply fromBody(const QByteArray &body);
    static ServerReply unreadable();

    bool isReadable() const { return m_readable; }
    bool hasStatusWord() const { return m_readable && m_xml.hasRootChild(0); }
    QString statusWord() const { return hasStatusWord() ? m_xml.rootChildText(0) : QString(); }
    bool is(QStringView word) const { return hasStatusWord() && statusWord() == word; }

    // Root child 1 as a 16-bit number (leading number, halves to even).
    // Empty when the child is missing or the number lies outside -32768..32767:
    // such a reply counts as unrecognised.
    std::optional<std::int16_t> replyValue() const;

    // The whole document, for replies that carry more (the user list).
    const common::PositionalXml &xml() const { return m_xml; }

private:
    bool m_readable = false;
    common::PositionalXml m_xml;
};

} // namespace kestrup
