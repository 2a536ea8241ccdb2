#include "server/store/SqliteDb.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace alertserver {

namespace {
constexpr int kBusyTimeoutMs = 5000;

// The store holds user passwords in clear text: a new file is made readable
// by its owner alone, whatever the umask. SQLite gives the WAL and the shared
// memory file the mode of the database file.
void createPrivately(const QByteArray &file)
{
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return; // there already, or SQLite will report why it cannot open it
    ::fchmod(fd, 0600);
    ::close(fd);
}

class SqliteStatement : public Statement
{
public:
    SqliteStatement(SqliteConnection &db, sqlite3_stmt *stmt) : m_db(db), m_stmt(stmt) {}
    ~SqliteStatement() override { sqlite3_finalize(m_stmt); }

    void bind(int index, qint64 value) override { check(sqlite3_bind_int64(m_stmt, index, value)); }
    void bind(int index, const QString &value) override
    {
        const QByteArray utf8 = value.toUtf8();
        check(sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT));
    }
    void bind(int index, const QByteArray &blob) override
    {
        check(sqlite3_bind_blob(m_stmt, index, blob.constData(), int(blob.size()), SQLITE_TRANSIENT));
    }
    void bindNull(int index) override { check(sqlite3_bind_null(m_stmt, index)); }

    bool next() override
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        m_db.fail("step");
    }

    qint64 integer(int column) const override { return sqlite3_column_int64(m_stmt, column); }
    QString text(int column) const override
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        const int n = sqlite3_column_bytes(m_stmt, column);
        return p ? QString::fromUtf8(p, n) : QString();
    }
    QByteArray blob(int column) const override
    {
        const auto *p = static_cast<const char *>(sqlite3_column_blob(m_stmt, column));
        const int n = sqlite3_column_bytes(m_stmt, column);
        return p ? QByteArray(p, n) : QByteArray();
    }
    bool isNull(int column) const override { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    int columnCount() const override { return sqlite3_column_count(m_stmt); }
    QString columnName(int column) const override { return QString::fromUtf8(sqlite3_column_name(m_stmt, column)); }
    Value value(int column) const override
    {
        switch (sqlite3_column_type(m_stmt, column)) {
        case SQLITE_NULL: return std::monostate();
        case SQLITE_INTEGER: return integer(column);
        case SQLITE_BLOB: return blob(column);
        default: return text(column);
        }
    }
    void reset() override
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            m_db.fail("bind");
    }

    SqliteConnection &m_db;
    sqlite3_stmt *m_stmt;
};

} // namespace

SqliteConnection::SqliteConnection(const QString &path)
{
    const QByteArray file = path.toUtf8();
    createPrivately(file);
    const int rc = sqlite3_open_v2(file.constData(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw StoreError("cannot open " + file.toStdString() + ": " + why);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    // NORMAL sync keeps a commit durable across a crash of this process.
    // This is also the first read of the file, so a file that is not a
    // database fails here; the handle must not outlive the failed constructor.
    try {
        execScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

SqliteConnection::~SqliteConnection()
{
    dropStatements();
    sqlite3_close_v2(m_db);
}

std::unique_ptr<Statement> SqliteConnection::prepare(const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, &tail) != SQLITE_OK)
        fail("prepare");
    auto prepared = std::make_unique<SqliteStatement>(*this, stmt);
    // SQLite would prepare the first statement and quietly drop the rest;
    // PostgreSQL refuses such text outright. Scripts go through execScript.
    while (tail && (*tail == ' ' || *tail == '\n' || *tail == '\t' || *tail == ';'))
        ++tail;
    if (tail && *tail)
        throw StoreError(std::string("sqlite prepare: more than one statement in ") + sql);
    return prepared;
}

void SqliteConnection::execScript(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError(std::string("sqlite exec: ") + why);
    }
}

qint64 SqliteConnection::changes() const
{
    return sqlite3_changes64(m_db);
}

void SqliteConnection::begin(TransactionKind kind)
{
    execScript(kind == TransactionKind::Read ? "BEGIN" : "BEGIN IMMEDIATE");
}

void SqliteConnection::commit()
{
    execScript("COMMIT");
}

void SqliteConnection::rollback() noexcept
{
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteConnection::fail(const char *what) const
{
    throw StoreError(std::string("sqlite ") + what + ": " + sqlite3_errmsg(m_db));
}

} // namespace alertserver
