#include "UserListReply.h"

#include "ProviderTable.h"

#include "common/NumberReader.h"
#include "common/PositionalXml.h"

namespace kestrup {

UserListRead readUserList(const common::PositionalXml &reply)
{
    using common::PositionalXml;
    UserListRead read;
    const QDomNodeList users = PositionalXml::children(reply.root());
    const int count = users.count();
    read.rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QDomNodeList f = PositionalXml::children(users.at(i));
        if (f.count() < 9) {
            ++read.skipped;
            continue;
        }
        const common::Number16 id = common::readNumber16(PositionalXml::text(f.at(0)));
        if (!id.inRange) {
            ++read.skipped;
            continue;
        }
        UserRow row;
        row.id = id.value;
        row.username = PositionalXml::text(f.at(1));
        row.lastname = PositionalXml::text(f.at(2));
        row.firstname = PositionalXml::text(f.at(3));
        row.tel = PositionalXml::text(f.at(4));
        row.email = PositionalXml::text(f.at(5));
        row.wirelessNo = PositionalXml::text(f.at(6));
        row.provider = ProviderNameOf(PositionalXml::text(f.at(7)));
        row.password = PositionalXml::text(f.at(8));
        read.rows.append(std::move(row));
    }
    return read;
}

} // namespace kestrup
