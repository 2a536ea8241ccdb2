#pragma once

#include "wizard/users/UserRow.h"

#include <QList>

namespace common {
class PositionalXml;
}

namespace kestrup {

struct UserListRead
{
    QList<UserRow> rows; // in reply order
    int skipped = 0;     // user elements that could not be read as a user
};

// Reads a list reply: every child of the root is one user element, whose nine
// children are, by position, id, user name, last name, first name, telephone,
// e-mail, wireless number, carrier domain and password. The carrier is kept
// as its display name ("" for a domain outside the carrier table).
//
// An element with fewer than nine children is not a user and is skipped, as is
// one whose id lies outside the 16-bit range: a row with a wrong id would send
// a delete or an update for somebody else. A root without children (or no
// root) reads as an empty list.
UserListRead readUserList(const common::PositionalXml &reply);

// Position of the LAST row whose tag equals `id` (the row a delete removes),
// or -1. `tagAt(i)` answers the tag of row i. Walks from the end, so the
// usual case, one matching row, costs only the rows after it.
template<typename TagAt>
int lastRowWithId(int rowCount, TagAt &&tagAt, std::int16_t id)
{
    for (int i = rowCount - 1; i >= 0; --i) {
        if (tagAt(i) == id)
            return i;
    }
    return -1;
}

// Position of the FIRST row whose tag equals `id` (the row an edit updates), or -1.
template<typename TagAt>
int firstRowWithId(int rowCount, TagAt &&tagAt, std::int16_t id)
{
    for (int i = 0; i < rowCount; ++i) {
        if (tagAt(i) == id)
            return i;
    }
    return -1;
}

} // namespace kestrup
