// The store's tables on both back ends, their versions, and copying a store.
//
// A table or a column is added in three places: a version step for each back
// end (migrate; PostgreSQL stores began at version 3, so their steps start
// after kPostgresSchema), and tables() when it is a new table. The operations
// on it are written once, in the concern that owns the table (Admins.cpp,
// Users.cpp, ...), in the SQL both understand: "?" placeholders, ON CONFLICT
// upserts, RETURNING.
#include "server/store/Store.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"

namespace alertserver {

namespace {

const char *const kSchemaV1 = R"SQL(
CREATE TABLE admins(
    id INTEGER PRIMARY KEY AUTOINCREMENT CHECK(id BETWEEN 1 AND 32767),
    username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password_salt BLOB NOT NULL,
    password_hash BLOB NOT NULL,
    password_iterations INTEGER NOT NULL,
    firstname TEXT NOT NULL, lastname TEXT NOT NULL, company TEXT NOT NULL,
    address TEXT NOT NULL, tel TEXT NOT NULL, email TEXT NOT NULL,
    country TEXT NOT NULL, state TEXT NOT NULL, city TEXT NOT NULL,
    postalcode TEXT NOT NULL, regtype TEXT NOT NULL,
    active INTEGER NOT NULL DEFAULT 0,
    activation_code TEXT UNIQUE,
    expires_at INTEGER,
    created_at INTEGER NOT NULL
);
CREATE TABLE users(
    id INTEGER PRIMARY KEY AUTOINCREMENT CHECK(id BETWEEN 1 AND 32767),
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password TEXT NOT NULL,
    firstname TEXT NOT NULL, lastname TEXT NOT NULL, tel TEXT NOT NULL,
    email TEXT NOT NULL, wirelessno TEXT NOT NULL, carrier TEXT NOT NULL,
    logged_in INTEGER NOT NULL DEFAULT 0,
    pending_alerts INTEGER NOT NULL DEFAULT 0,
    created_at INTEGER NOT NULL
);
CREATE INDEX users_by_admin ON users(admin_id, id);
CREATE TABLE alerts(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    text TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE INDEX alerts_by_user ON alerts(user_id, id);
PRAGMA user_version = 1;
)SQL";

// Version 2: names compared through one folded key; client sessions per
// (user, address); administrators bound to the addresses they signed in from;
// limit counters; the mail queue.
const char *const kSchemaV2Tables = R"SQL(
ALTER TABLE admins ADD COLUMN name_key TEXT NOT NULL DEFAULT '';
ALTER TABLE users ADD COLUMN name_key TEXT NOT NULL DEFAULT '';
CREATE TABLE client_sessions(
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    address TEXT NOT NULL,
    last_poll INTEGER NOT NULL,
    seen_to INTEGER NOT NULL,
    PRIMARY KEY(user_id, address)
);
CREATE TABLE admin_sessions(
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    address TEXT NOT NULL,
    last_used INTEGER NOT NULL,
    PRIMARY KEY(admin_id, address)
);
CREATE TABLE limits(
    scope TEXT NOT NULL,
    subject TEXT NOT NULL,
    window_start INTEGER NOT NULL,
    hits INTEGER NOT NULL,
    PRIMARY KEY(scope, subject)
);
CREATE TABLE mail_queue(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    recipient TEXT NOT NULL,
    subject TEXT NOT NULL,
    body TEXT NOT NULL,
    state TEXT NOT NULL DEFAULT 'queued' CHECK(state IN ('queued', 'failed')),
    attempts INTEGER NOT NULL DEFAULT 0,
    next_try INTEGER NOT NULL,
    last_error TEXT,
    created_at INTEGER NOT NULL
);
CREATE INDEX mail_queue_due ON mail_queue(state, next_try);
)SQL";

const char *const kSchemaV2Keys = R"SQL(
CREATE UNIQUE INDEX admins_by_name_key ON admins(name_key);
CREATE UNIQUE INDEX users_by_name_key ON users(name_key);
PRAGMA user_version = 2;
)SQL";

