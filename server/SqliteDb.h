#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace alertserver {

// Thrown for every SQLite failure; the request that hit it gets an error reply
// and the transaction it was in is rolled back.
class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class SqliteConnection;

// One prepared statement, reset and unbound when the Query goes out of scope,
// so a cached statement is always clean for its next user.
class Query
{
public:
    Query(SqliteConnection &db, sqlite3_stmt *stmt);
    ~Query();
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(int index, qint64 value);
    Query &bind(int index, int value) { return bind(index, qint64(value)); }
    Query &bind(int index, const QString &value);
    Query &bind(int index, const QByteArray &blob);
    Query &bindNull(int index);

    // Steps once: true while a row is there.
    bool next();
    // Runs a statement that returns no rows.
    void run();

    qint64 integer(int column) const;
    QString text(int column) const;
    QByteArray blob(int column) const;
    bool isNull(int column) const;

private:
    SqliteConnection &m_db;
    sqlite3_stmt *m_stmt;
};

// One open database handle with its cache of prepared statements. Used by one
// thread at a time (the pool hands it out).
class SqliteConnection
{
public:
    explicit SqliteConnection(const QString &path);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection &) = delete;
    SqliteConnection &operator=(const SqliteConnection &) = delete;

    // The statement for `sql`, prepared once per connection. `sql` must be a
    // string literal: its address is the cache key.
    Query query(const char *sql);
    // Runs one or more statements without parameters.
    void exec(const char *sql);

    qint64 changes() const;
    qint64 lastInsertId() const;

    [[noreturn]] void fail(const char *what) const;
    sqlite3 *handle() const { return m_db; }

private:
    sqlite3 *m_db = nullptr;
    std::unordered_map<const char *, sqlite3_stmt *> m_statements;
};

// A transaction that rolls back unless committed. Write transactions start
// IMMEDIATE so that two writers never deadlock on a lock upgrade; the busy
// timeout then makes the second one wait its turn.
class Transaction
{
public:
    enum class Kind { Read, Write };
    Transaction(SqliteConnection &db, Kind kind);
    ~Transaction();
    void commit();

private:
    SqliteConnection &m_db;
    bool m_open = true;
};

// Hands out connections to threads; a returned connection is kept for the next
// caller, so each worker thread effectively keeps its own handle and its
// prepared statements.
class ConnectionPool
{
public:
    explicit ConnectionPool(QString path);
    ~ConnectionPool();

    class Lease
    {
    public:
        Lease(ConnectionPool &pool, std::unique_ptr<SqliteConnection> conn)
            : m_pool(pool), m_conn(std::move(conn)) {}
        ~Lease() { m_pool.giveBack(std::move(m_conn)); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        SqliteConnection &operator*() const { return *m_conn; }
        SqliteConnection *operator->() const { return m_conn.get(); }

    private:
        ConnectionPool &m_pool;
        std::unique_ptr<SqliteConnection> m_conn;
    };

    Lease acquire();
    const QString &path() const { return m_path; }

private:
    void giveBack(std::unique_ptr<SqliteConnection> conn);

    QString m_path;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<SqliteConnection>> m_free;
};

} // namespace alertserver
