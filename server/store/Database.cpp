#include "server/store/Database.h"

#include "server/store/PostgresDb.h"
#include "server/store/SqliteDb.h"

#include <QRandomGenerator>

#include <chrono>
#include <thread>

namespace alertserver {

Query &Query::bind(int index, const Value &value)
{
    std::visit(
        [&](const auto &v) {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::monostate>)
                m_s.bindNull(index);
            else
                m_s.bind(index, v);
        },
        value);
    return *this;
}

static_assert(!std::is_constructible_v<Sql, const char *>,
              "only a literal makes a cached statement; text built at run time goes through statement()");

Statement &Connection::cached(Sql sql)
{
    auto it = m_statements.find(sql.text());
    if (it == m_statements.end())
        it = m_statements.emplace(sql.text(), prepare(sql.text())).first;
    return *it->second;
}

bool Database::isUri(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://")) || location.startsWith(QLatin1String("postgres://"));
}

std::unique_ptr<Database> Database::open(const QString &location)
{
    if (isUri(location))
        return std::make_unique<PostgresDatabase>(location);
    return std::make_unique<SqliteDatabase>(location);
}

std::unique_ptr<Connection> Database::connect(const QString &location)
{
    if (isUri(location))
        return std::make_unique<PostgresConnection>(location);
    return std::make_unique<SqliteConnection>(location);
}

Database::~Database() = default;

Database::Lease Database::acquire()
{
    for (;;) {
        std::unique_ptr<Connection> conn;
        {
            std::lock_guard lock(m_mutex);
            if (m_free.empty())
                break;
            conn = std::move(m_free.back());
            m_free.pop_back();
        }
        if (conn->usable())
            return Lease(*this, std::move(conn));
    }
    return Lease(*this, openConnection());
}

void Database::giveBack(std::unique_ptr<Connection> conn)
{
    if (!conn || conn->broken())
        return;
    std::lock_guard lock(m_mutex);
    m_free.push_back(std::move(conn));
}

void Database::pauseAfterConflict(int attempt)
{
    // Random, so that two transactions that met do not meet again at once;
    // growing, so that a crowd thins out.
    const int most = std::min(1 << std::min(attempt, 5), 32);
    std::this_thread::sleep_for(std::chrono::microseconds(500 + QRandomGenerator::global()->bounded(most * 500)));
}

void Database::lostWhileCommitting(const ConnectionLost &e)
{
    throw StoreError(std::string("the connection to the database broke while a change was committed, so it may or "
                                 "may not have been kept: ")
                     + e.what());
}

} // namespace alertserver
