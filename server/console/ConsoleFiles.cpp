#include "server/console/ConsoleFiles.h"

#include "server/web/Replies.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Outside any namespace, as Qt's resource registration wants it.
static void registerConsoleFiles()
{
    Q_INIT_RESOURCE(console);
}

namespace alertserver {

namespace {

const QString kRoot = QStringLiteral(":/console/");

} // namespace

ConsoleFiles::ConsoleFiles(const ConsoleGuard &guard) : m_guard(guard)
{
    registerConsoleFiles();
    m_files = QDir(kRoot).entryList(QDir::Files, QDir::Name);
}

QList<QByteArray> ConsoleFiles::paths() const
{
    QList<QByteArray> out{QByteArrayLiteral("/console/")};
    for (const QString &name : m_files)
        out.append("/console/" + name.toUtf8());
    return out;
}

QByteArray ConsoleFiles::contentTypeOf(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("html"))
        return "text/html; charset=UTF-8";
    if (suffix == QLatin1String("css"))
        return "text/css; charset=UTF-8";
    if (suffix == QLatin1String("js") || suffix == QLatin1String("mjs"))
        return "text/javascript; charset=UTF-8";
    if (suffix == QLatin1String("json"))
        return "application/json";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    if (suffix == QLatin1String("png"))
        return "image/png";
    if (suffix == QLatin1String("ico"))
        return "image/x-icon";
    if (suffix == QLatin1String("txt"))
        return "text/plain; charset=UTF-8";
    return "application/octet-stream";
}

HttpReply ConsoleFiles::serve(PageRequest &r) const
{
    if (auto refused = m_guard.screen(r.http, false))
        return *refused;
    const QString name = r.path == "/console/" ? QStringLiteral("index.html") : QString::fromUtf8(r.path.mid(9));
    QFile file(kRoot + name);
    if (!m_files.contains(name) || !file.open(QIODevice::ReadOnly))
        return replies::notXml(404, "no such file");
    HttpReply reply{200, contentTypeOf(name), file.readAll()};
    // A new server's files are fetched again, not taken from a cache.
    reply.headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache")});
    return reply;
}

} // namespace alertserver