// Version 3: the highest user id ever handed out is kept in a table of our
// own rather than in SQLite's sequence table, so that both back ends read it
// alike.
const char *const kSchemaV3 = R"SQL(
CREATE TABLE counters(
    name TEXT PRIMARY KEY,
    value INTEGER NOT NULL
);
INSERT INTO counters(name, value)
    VALUES('users', coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'users'), 0));
PRAGMA user_version = 3;
)SQL";

// Version 4: the tokens administrators publish alerts with, by the SHA-256
// of the token (the token itself is never kept), one label per token and
// administrator.
const char *const kSchemaV4 = R"SQL(
CREATE TABLE api_tokens(
    token_hash BLOB PRIMARY KEY,
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    label TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    last_used INTEGER
);
CREATE UNIQUE INDEX api_tokens_by_label ON api_tokens(admin_id, label);
PRAGMA user_version = 4;
)SQL";

// Version 5: whether the operator made or approved an administrator
// ('operator': seed-admin, approve-admin) or it registered itself ('self').
// Administrators of older stores are taken as registered themselves, since
// nothing there tells; approve-admin vouches for one.
const char *const kSchemaV5 = R"SQL(
ALTER TABLE admins ADD COLUMN origin TEXT NOT NULL DEFAULT 'self';
PRAGMA user_version = 5;
)SQL";

// Version 6: who saw each alert. A publication is what one request raised
// (for one user or many): its priority, expiry, the copies it asks for and
// when they fall due, and for a monitoring system's alert the key it is known
// by. Each alert keeps its own priority, expiry and resolution for the poll
// and the page; each recipient's receipt (the link from alert to
// publication) says when the alert was raised,
// first told to a session, first shown on the alert page and acknowledged,
// with the address of each. A client session gains the key its page's
// acknowledgement forms are signed with, and a token what it may do ('all',
// or 'webhook' for monitoring systems' webhooks only). The poll looks for unexpired alerts
// above a session's mark, so its index carries the expiry.
const char *const kSchemaV6 = R"SQL(
CREATE TABLE publications(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    admin_id INTEGER REFERENCES admins(id) ON DELETE CASCADE,
    text TEXT NOT NULL,
    priority TEXT NOT NULL DEFAULT 'normal',
    expires_at INTEGER,
    copies TEXT NOT NULL DEFAULT '',
    escalate_at INTEGER,
    source_key TEXT,
    resolved_at INTEGER,
    created_at INTEGER NOT NULL
);
CREATE UNIQUE INDEX publications_by_source ON publications(admin_id, source_key);
CREATE INDEX publications_by_admin ON publications(admin_id, id);
CREATE INDEX publications_due ON publications(escalate_at);
ALTER TABLE alerts ADD COLUMN priority TEXT NOT NULL DEFAULT 'normal';
ALTER TABLE alerts ADD COLUMN expires_at INTEGER;
ALTER TABLE alerts ADD COLUMN resolved_at INTEGER;
DROP INDEX alerts_by_user;
CREATE INDEX alerts_by_user ON alerts(user_id, id, expires_at);
CREATE TABLE receipts(
    alert_id INTEGER PRIMARY KEY REFERENCES alerts(id) ON DELETE CASCADE,
    publication_id INTEGER NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
    user_id INTEGER NOT NULL,
    raised_at INTEGER NOT NULL, raised_from TEXT,
    told_at INTEGER, told_from TEXT,
    shown_at INTEGER, shown_from TEXT,
    acked_at INTEGER, acked_from TEXT,
    copy_report TEXT
);
CREATE INDEX receipts_unshown ON receipts(user_id, alert_id) WHERE shown_at IS NULL;
CREATE INDEX receipts_by_publication ON receipts(publication_id);
CREATE INDEX publications_by_time ON publications(created_at);
ALTER TABLE client_sessions ADD COLUMN page_key BLOB;
ALTER TABLE api_tokens ADD COLUMN scope TEXT NOT NULL DEFAULT 'all';
PRAGMA user_version = 6;
)SQL";

