#pragma once

#include "server/store/Records.h"

#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace alertserver {

class Connection;
class Database;

// The users of each administrator (the users table and the counter of ids).
class Users
{
public:
    explicit Users(Database &db) : m_db(db) {}

    enum class Addition { Added, NameTaken, Full, NoAdmin };
    // Full also when the administrator has `maxUsers` users already.
    // `selfRegisteredShare`: the users all self-registered administrators
    // may hold together; the ids above it stay for the operator's own.
    std::pair<Addition, int> add(int adminId, const UserFields &fields, int maxUsers = kMaxId,
                                 int selfRegisteredShare = kMaxId);
    // Changes everything but the user name; a new password ends every
    // session of the user. False for an unknown id.
    bool edit(int id, const UserFields &fields);
    bool remove(int id);
    QList<UserRecord> of(int adminId);
    // One page of an administrator's users by name: those whose name, first
    // or last name or e-mail address holds `text` (ASCII letters without
    // case; "%", "_" and "\" are themselves), and how many there are in all.
    struct Page
    {
        QList<UserRecord> users;
        int total = 0;
    };
    Page search(int adminId, const QString &text, int offset, int limit);
    std::optional<UserRecord> byName(const QString &username);

private:
    // The next free user id: one above the highest ever given while that
    // stays in range, and the lowest free id once the range is used up.
    static int nextId(Connection &db);

    Database &m_db;
};

} // namespace alertserver
