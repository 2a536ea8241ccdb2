#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

namespace alertserver {

// Thrown for every database failure; the request that hit it gets an error
// reply and the transaction it was in is rolled back.
class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The database refused a transaction because another one, run at the same
// time, touched the same rows (a serialization failure or a deadlock). Nothing
// of it was kept; Database::transaction runs it again.
class ConflictError : public StoreError
{
public:
    using StoreError::StoreError;
};

// The connection broke. It is dropped rather than handed out again, and work
// that is safe to repeat is run again on a new one.
class ConnectionLost : public StoreError
{
public:
    using StoreError::StoreError;
};

enum class Dialect { Sqlite, Postgres };

// A value of a column whatever its type: null, integer, text or bytes.
using Value = std::variant<std::monostate, qint64, QString, QByteArray>;

// The text of a statement that a connection prepares once and keeps. Only a
// string literal (or a constexpr array) can make one: the constructor runs at
// compile time and reads the text, which a compiler refuses for an array
// whose contents could change while the program runs. So its address names
// that one text for the life of the program: the cache of prepared
// statements is keyed by it, and no statement built at run time can ever be
// served another one's plan. Such statements go through
// Connection::statement, prepared for their one use.
class Sql
{
public:
    template <std::size_t N>
    consteval Sql(const char (&text)[N]) : m_text(text)
    {
        // Not a constant expression for a writable array: it does not compile.
        if (text[N - 1] != '\0')
            throw "an SQL text ends in a null character";
    }
    const char *text() const { return m_text; }

private:
    const char *m_text;
};

// One prepared statement of one back end. Placeholders are "?" in the SQL
// handed to Connection::query, numbered from 1.
class Statement
{
public:
    virtual ~Statement() = default;
    virtual void bind(int index, qint64 value) = 0;
    virtual void bind(int index, const QString &value) = 0;
    virtual void bind(int index, const QByteArray &blob) = 0;
    virtual void bindNull(int index) = 0;
    // The first call runs the statement; each call moves to the next row.
    virtual bool next() = 0;
    virtual qint64 integer(int column) const = 0;
    virtual QString text(int column) const = 0;
    virtual QByteArray blob(int column) const = 0;
    virtual bool isNull(int column) const = 0;
    virtual int columnCount() const = 0;
    virtual QString columnName(int column) const = 0;
    virtual Value value(int column) const = 0;
    // Drops the rows and the bound values, ready for the next use.
    virtual void reset() = 0;
};

// A statement in use, reset and unbound when the Query goes out of scope, so
// a cached statement is always clean for its next user.
class Query
{
public:
    // Binds the values to ?1, ?2, ... in order.
    template <typename... Values>
    explicit Query(Statement &statement, const Values &...values) : m_s(statement)
    {
        try {
            int index = 0;
            (bind(++index, values), ...);
        } catch (...) {
            m_s.reset();
            throw;
        }
    }
    ~Query() { m_s.reset(); }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(int index, qint64 value) { m_s.bind(index, value); return *this; }
    Query &bind(int index, int value) { return bind(index, qint64(value)); }
    Query &bind(int index, const QString &value) { m_s.bind(index, value); return *this; }
    Query &bind(int index, const QByteArray &blob) { m_s.bind(index, blob); return *this; }
    // No value is SQL's null.
    Query &bind(int index, const std::optional<qint64> &value)
    {
        return value ? bind(index, *value) : bindNull(index);
    }
    Query &bind(int index, const Value &value);
    Query &bindNull(int index) { m_s.bindNull(index); return *this; }

    // Steps once: true while a row is there.
    bool next() { return m_s.next(); }
    // Runs a statement whose rows, if any, are not wanted.
    void run() { while (next()) {} }

    qint64 integer(int column) const { return m_s.integer(column); }
    QString text(int column) const { return m_s.text(column); }
    QByteArray blob(int column) const { return m_s.blob(column); }
    bool isNull(int column) const { return m_s.isNull(column); }
    int columnCount() const { return m_s.columnCount(); }
    QString columnName(int column) const { return m_s.columnName(column); }
    Value value(int column) const { return m_s.value(column); }

