#pragma once

#include "server/store/Policy.h"

#include <QString>

#include <initializer_list>
#include <utility>

namespace alertserver {

class Connection;
class Database;

// Counters of attempts per subject (a name, an address, an administrator, a
// token) within a fixed window each, shared by every server on the store.
// The policy says how many a window allows; 0 turns a limit off.
class Limits
{
public:
    Limits(Database &db, const Policy &policy) : m_db(db), m_policy(policy) {}
    const Policy &policy() const { return m_policy; }

    bool over(Limit limit, const QString &subject);
    void count(Limit limit, const QString &subject);
    // Counts one against the limit unless it is reached: false then.
    bool spend(Limit limit, const QString &subject);

    // An attempt taken before the work it guards (a password's check, a
    // binding's), one per limit, all or none: false, with nothing taken,
    // when one of them is reached. Each is one statement, so attempts sent
    // at once can never pass a limit. An attempt that went well is given
    // back: only failures stay counted.
    using Attempts = std::initializer_list<std::pair<Limit, QString>>;
    bool reserve(Attempts attempts);
    void giveBack(Attempts attempts);

    // The same inside a transaction of the caller's.
    bool over(Connection &db, Limit limit, const QString &subject) const;
    void count(Connection &db, Limit limit, const QString &subject) const;
    // Seconds until the limit's window for the subject ends.
    qint64 windowLeft(Connection &db, Limit limit, const QString &subject) const;

    // Counters whose window ran out before `t`.
    static void dropExpired(Connection &db, qint64 t);

private:
    Database &m_db;
    const Policy &m_policy;
};

} // namespace alertserver