// Version 7: the publisher console's sessions, by the SHA-256 of the session's
// cookie (the cookie itself is never kept), with when each was opened and
// last used and the address it was opened from.
const char *const kSchemaV7 = R"SQL(
CREATE TABLE console_sessions(
    key_hash BLOB PRIMARY KEY,
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    address TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    last_used INTEGER NOT NULL
);
CREATE INDEX console_sessions_by_admin ON console_sessions(admin_id);
PRAGMA user_version = 7;
)SQL";

// The same tables, columns, keys and indexes as SQLite's version 3. Names
// are unique through name_key alone (the fold of nameKey), never
// through lower(), which folds more than ASCII. The version lives in a table,
// as PostgreSQL has no user_version.
const char *const kPostgresSchema = R"SQL(
CREATE TABLE admins(
    id INTEGER PRIMARY KEY CHECK(id BETWEEN 1 AND 32767),
    username TEXT NOT NULL,
    password_salt BYTEA NOT NULL,
    password_hash BYTEA NOT NULL,
    password_iterations INTEGER NOT NULL,
    firstname TEXT NOT NULL, lastname TEXT NOT NULL, company TEXT NOT NULL,
    address TEXT NOT NULL, tel TEXT NOT NULL, email TEXT NOT NULL,
    country TEXT NOT NULL, state TEXT NOT NULL, city TEXT NOT NULL,
    postalcode TEXT NOT NULL, regtype TEXT NOT NULL,
    active INTEGER NOT NULL DEFAULT 0,
    activation_code TEXT UNIQUE,
    expires_at BIGINT,
    created_at BIGINT NOT NULL,
    name_key TEXT NOT NULL DEFAULT ''
);
CREATE TABLE users(
    id INTEGER PRIMARY KEY CHECK(id BETWEEN 1 AND 32767),
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    username TEXT NOT NULL,
    password TEXT NOT NULL,
    firstname TEXT NOT NULL, lastname TEXT NOT NULL, tel TEXT NOT NULL,
    email TEXT NOT NULL, wirelessno TEXT NOT NULL, carrier TEXT NOT NULL,
    logged_in INTEGER NOT NULL DEFAULT 0,
    pending_alerts INTEGER NOT NULL DEFAULT 0,
    created_at BIGINT NOT NULL,
    name_key TEXT NOT NULL DEFAULT ''
);
CREATE INDEX users_by_admin ON users(admin_id, id);
CREATE TABLE alerts(
    id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    text TEXT NOT NULL,
    created_at BIGINT NOT NULL
);
CREATE INDEX alerts_by_user ON alerts(user_id, id);
CREATE TABLE client_sessions(
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    address TEXT NOT NULL,
    last_poll BIGINT NOT NULL,
    seen_to BIGINT NOT NULL,
    PRIMARY KEY(user_id, address)
);
CREATE TABLE admin_sessions(
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    address TEXT NOT NULL,
    last_used BIGINT NOT NULL,
    PRIMARY KEY(admin_id, address)
);
CREATE TABLE limits(
    scope TEXT NOT NULL,
    subject TEXT NOT NULL,
    window_start BIGINT NOT NULL,
    hits INTEGER NOT NULL,
    PRIMARY KEY(scope, subject)
);
CREATE TABLE mail_queue(
    id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    recipient TEXT NOT NULL,
    subject TEXT NOT NULL,
    body TEXT NOT NULL,
    state TEXT NOT NULL DEFAULT 'queued' CHECK(state IN ('queued', 'failed')),
    attempts INTEGER NOT NULL DEFAULT 0,
    next_try BIGINT NOT NULL,
    last_error TEXT,
    created_at BIGINT NOT NULL
);
CREATE INDEX mail_queue_due ON mail_queue(state, next_try);
CREATE UNIQUE INDEX admins_by_name_key ON admins(name_key);
CREATE UNIQUE INDEX users_by_name_key ON users(name_key);
CREATE TABLE counters(
    name TEXT PRIMARY KEY,
    value INTEGER NOT NULL
);
INSERT INTO counters(name, value) VALUES('users', 0);
CREATE TABLE store_version(version INTEGER NOT NULL);
INSERT INTO store_version(version) VALUES(3);
)SQL";

