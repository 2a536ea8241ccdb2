#include "server/store/Store.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"

namespace alertserver {

QString nameKey(const QString &name)
{
    // ASCII only, as the first stores compared names: folding more now
    // could make two stored names one.
    QString key = name;
    for (QChar &ch : key)
        if (ch >= u'A' && ch <= u'Z')
            ch = QChar(ch.unicode() + ('a' - 'A'));
    return key;
}

Store::Store(const QString &location, int passwordIterations)
    : m_db(Database::open(location)), m_limits(*m_db, m_policy), m_mailQueue(*m_db, m_limits),
      m_admins(*m_db, m_policy, m_limits, m_work, passwordIterations), m_users(*m_db),
      m_sessions(*m_db, m_policy, m_work),
      m_tokens(*m_db, m_limits), m_receipts(*m_db, m_policy),
      m_consoleSessions(*m_db)
{
    migrate();
}

Store::~Store() = default;

const QString &Store::location() const
{
    return m_db->location();
}

QStringList Store::files() const
{
    const QString &path = location();
    if (Database::isUri(path))
        return {};
    return {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")};
}

void Store::sweep()
{
    const qint64 t = now();
    m_db->transaction([&](Connection &db) {
        m_sessions.dropExpired(db, t);
        m_admins.dropExpired(db, t);
        Limits::dropExpired(db, t);
        m_receipts.dropExpired(db, t);
        ConsoleSessions::dropExpired(db, t);
        Receipts::escalate(db, m_limits, t);
    });
}

} // namespace alertserver