    // A column as the type it is read into; a null reads as no value into
    // an optional.
    template <typename T>
    T column(int index) const;
    // The row's first columns, in order.
    template <typename... T>
    std::tuple<T...> row() const
    {
        return rowFrom<T...>(std::index_sequence_for<T...>());
    }

private:
    template <typename... T, std::size_t... I>
    std::tuple<T...> rowFrom(std::index_sequence<I...>) const
    {
        return {column<T>(int(I))...};
    }

    Statement &m_s;
};

template <>
inline qint64 Query::column<qint64>(int index) const { return integer(index); }
template <>
inline int Query::column<int>(int index) const { return int(integer(index)); }
template <>
inline bool Query::column<bool>(int index) const { return integer(index) != 0; }
template <>
inline QString Query::column<QString>(int index) const { return text(index); }
template <>
inline QByteArray Query::column<QByteArray>(int index) const { return blob(index); }
template <>
inline std::optional<qint64> Query::column<std::optional<qint64>>(int index) const
{
    return isNull(index) ? std::nullopt : std::optional<qint64>(integer(index));
}

enum class TransactionKind {
    // A consistent view for reading.
    Read,
    // Changes kept all together or not at all, as if no other transaction ran
    // at the same time.
    Write,
    // A write whose commit does not wait for the disk: what a poll notes
    // (how far a session has been told, when it was last seen). A crash of
    // the database may take back its last fraction of a second, which costs
    // an alert told twice, never a broken store. SQLite's commits never wait
    // for the disk in its WAL mode (synchronous=NORMAL) anyway.
    Relaxed,
};

// One open session with the database and its cache of prepared statements.
// Used by one thread at a time (the pool hands it out).
class Connection
{
public:
    virtual ~Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    virtual Dialect dialect() const = 0;
    // The statement for `sql`, prepared once per connection, with the values
    // bound to its placeholders in order.
    template <typename... Values>
    Query query(Sql sql, const Values &...values)
    {
        return Query(cached(sql), values...);
    }
    // The first column of the first row, or no value when there is no row.
    template <typename T, typename... Values>
    std::optional<T> scalar(Sql sql, const Values &...values)
    {
        Query q = query(sql, values...);
        if (!q.next())
            return std::nullopt;
        return q.column<T>(0);
    }
    // Whether the statement finds a row.
    template <typename... Values>
    bool exists(Sql sql, const Values &...values)
    {
        return query(sql, values...).next();
    }
    // Runs a statement that changes rows; answers how many it changed.
    template <typename... Values>
    qint64 exec(Sql sql, const Values &...values)
    {
        query(sql, values...).run();
        return changes();
    }
    // A statement built at run time, prepared for this one use; wrap it in a
    // Query to use it.
    std::unique_ptr<Statement> statement(const QByteArray &sql) { return prepare(sql.constData()); }
    // Runs one or more statements without parameters.
    virtual void execScript(const char *sql) = 0;
    // Rows changed by the last statement run.
    virtual qint64 changes() const = 0;

    virtual void begin(TransactionKind kind) = 0;
    virtual void commit() = 0;
    // Never throws; a broken connection has nothing to roll back.
    virtual void rollback() noexcept = 0;

    // True once a statement found the connection broken: the pool drops it.
    virtual bool broken() const = 0;
    // False when the connection broke, or can no longer be trusted after
    // lying idle in the pool: the pool then opens a new one.
    virtual bool usable() { return !broken(); }

protected:
    Connection() = default;
    virtual std::unique_ptr<Statement> prepare(const char *sql) = 0;
    // Statements go before the handle they were prepared on.
    void dropStatements() { m_statements.clear(); }

private:
    Statement &cached(Sql sql);