// Version 4 on PostgreSQL, as on SQLite.
const char *const kPostgresV4 = R"SQL(
CREATE TABLE api_tokens(
    token_hash BYTEA PRIMARY KEY,
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    label TEXT NOT NULL,
    created_at BIGINT NOT NULL,
    last_used BIGINT
);
CREATE UNIQUE INDEX api_tokens_by_label ON api_tokens(admin_id, label);
UPDATE store_version SET version = 4;
)SQL";

// Version 5 on PostgreSQL, as on SQLite.
const char *const kPostgresV5 = R"SQL(
ALTER TABLE admins ADD COLUMN origin TEXT NOT NULL DEFAULT 'self';
UPDATE store_version SET version = 5;
)SQL";

// Version 6 on PostgreSQL, as on SQLite.
const char *const kPostgresV6 = R"SQL(
CREATE TABLE publications(
    id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    admin_id INTEGER REFERENCES admins(id) ON DELETE CASCADE,
    text TEXT NOT NULL,
    priority TEXT NOT NULL DEFAULT 'normal',
    expires_at BIGINT,
    copies TEXT NOT NULL DEFAULT '',
    escalate_at BIGINT,
    source_key TEXT,
    resolved_at BIGINT,
    created_at BIGINT NOT NULL
);
CREATE UNIQUE INDEX publications_by_source ON publications(admin_id, source_key);
CREATE INDEX publications_by_admin ON publications(admin_id, id);
CREATE INDEX publications_due ON publications(escalate_at);
ALTER TABLE alerts ADD COLUMN priority TEXT NOT NULL DEFAULT 'normal';
ALTER TABLE alerts ADD COLUMN expires_at BIGINT;
ALTER TABLE alerts ADD COLUMN resolved_at BIGINT;
DROP INDEX alerts_by_user;
CREATE INDEX alerts_by_user ON alerts(user_id, id, expires_at);
CREATE TABLE receipts(
    alert_id BIGINT PRIMARY KEY REFERENCES alerts(id) ON DELETE CASCADE,
    publication_id BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
    user_id INTEGER NOT NULL,
    raised_at BIGINT NOT NULL, raised_from TEXT,
    told_at BIGINT, told_from TEXT,
    shown_at BIGINT, shown_from TEXT,
    acked_at BIGINT, acked_from TEXT,
    copy_report TEXT
);
CREATE INDEX receipts_unshown ON receipts(user_id, alert_id) WHERE shown_at IS NULL;
CREATE INDEX receipts_by_publication ON receipts(publication_id);
CREATE INDEX publications_by_time ON publications(created_at);
ALTER TABLE client_sessions ADD COLUMN page_key BYTEA;
ALTER TABLE api_tokens ADD COLUMN scope TEXT NOT NULL DEFAULT 'all';
UPDATE store_version SET version = 6;
)SQL";

// Version 7 on PostgreSQL, as on SQLite.
const char *const kPostgresV7 = R"SQL(
CREATE TABLE console_sessions(
    key_hash BYTEA PRIMARY KEY,
    admin_id INTEGER NOT NULL REFERENCES admins(id) ON DELETE CASCADE,
    address TEXT NOT NULL,
    created_at BIGINT NOT NULL,
    last_used BIGINT NOT NULL
);
CREATE INDEX console_sessions_by_admin ON console_sessions(admin_id);
UPDATE store_version SET version = 7;
)SQL";

// Held while a server creates or upgrades the schema of a PostgreSQL store,
// so that servers started together do it once.
const char *const kSchemaLock = "SELECT pg_advisory_lock(1448365652)";
const char *const kSchemaUnlock = "SELECT pg_advisory_unlock(1448365652)";

