// Any bytes as a reply to the wizard: the status word and reply value come
// from root children 0 and 1, and the user list accounts for every child of
// the root as either a row or a skipped element.
#include "wizard/frame/ServerReply.h"
#include "wizard/users/UserListReply.h"

#include "common/NumberReader.h"
#include "common/PositionalXml.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const kestrup::ServerReply reply = kestrup::ServerReply::fromBody(body);
    const QString word = reply.statusWord();
    const std::optional<std::int16_t> value = reply.replyValue();
    if (!reply.isReadable()) {
        if (!word.isEmpty() || value || reply.hasStatusWord())
            __builtin_trap();
    } else if (value) {
        const common::Number16 n = common::readNumber16(reply.xml().rootChildText(1));
        if (!n.inRange || n.value != *value)
            __builtin_trap();
    }

    const kestrup::UserListRead list = kestrup::readUserList(reply.xml());
    const int elements = reply.isReadable() ? reply.xml().rootChildCount() : 0;
    if (list.rows.size() + list.skipped != elements)
        __builtin_trap();
    // Each row's id is the one its element carries.
    const common::PositionalXml::Node users = reply.xml().root();
    int row = 0;
    for (int i = 0; i < users.childCount() && row < list.rows.size(); ++i) {
        const common::PositionalXml::Node fields = users.child(i);
        if (fields.childCount() < 9)
            continue;
        const common::Number16 id = common::readNumber16(fields.childText(0));
        if (!id.inRange)
            continue;
        if (list.rows[row].id != id.value || list.rows[row].username != fields.childText(1))
            __builtin_trap();
        ++row;
    }
    if (row != list.rows.size())
        __builtin_trap();
    return 0;
}
