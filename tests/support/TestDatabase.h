#pragma once

#include "server/store/Database.h"

#include <QString>
#include <memory>

namespace testsupport {

// The store a test runs against. Normally an SQLite file in a folder of the
// test's. In the twins that CTest registers with TVX_TEST_BACKEND=postgresql
// (the tests named *_pg), a database of its own on the PostgreSQL cluster that
// TVX_TEST_POSTGRES names (scripts/test.sh starts one), made for it and
// dropped after it.
class TestDatabase
{
public:
    static bool postgresWanted();
    // Why a test that wants PostgreSQL cannot run; empty when it can.
    static QString unavailable();

    TestDatabase(const QString &folder, const QString &fileName = QStringLiteral("store.db"));
    ~TestDatabase();
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    bool isPostgres() const { return !m_name.isEmpty(); }
    // The --db value: the file's path or the database's URI.
    const QString &location() const { return m_location; }
    // A connection for checks behind the server's back.
    std::unique_ptr<alertserver::Connection> connect() const;

    // The cluster's URI with another database in it.
    static QString clusterUri(const QString &database);
    // Runs SQL as the cluster's superuser on its maintenance database.
    static void admin(const QByteArray &sql);

private:
    QString m_name;
    QString m_location;
};

} // namespace testsupport

// Skips the whole test case when it should run on PostgreSQL and no cluster
// is there (a developer running ctest by hand); scripts/test.sh gives one.
#define TVX_SKIP_WITHOUT_DATABASE()                                                         \
    do {                                                                                    \
        if (!testsupport::TestDatabase::unavailable().isEmpty())                            \
            QSKIP(qPrintable(testsupport::TestDatabase::unavailable()));                    \
    } while (false)
