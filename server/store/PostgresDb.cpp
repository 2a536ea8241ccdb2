#include "server/store/PostgresDb.h"

#include <QUrl>

#include <libpq-fe.h>

#include <poll.h>

#include <cstdlib>
#include <cstring>

namespace alertserver {

namespace {

// Type numbers of the server's catalog for the columns this store has.
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;

// libpq's messages run over several lines; a log line holds one.
std::string oneLine(const char *text)
{
    std::string out = text ? text : "";
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    for (char &c : out)
        if (c == '\n' || c == '\t')
            c = ' ';
    return out;
}

void ignoreNotice(void *, const char *) {}

// A password on the command line is there for every user of the machine to
// read (ps); it is refused, and never repeated.
void refusePassword(const QString &uri)
{
    if (postgres::uriHasPassword(uri))
        throw StoreError("the database address carries a password; keep it in libpq's password file "
                         "(~/.pgpass or PGPASSFILE) or in a service file instead");
}

class PostgresStatement : public Statement
{
public:
    PostgresStatement(PostgresConnection &db, std::string name, int parameters)
        : m_db(db), m_name(std::move(name)), m_values(size_t(parameters)), m_null(size_t(parameters), true),
          m_binary(size_t(parameters), 0), m_lengths(size_t(parameters), 0)
    {
    }
    ~PostgresStatement() override { PQclear(m_result); }

    void bind(int index, qint64 value) override { set(index, std::to_string(value), false); }
    void bind(int index, const QString &value) override
    {
        QByteArray utf8 = value.toUtf8();
        // Text travels NUL-terminated; the front end refuses NUL in every
        // field, so one here is a caller's mistake, not something to cut.
        if (utf8.contains('\0'))
            throw StoreError("postgresql: a text value holds a NUL character");
        set(index, utf8.toStdString(), false);
    }
    void bind(int index, const QByteArray &blob) override { set(index, blob.toStdString(), true); }
    void bindNull(int index) override
    {
        check(index);
        m_null[size_t(index - 1)] = true;
    }

    bool next() override
    {
        if (!m_result)
            execute();
        return ++m_row < PQntuples(m_result);
    }

    qint64 integer(int column) const override
    {
        return there(column) ? std::strtoll(PQgetvalue(m_result, m_row, column), nullptr, 10) : 0;
    }
    QString text(int column) const override
    {
        if (!there(column))
            return {};
        return QString::fromUtf8(PQgetvalue(m_result, m_row, column), PQgetlength(m_result, m_row, column));
    }
    QByteArray blob(int column) const override
    {
        if (!there(column))
            return {};
        const char *raw = PQgetvalue(m_result, m_row, column);
        if (PQftype(m_result, column) != kBytea)
            return QByteArray(raw, PQgetlength(m_result, m_row, column));
        size_t n = 0;
        unsigned char *bytes = PQunescapeBytea(reinterpret_cast<const unsigned char *>(raw), &n);
        if (!bytes)
            throw StoreError("postgresql: unreadable bytes");
        QByteArray out(reinterpret_cast<const char *>(bytes), qsizetype(n));
        PQfreemem(bytes);
        return out;
    }
    bool isNull(int column) const override { return !there(column) || PQgetisnull(m_result, m_row, column); }
    int columnCount() const override { return m_result ? PQnfields(m_result) : 0; }
    QString columnName(int column) const override
    {
        return m_result ? QString::fromUtf8(PQfname(m_result, column)) : QString();
    }
    Value value(int column) const override
    {
        if (isNull(column))
            return std::monostate();
        switch (PQftype(m_result, column)) {
        case kInt2:
        case kInt4:
        case kInt8: return integer(column);
        case kBytea: return blob(column);
        default: return text(column);
        }
    }
    void reset() override
    {
        PQclear(m_result);
        m_result = nullptr;
        m_row = -1;
        std::fill(m_null.begin(), m_null.end(), true);
    }

private:
    void check(int index) const
    {
        if (index < 1 || size_t(index) > m_values.size())
            throw StoreError("postgresql: no parameter " + std::to_string(index));
    }
    void set(int index, std::string value, bool binary)
    {
        check(index);
        const size_t i = size_t(index - 1);
        m_values[i] = std::move(value);
        m_null[i] = false;
        m_binary[i] = binary ? 1 : 0;
        m_lengths[i] = int(m_values[i].size());
    }
    bool there(int column) const
    {
        return m_result && m_row >= 0 && m_row < PQntuples(m_result) && column >= 0 && column < PQnfields(m_result);
    }
    void execute()
    {
        std::vector<const char *> values(m_values.size());
        for (size_t i = 0; i < m_values.size(); ++i)
            values[i] = m_null[i] ? nullptr : m_values[i].c_str();
        PGresult *r = PQexecPrepared(m_db.handle(), m_name.c_str(), int(values.size()), values.data(),
                                     m_lengths.data(), m_binary.data(), 0);
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            m_db.fail(r, "statement");
        if (std::strncmp(PQcmdStatus(r), "SELECT", 6) != 0)
            m_db.setChanges(std::strtoll(PQcmdTuples(r), nullptr, 10));
        m_result = r;
        m_row = -1;
    }

