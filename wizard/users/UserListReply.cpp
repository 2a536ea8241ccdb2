#include "UserListReply.h"

#include "ProviderTable.h"

#include "common/NumberReader.h"
#include "common/PositionalXml.h"

namespace kestrup {

UserListRead readUserList(const common::PositionalXml &reply)
{
    UserListRead read;
    const common::PositionalXml::Node users = reply.root();
    const int count = users.childCount();
    read.rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        const common::PositionalXml::Node user = users.child(i);
        if (user.childCount() < 9) {
            ++read.skipped;
            continue;
        }
        const common::Number16 id = common::readNumber16(user.childText(0));
        if (!id.inRange) {
            ++read.skipped;
            continue;
        }
        UserRow row;
        row.id = id.value;
        row.username = user.childText(1);
        row.lastname = user.childText(2);
        row.firstname = user.childText(3);
        row.tel = user.childText(4);
        row.email = user.childText(5);
        row.wirelessNo = user.childText(6);
        row.provider = ProviderNameOf(user.childText(7));
        row.password = user.childText(8);
        read.rows.append(std::move(row));
    }
    return read;
}

} // namespace kestrup