bool holdsTables(Connection &db)
{
    const auto count = db.dialect() == Dialect::Sqlite
        ? db.scalar<qint64>("SELECT count(*) FROM sqlite_master")
        : db.scalar<qint64>("SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()");
    return count.value_or(0) != 0;
}

qint64 countRows(Connection &db, const QString &table)
{
    auto statement = db.statement("SELECT count(*) FROM " + table.toUtf8());
    Query q(*statement);
    return q.next() ? q.integer(0) : 0;
}

int schemaVersion(Connection &db)
{
    if (db.dialect() == Dialect::Sqlite)
        return db.scalar<int>("PRAGMA user_version").value_or(0);
    if (db.scalar<qint64>("SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() "
                          "AND tablename = 'store_version'")
            .value_or(0)
        == 0)
        return 0;
    return db.scalar<int>("SELECT max(version) FROM store_version").value_or(0);
}

void migrateToV2(Connection &db)
{
    db.execScript(kSchemaV2Tables);
    for (const bool admins : {true, false}) {
        QList<std::pair<qint64, QString>> names;
        {
            Query q = admins ? db.query("SELECT id, username FROM admins") : db.query("SELECT id, username FROM users");
            while (q.next())
                names.append({q.integer(0), q.text(1)});
        }
        for (const auto &[id, name] : names) {
            if (admins)
                db.exec("UPDATE admins SET name_key = ? WHERE id = ?", nameKey(name), id);
            else
                db.exec("UPDATE users SET name_key = ? WHERE id = ?", nameKey(name), id);
        }
    }
    // Users logged in before keep one session that any caller shares; the
    // alerts they had not been told of stay untold.
    QList<std::pair<int, qint64>> loggedIn;
    {
        Query q = db.query("SELECT id, pending_alerts FROM users WHERE logged_in = 1");
        while (q.next())
            loggedIn.append({int(q.integer(0)), q.integer(1)});
    }
    for (const auto &[id, untold] : loggedIn) {
        db.exec("INSERT INTO client_sessions(user_id, address, last_poll, seen_to) VALUES(?,?,?,?)", id,
                QString::fromLatin1(Sessions::kAnyAddress), now(), Sessions::toldUpTo(db, id, untold));
    }
    db.execScript(kSchemaV2Keys);
}

void migrateToV3(Connection &db)
{
    db.execScript(kSchemaV3);
}

void migrateToV4(Connection &db)
{
    db.execScript(db.dialect() == Dialect::Sqlite ? kSchemaV4 : kPostgresV4);
}

void migrateToV5(Connection &db)
{
    db.execScript(db.dialect() == Dialect::Sqlite ? kSchemaV5 : kPostgresV5);
}

void migrateToV6(Connection &db)
{
    db.execScript(db.dialect() == Dialect::Sqlite ? kSchemaV6 : kPostgresV6);
}

void migrateToV7(Connection &db)
{
    db.execScript(db.dialect() == Dialect::Sqlite ? kSchemaV7 : kPostgresV7);
}

void createSchema(Connection &db)
{
    if (db.dialect() == Dialect::Postgres) {
        db.execScript(kPostgresSchema);
    } else {
        db.execScript(kSchemaV1);
        migrateToV2(db);
        migrateToV3(db);
    }
    migrateToV4(db);
    migrateToV5(db);
    migrateToV6(db);
    migrateToV7(db);
}

} // namespace

const QStringList &Store::tables()
{
    static const QStringList names{QStringLiteral("admins"),          QStringLiteral("users"),
                                   QStringLiteral("publications"),    QStringLiteral("alerts"),
                                   QStringLiteral("receipts"),        QStringLiteral("client_sessions"),
                                   QStringLiteral("admin_sessions"),  QStringLiteral("limits"),
                                   QStringLiteral("mail_queue"),      QStringLiteral("counters"),
                                   QStringLiteral("api_tokens"),      QStringLiteral("console_sessions")};
    return names;
}

