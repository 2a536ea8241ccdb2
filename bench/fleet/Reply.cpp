#include "Reply.h"

#include <cctype>
#include <charconv>

namespace fleet {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool containsNoCase(std::string_view text, std::string_view word)
{
    for (size_t i = 0; i + word.size() <= text.size(); ++i)
        if (startsWithNoCase(text.substr(i), word))
            return true;
    return false;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

Reply readReply(std::string_view bytes, bool closed)
{
    Reply r;
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (closed || bytes.size() > 65536)
            r.state = Reply::State::Malformed;
        return r;
    }
    r.head = bytes.substr(0, end);
    if (!r.head.starts_with("HTTP/1.") || r.head.size() < 12) {
        r.state = Reply::State::Malformed;
        return r;
    }
    const bool http11 = r.head[7] == '1';
    if (std::from_chars(r.head.data() + 9, r.head.data() + 12, r.status).ec != std::errc()) {
        r.state = Reply::State::Malformed;
        return r;
    }
    long long length = -1;
    bool close = !http11, keepAlive = false, chunked = false;
    std::string_view fields = r.head.substr(r.head.find("\r\n") == std::string_view::npos ? r.head.size()
                                                                                            : r.head.find("\r\n") + 2);
    while (!fields.empty()) {
        const size_t eol = fields.find("\r\n");
        const std::string_view line = fields.substr(0, eol);
        fields = eol == std::string_view::npos ? std::string_view() : fields.substr(eol + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon), value = trimmed(line.substr(colon + 1));
        if (name.size() == 14 && startsWithNoCase(name, "content-length")) {
            long long n = 0;
            if (std::from_chars(value.data(), value.data() + value.size(), n).ec != std::errc() || n < 0) {
                r.state = Reply::State::Malformed;
                return r;
            }
            length = n;
        } else if (name.size() == 10 && startsWithNoCase(name, "connection")) {
            close = close || containsNoCase(value, "close");
            keepAlive = containsNoCase(value, "keep-alive");
        } else if (name.size() == 17 && startsWithNoCase(name, "transfer-encoding")) {
            chunked = true;
        }
    }
    // A desktop's replies are small and framed by their length; a chunked
    // one is not what either server sends.
    if (chunked) {
        r.state = Reply::State::Malformed;
        return r;
    }
    const size_t bodyStart = end + 4;
    if (length < 0) {
        // Read until the close: the connection cannot carry another request.
        if (!closed)
            return r;
        r.body = bytes.substr(bodyStart);
        r.state = Reply::State::Complete;
        return r;
    }
    if (bytes.size() - bodyStart < size_t(length)) {
        if (closed)
            r.state = Reply::State::Malformed;
        return r;
    }
    r.body = bytes.substr(bodyStart, size_t(length));
    r.extra = bytes.size() > bodyStart + size_t(length);
    r.keepAlive = http11 ? !close : keepAlive;
    r.state = Reply::State::Complete;
    return r;
}

std::string_view childText(std::string_view xml, int index)
{
    size_t at = 0;
    // Past the declaration, comments and the document type to the root's
    // start tag, then past it.
    for (;;) {
        at = xml.find('<', at);
        if (at == std::string_view::npos || at + 1 >= xml.size())
            return {};
        if (xml[at + 1] != '?' && xml[at + 1] != '!')
            break;
        at = xml.find('>', at);
        if (at == std::string_view::npos)
            return {};
    }
    at = xml.find('>', at);
    for (int child = 0; at != std::string_view::npos; ++child) {
        const size_t open = xml.find('<', at);
        if (open == std::string_view::npos || open + 1 >= xml.size() || xml[open + 1] == '/')
            return {};
        const size_t close = xml.find('>', open);
        if (close == std::string_view::npos)
            return {};
        const bool empty = xml[close - 1] == '/';
        const size_t textEnd = empty ? close + 1 : xml.find('<', close);
        if (textEnd == std::string_view::npos)
            return {};
        if (child == index)
            return empty ? std::string_view() : trimmed(xml.substr(close + 1, textEnd - close - 1));
        // Past this child's end tag.
        at = empty ? close : xml.find('>', textEnd);
    }
    return {};
}

std::string_view firstChildText(std::string_view xml)
{
    return childText(xml, 0);
}

} // namespace fleet
