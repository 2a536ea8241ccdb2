#include "TestDatabase.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>

namespace testsupport {

namespace {

QString cluster()
{
    return qEnvironmentVariable("TVX_TEST_POSTGRES");
}

} // namespace

bool TestDatabase::postgresWanted()
{
    return qEnvironmentVariable("TVX_TEST_BACKEND") == QLatin1String("postgresql");
}

QString TestDatabase::unavailable()
{
    if (!postgresWanted() || !cluster().isEmpty())
        return {};
    return QStringLiteral("no PostgreSQL cluster: set TVX_TEST_POSTGRES to a postgresql:// URI of a superuser "
                          "(scripts/test.sh starts a throwaway cluster and sets it)");
}

QString TestDatabase::clusterUri(const QString &database)
{
    // postgresql://user@host/dbname?params: the path between the authority
    // and the parameters names the database.
    const QString base = cluster();
    const qsizetype authority = base.indexOf(QLatin1String("://")) + 3;
    qsizetype path = base.indexOf(u'/', authority);
    const qsizetype query = base.indexOf(u'?', authority);
    if (path < 0 || (query >= 0 && query < path))
        path = query < 0 ? base.size() : query;
    return base.left(path) + u'/' + database + (query < 0 ? QString() : base.mid(query));
}

void TestDatabase::admin(const QByteArray &sql)
{
    alertserver::Database::connect(cluster())->execScript(sql.constData());
}

TestDatabase::TestDatabase(const QString &folder, const QString &fileName)
{
    if (!postgresWanted()) {
        m_location = QDir(folder).filePath(fileName);
        return;
    }
    static QAtomicInt made;
    m_name = QStringLiteral("tvx_%1_%2").arg(QCoreApplication::applicationPid()).arg(made.fetchAndAddRelaxed(1));
    admin("CREATE DATABASE " + m_name.toLatin1());
    m_location = clusterUri(m_name);
}

TestDatabase::~TestDatabase()
{
    if (isPostgres()) {
        try {
            admin("DROP DATABASE IF EXISTS " + m_name.toLatin1() + " WITH (FORCE)");
        } catch (const std::exception &e) {
            qWarning("cannot drop the test database %s: %s", qPrintable(m_name), e.what());
        }
    }
}

std::unique_ptr<alertserver::Connection> TestDatabase::connect() const
{
    return alertserver::Database::connect(m_location);
}

} // namespace testsupport