void Store::migrate()
{
    const auto upgrade = [this](Connection &db) {
        const int version = schemaVersion(db);
        if (version > kSchemaVersion)
            throw StoreError("the store " + location().toStdString() + " has schema version "
                             + std::to_string(version) + ", newer than this server understands ("
                             + std::to_string(kSchemaVersion) + ")");
        // A brand-new store, or one that is not ours: refuse a database that
        // already holds tables rather than add ours beside them.
        if (version == 0 && holdsTables(db))
            throw StoreError("the store " + location().toStdString() + " holds another database");
        if (version == 0) {
            createSchema(db);
            return;
        }
        // PostgreSQL stores begin at version 3.
        if (db.dialect() == Dialect::Sqlite) {
            if (version < 2)
                migrateToV2(db);
            if (version < 3)
                migrateToV3(db);
        }
        if (version < 4)
            migrateToV4(db);
        if (version < 5)
            migrateToV5(db);
        if (version < 6)
            migrateToV6(db);
        if (version < 7)
            migrateToV7(db);
    };
    if (m_db->dialect() == Dialect::Sqlite) {
        m_db->transaction(upgrade);
        return;
    }
    // The lock is taken on a connection of its own, before the transaction,
    // so that a server that waited for it sees the schema another made.
    Database::Lease lock = m_db->acquire();
    lock->execScript(kSchemaLock);
    try {
        m_db->transaction(upgrade);
    } catch (...) {
        lock->execScript(kSchemaUnlock);
        throw;
    }
    lock->execScript(kSchemaUnlock);
}

QList<std::pair<QString, qint64>> Store::copyInto(Store &target)
{
    // One consistent view of the source for the whole copy.
    Database::Lease source = m_db->acquire();
    Transaction view(*source, TransactionKind::Read);
    return target.m_db->transaction([&](Connection &to) {
        for (const QString &table : tables()) {
            // The counters a new store starts with are not data.
            if (table != QLatin1String("counters") && countRows(to, table) != 0)
                throw StoreError("the store " + target.location().toStdString() + " already holds data (table "
                                 + table.toStdString() + ")");
        }
        for (auto it = tables().crbegin(); it != tables().crend(); ++it)
            to.statement("DELETE FROM " + it->toUtf8())->next();

        QList<std::pair<QString, qint64>> copied;
        for (const QString &table : tables()) {
            auto reading = source->statement("SELECT * FROM " + table.toUtf8());
            Query rows(*reading);
            std::unique_ptr<Statement> writing;
            qint64 n = 0;
            while (rows.next()) {
                if (!writing) {
                    // Columns by name: their order differs between stores
                    // made new and stores migrated step by step.
                    QByteArrayList names, marks;
                    for (int c = 0; c < rows.columnCount(); ++c) {
                        names << rows.columnName(c).toUtf8();
                        marks << "?";
                    }
                    writing = to.statement("INSERT INTO " + table.toUtf8() + "(" + names.join(',') + ") VALUES("
                                           + marks.join(',') + ")");
                }
                Query insert(*writing);
                for (int c = 0; c < rows.columnCount(); ++c)
                    insert.bind(c + 1, rows.value(c));
                insert.run();
                ++n;
            }
            copied.append({table, n});
        }
        // Rows came with their ids: ids handed out from now on start above
        // the highest the source ever gave.
        if (to.dialect() == Dialect::Postgres) {
            for (const char *table : {"publications", "alerts", "mail_queue"}) {
                qint64 highest = 0;
                {
                    auto max = to.statement(QByteArray("SELECT coalesce(max(id), 0) FROM ") + table);
                    Query q(*max);
                    if (q.next())
                        highest = q.integer(0);
                }
                if (source->dialect() == Dialect::Sqlite)
                    highest = std::max(highest, source->scalar<qint64>("SELECT seq FROM sqlite_sequence WHERE name = ?",
                                                                       QString::fromLatin1(table))
                                                    .value_or(0));
                if (highest > 0)
                    to.query("SELECT setval(pg_get_serial_sequence(?, 'id')::regclass, ?)", QString::fromLatin1(table),
                             highest)
                        .run();
            }
        }
        return copied;
    });
}

} // namespace alertserver
