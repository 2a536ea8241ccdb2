#pragma once
// Reading an HTTP reply as it arrives, and the one value the desktops take
// from its body.

#include <cstddef>
#include <string>
#include <string_view>

namespace fleet {

struct Reply
{
    enum class State { Incomplete, Complete, Malformed };
    State state = State::Incomplete;
    int status = 0;         // the HTTP status code
    bool keepAlive = false; // the server keeps the connection open after it
    bool extra = false;     // bytes came after the reply
    std::string_view head;  // status line and fields, without the blank line
    std::string_view body;
};

// What `bytes` (everything read so far) holds; `closed` when the server has
// ended the connection, which completes a reply without a length.
Reply readReply(std::string_view bytes, bool closed);

// The text of the root element's first child, as the programs read every
// reply: the XML declaration, then the root, then its children by position.
std::string_view firstChildText(std::string_view xml);

// The text of the root element's child number `index` (from 0).
std::string_view childText(std::string_view xml, int index);

} // namespace fleet
