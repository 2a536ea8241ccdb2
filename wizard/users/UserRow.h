#pragma once

#include <QString>
#include <cstdint>

namespace kestrup {

// One user as a row of the user list: the text, sub-items 1 to 7 and the tag.
struct UserRow
{
    std::int16_t id = 0;  // the tag
    QString username;     // text
    QString firstname;    // sub-item 1
    QString lastname;     // sub-item 2
    QString email;        // sub-item 3
    QString tel;          // sub-item 4
    QString wirelessNo;   // sub-item 5
    QString provider;     // sub-item 6, the carrier's display name
    QString password;     // sub-item 7, a column never shown

    friend bool operator==(const UserRow &, const UserRow &) = default;
};

// The columns of the list, in order.
enum UserColumn {
    ColUsername,
    ColFirstname,
    ColLastname,
    ColEmail,
    ColTel,
    ColWirelessNo,
    ColProvider,
    ColPassword,
    UserColumnCount
};

} // namespace kestrup
