#pragma once

#include "server/store/Database.h"

#include <string>

struct pg_conn;
struct pg_result;

namespace alertserver {

// One session with a PostgreSQL server through libpq. Statements are
// prepared on the server once per connection; values travel as text, bytes
// as binary.
class PostgresConnection : public Connection
{
public:
    // `uri` is a postgresql:// connection URI without a password: libpq
    // takes that from its password file or a service file.
    explicit PostgresConnection(const QString &uri);
    ~PostgresConnection() override;

    Dialect dialect() const override { return Dialect::Postgres; }
    void execScript(const char *sql) override;
    qint64 changes() const override { return m_changes; }
    // Write transactions are SERIALIZABLE: the server then refuses any that
    // would not have had the same outcome one after the other, as SQLite's
    // single writer gives, and Database::transaction runs them again.
    void begin(TransactionKind kind) override;
    void commit() override;
    void rollback() noexcept override;
    // A connection lying idle must not have anything to read: the server
    // only speaks unasked when it ends the session (a restart, or
    // pg_terminate_backend).
    bool usable() override;
    bool broken() const override;

    pg_conn *handle() const { return m_conn; }
    void setChanges(qint64 n) { m_changes = n; }
    // Throws the error `result` reports (and frees it): ConnectionLost when the
    // session is gone, ConflictError for a serialization failure or deadlock.
    [[noreturn]] void fail(pg_result *result, const char *what);
    std::string nextStatementName() { return "s" + std::to_string(++m_statements); }

protected:
    std::unique_ptr<Statement> prepare(const char *sql) override;

private:
    pg_conn *m_conn = nullptr;
    qint64 m_changes = 0;
    bool m_broken = false;
    int m_statements = 0;
};

class PostgresDatabase : public Database
{
public:
    // Refuses a URI that carries a password, without repeating it.
    explicit PostgresDatabase(const QString &uri);
    Dialect dialect() const override { return Dialect::Postgres; }

protected:
    std::unique_ptr<Connection> openConnection() override { return std::make_unique<PostgresConnection>(location()); }
};

namespace postgres {
// True when the URI names a password, in its user part or as a parameter.
bool uriHasPassword(const QString &uri);
// "?" placeholders as $1, $2, ... (outside quoted text); `count` receives how many.
std::string numberPlaceholders(const char *sql, int *count);
} // namespace postgres

} // namespace alertserver