    std::unordered_map<const char *, std::unique_ptr<Statement>> m_statements;
};

// A transaction that rolls back unless committed.
class Transaction
{
public:
    Transaction(Connection &db, TransactionKind kind) : m_db(db) { m_db.begin(kind); }
    ~Transaction()
    {
        if (m_open)
            m_db.rollback();
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit()
    {
        m_db.commit();
        m_open = false;
    }

private:
    Connection &m_db;
    bool m_open = true;
};

// A store's database: an SQLite file or a PostgreSQL database, with a pool of
// connections. A connection handed back is kept for the next caller, so each
// worker thread in effect keeps its own and its prepared statements; one that
// broke is dropped, and the next caller gets a new one.
class Database
{
public:
    // A file path (SQLite) or a postgresql:// (postgres://) connection URI.
    static std::unique_ptr<Database> open(const QString &location);
    static bool isUri(const QString &location);
    // One connection outside any pool, for tools and tests.
    static std::unique_ptr<Connection> connect(const QString &location);

    virtual ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    virtual Dialect dialect() const = 0;
    // Where the data lives, as messages may show it.
    const QString &location() const { return m_location; }

    class Lease
    {
    public:
        Lease(Database &db, std::unique_ptr<Connection> conn) : m_db(db), m_conn(std::move(conn)) {}
        ~Lease() { m_db.giveBack(std::move(m_conn)); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Connection &operator*() const { return *m_conn; }
        Connection *operator->() const { return m_conn.get(); }

    private:
        Database &m_db;
        std::unique_ptr<Connection> m_conn;
    };
    Lease acquire();

    // Runs `work(Connection &)` with each statement committed on its own.
    // When the connection is lost it runs again on a new one, so every
    // statement in it must be safe to repeat.
    template <typename Work>
    std::invoke_result_t<Work &, Connection &> run(Work &&work);

    // Runs `work(Connection &)` in one write transaction (Write or Relaxed)
    // and commits what it did when it returns (an exception rolls it back).
    // Work that meets a conflict with another transaction, or loses its
    // connection before the commit, is run again from the start, so it must
    // only act on the database and on its own locals.
    template <typename Work>
    std::invoke_result_t<Work &, Connection &> transaction(Work &&work, TransactionKind kind = TransactionKind::Write);

protected:
    explicit Database(QString location) : m_location(std::move(location)) {}
    virtual std::unique_ptr<Connection> openConnection() = 0;

private:
    static constexpr int kConflictAttempts = 30;
    static constexpr int kConnectionAttempts = 2;

    void giveBack(std::unique_ptr<Connection> conn);
    // A short random pause before attempt `attempt` + 1 of a transaction.
    static void pauseAfterConflict(int attempt);
    [[noreturn]] static void lostWhileCommitting(const ConnectionLost &e);

    QString m_location;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Connection>> m_free;
};

template <typename Work>
std::invoke_result_t<Work &, Connection &> Database::run(Work &&work)
{
    for (int attempt = 1;; ++attempt) {
        Lease db = acquire();
        try {
            return work(*db);
        } catch (const ConnectionLost &) {
            if (attempt >= kConnectionAttempts)
                throw;
        }
    }
}

template <typename Work>
std::invoke_result_t<Work &, Connection &> Database::transaction(Work &&work, TransactionKind kind)
{
    using Result = std::invoke_result_t<Work &, Connection &>;
    int conflicts = 0;
    int losses = 0;
    for (;;) {
        Lease db = acquire();
        bool committing = false;
        try {
            Transaction tx(*db, kind);
            if constexpr (std::is_void_v<Result>) {
                work(*db);
                committing = true;
                tx.commit();
                return;
            } else {
                Result result = work(*db);
                committing = true;
                tx.commit();
                return result;
            }
        } catch (const ConflictError &) {
            if (++conflicts >= kConflictAttempts)
                throw;
            pauseAfterConflict(conflicts);
        } catch (const ConnectionLost &e) {
            // Lost before the commit, the transaction died with the
            // connection; lost during it, nobody can say whether it held.
            if (committing)
                lostWhileCommitting(e);
            if (++losses >= kConnectionAttempts)
                throw;
        }
    }
}

} // namespace alertserver
