#pragma once

#include "server/store/Database.h"

struct sqlite3;

namespace alertserver {

// One open SQLite file. The file is created readable by its owner alone; WAL
// lets polls read while an alert or an edit is written.
class SqliteConnection : public Connection
{
public:
    explicit SqliteConnection(const QString &path);
    ~SqliteConnection() override;

    Dialect dialect() const override { return Dialect::Sqlite; }
    void execScript(const char *sql) override;
    qint64 changes() const override;
    // Write transactions start IMMEDIATE, so that two writers never deadlock
    // on a lock upgrade; the busy timeout then makes the second one wait its
    // turn.
    void begin(TransactionKind kind) override;
    void commit() override;
    void rollback() noexcept override;
    bool broken() const override { return false; }

    [[noreturn]] void fail(const char *what) const;
    sqlite3 *handle() const { return m_db; }

protected:
    std::unique_ptr<Statement> prepare(const char *sql) override;

private:
    sqlite3 *m_db = nullptr;
};

class SqliteDatabase : public Database
{
public:
    explicit SqliteDatabase(const QString &path) : Database(path) {}
    Dialect dialect() const override { return Dialect::Sqlite; }

protected:
    std::unique_ptr<Connection> openConnection() override { return std::make_unique<SqliteConnection>(location()); }
};

} // namespace alertserver