    PostgresConnection &m_db;
    std::string m_name;
    std::vector<std::string> m_values;
    std::vector<bool> m_null;
    std::vector<int> m_binary;
    std::vector<int> m_lengths;
    PGresult *m_result = nullptr;
    int m_row = -1;
};

} // namespace

namespace postgres {

bool uriHasPassword(const QString &uri)
{
    const qsizetype start = uri.indexOf(QLatin1String("://"));
    if (start < 0)
        return false;
    const QString rest = uri.mid(start + 3);
    qsizetype end = rest.size();
    for (const QChar c : {u'/', u'?'}) {
        const qsizetype at = rest.indexOf(c);
        if (at >= 0 && at < end)
            end = at;
    }
    const QString authority = rest.left(end);
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0 && authority.left(at).contains(u':'))
        return true;
    const qsizetype q = rest.indexOf(u'?');
    if (q < 0)
        return false;
    for (const QString &pair : rest.mid(q + 1).split(u'&')) {
        const QString key = QUrl::fromPercentEncoding(pair.section(u'=', 0, 0).toUtf8()).trimmed();
        if (key.compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

std::string numberPlaceholders(const char *sql, int *count)
{
    std::string out;
    int n = 0;
    char quote = 0;
    for (const char *p = sql; *p; ++p) {
        if (quote) {
            if (*p == quote)
                quote = 0;
            out += *p;
        } else if (*p == '\'' || *p == '"') {
            quote = *p;
            out += *p;
        } else if (*p == '?') {
            out += '$' + std::to_string(++n);
        } else {
            out += *p;
        }
    }
    *count = n;
    return out;
}

} // namespace postgres

PostgresConnection::PostgresConnection(const QString &uri)
{
    refusePassword(uri);
    const QByteArray target = uri.toUtf8();
    // What the URI says wins over the defaults before it; the encoding after
    // it is not negotiable, every text here is UTF-8.
    const char *const keys[] = {"application_name", "connect_timeout", "dbname", "client_encoding", nullptr};
    const char *const values[] = {"alertserver", "10", target.constData(), "UTF8", nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (!m_conn)
        throw StoreError("cannot connect to PostgreSQL: out of memory");
    if (PQstatus(m_conn) != CONNECTION_OK) {
        auto shown = [](const char *v) { return std::string(v && *v ? v : "(default)"); };
        const std::string why = "cannot connect to PostgreSQL at " + target.toStdString() + " (host "
            + shown(PQhost(m_conn)) + ", port " + shown(PQport(m_conn)) + ", database " + shown(PQdb(m_conn))
            + ", user " + shown(PQuser(m_conn)) + "): " + oneLine(PQerrorMessage(m_conn));
        PQfinish(m_conn);
        m_conn = nullptr;
        throw StoreError(why);
    }
    PQsetNoticeProcessor(m_conn, ignoreNotice, nullptr);
}

PostgresConnection::~PostgresConnection()
{
    dropStatements();
    PQfinish(m_conn);
}

std::unique_ptr<Statement> PostgresConnection::prepare(const char *sql)
{
    int parameters = 0;
    const std::string text = postgres::numberPlaceholders(sql, &parameters);
    std::string name = nextStatementName();
    PGresult *r = PQprepare(m_conn, name.c_str(), text.c_str(), 0, nullptr);
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
        fail(r, "prepare");
    PQclear(r);
    return std::make_unique<PostgresStatement>(*this, std::move(name), parameters);
}

void PostgresConnection::execScript(const char *sql)
{
    PGresult *r = PQexec(m_conn, sql);
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        fail(r, "exec");
    if (std::strncmp(PQcmdStatus(r), "SELECT", 6) != 0)
        m_changes = std::strtoll(PQcmdTuples(r), nullptr, 10);
    PQclear(r);
}

void PostgresConnection::begin(TransactionKind kind)
{
    switch (kind) {
    case TransactionKind::Read: execScript("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); break;
    case TransactionKind::Write: execScript("BEGIN ISOLATION LEVEL SERIALIZABLE"); break;
    case TransactionKind::Relaxed:
        execScript("BEGIN ISOLATION LEVEL SERIALIZABLE; SET LOCAL synchronous_commit TO OFF");
        break;
    }
}

void PostgresConnection::commit()
{
    PGresult *r = PQexec(m_conn, "COMMIT");
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
        fail(r, "commit");
    // COMMIT of a transaction that already failed answers ROLLBACK.
    const bool kept = std::strcmp(PQcmdStatus(r), "COMMIT") == 0;
    PQclear(r);
    if (!kept)
        throw StoreError("postgresql commit: the transaction had failed and was rolled back");
}

void PostgresConnection::rollback() noexcept
{
    if (m_broken || PQstatus(m_conn) != CONNECTION_OK)
        return;
    PQclear(PQexec(m_conn, "ROLLBACK"));
}

bool PostgresConnection::broken() const
{
    return m_broken || PQstatus(m_conn) != CONNECTION_OK || PQtransactionStatus(m_conn) != PQTRANS_IDLE;
}

bool PostgresConnection::usable()
{
    if (broken())
        return false;
    pollfd p{PQsocket(m_conn), POLLIN, 0};
    if (::poll(&p, 1, 0) != 0) {
        m_broken = true;
        return false;
    }
    return true;
}

void PostgresConnection::fail(PGresult *result, const char *what)
{
    const char *state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state ? state : "";
    std::string message = oneLine(result ? PQresultErrorMessage(result) : nullptr);
    if (message.empty())
        message = oneLine(PQerrorMessage(m_conn));
    PQclear(result);
    const std::string text = std::string("postgresql ") + what + ": " + message;
    // Class 08 is a broken connection, 57P01-57P03 the server ending or
    // refusing the session.
    if (PQstatus(m_conn) == CONNECTION_BAD || code.rfind("08", 0) == 0 || code.rfind("57P0", 0) == 0) {
        m_broken = true;
        throw ConnectionLost(text);
    }
    // A key taken by a transaction that committed meanwhile is a conflict
    // too: run again, the work sees that key and answers accordingly.
    if (code == "40001" || code == "40P01" || code == "23505")
        throw ConflictError(text);
    throw StoreError(text);
}

PostgresDatabase::PostgresDatabase(const QString &uri)
    : Database(uri)
{
    refusePassword(uri);
}

} // namespace alertserver
