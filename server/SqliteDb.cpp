#include "SqliteDb.h"

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
} // namespace

// ---- Query

Query::Query(SqliteConnection &db, sqlite3_stmt *stmt)
    : m_db(db), m_stmt(stmt)
{
}

Query::~Query()
{
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

Query &Query::bind(int index, qint64 value)
{
    if (sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

Query &Query::bind(int index, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    if (sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

Query &Query::bind(int index, const QByteArray &blob)
{
    if (sqlite3_bind_blob(m_stmt, index, blob.constData(), int(blob.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

Query &Query::bindNull(int index)
{
    if (sqlite3_bind_null(m_stmt, index) != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

bool Query::next()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    m_db.fail("step");
}

void Query::run()
{
    while (next()) {
    }
}

qint64 Query::integer(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

QString Query::text(int column) const
{
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    const int n = sqlite3_column_bytes(m_stmt, column);
    return p ? QString::fromUtf8(p, n) : QString();
}

QByteArray Query::blob(int column) const
{
    const auto *p = static_cast<const char *>(sqlite3_column_blob(m_stmt, column));
    const int n = sqlite3_column_bytes(m_stmt, column);
    return p ? QByteArray(p, n) : QByteArray();
}

bool Query::isNull(int column) const
{
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

// ---- SqliteConnection

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
    // WAL lets the status polls read while an alert or an edit is written;
    // NORMAL sync keeps a commit durable across a crash of this process.
    // This is also the first read of the file, so a file that is not a
    // database fails here; the handle must not outlive the failed constructor.
    try {
        exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

SqliteConnection::~SqliteConnection()
{
    for (auto &entry : m_statements)
        sqlite3_finalize(entry.second);
    sqlite3_close_v2(m_db);
}

Query SqliteConnection::query(const char *sql)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
            fail("prepare");
        it = m_statements.emplace(sql, stmt).first;
    }
    return Query(*this, it->second);
}

void SqliteConnection::exec(const char *sql)
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

qint64 SqliteConnection::lastInsertId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

void SqliteConnection::fail(const char *what) const
{
    throw StoreError(std::string("sqlite ") + what + ": " + sqlite3_errmsg(m_db));
}

// ---- Transaction

Transaction::Transaction(SqliteConnection &db, Kind kind)
    : m_db(db)
{
    m_db.exec(kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction()
{
    if (m_open)
        sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit()
{
    m_db.exec("COMMIT");
    m_open = false;
}

// ---- ConnectionPool

ConnectionPool::ConnectionPool(QString path)
    : m_path(std::move(path))
{
}

ConnectionPool::~ConnectionPool() = default;

ConnectionPool::Lease ConnectionPool::acquire()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_free.empty()) {
            auto conn = std::move(m_free.back());
            m_free.pop_back();
            return Lease(*this, std::move(conn));
        }
    }
    return Lease(*this, std::make_unique<SqliteConnection>(m_path));
}

void ConnectionPool::giveBack(std::unique_ptr<SqliteConnection> conn)
{
    if (!conn)
        return;
    std::lock_guard lock(m_mutex);
    m_free.push_back(std::move(conn));
}

} // namespace alertserver
