#include "server/web/Router.h"

#include "server/web/AccessLog.h"

#include <QRandomGenerator>

namespace alertserver {

namespace {

QByteArray collapseSlashes(const QByteArray &path)
{
    if (!path.contains("//"))
        return path;
    QByteArray out;
    out.reserve(path.size());
    for (const char c : path)
        if (!(c == '/' && out.endsWith('/')))
            out.append(c);
    return out;
}

QByteArray pathOf(const QByteArray &target)
{
    const qsizetype q = target.indexOf('?');
    return collapseSlashes(q < 0 ? target : target.left(q));
}

// The wizard sends none of these; a browser sends them with every request a
// web page makes, which keeps a page on the administrator's machine from
// acting in the administrator's name.
bool fromBrowser(const HttpRequest &request)
{
    for (const auto &[name, value] : request.headers) {
        if (name.compare("Origin", Qt::CaseInsensitive) == 0 || name.compare("Referer", Qt::CaseInsensitive) == 0
            || name.toLower().startsWith("sec-fetch-"))
            return true;
    }
    return false;
}

bool allows(Methods methods, const QByteArray &method)
{
    switch (methods) {
    case Methods::Get: return method == "GET";
    case Methods::GetOrHead: return method == "GET" || method == "HEAD";
    case Methods::Post: return method == "POST";
    case Methods::GetOrPost: return method == "GET" || method == "POST";
    }
    return false;
}

QByteArray allowed(Methods methods)
{
    switch (methods) {
    case Methods::Get: return QByteArrayLiteral("GET");
    case Methods::GetOrHead: return QByteArrayLiteral("GET, HEAD");
    case Methods::Post: return QByteArrayLiteral("POST");
    case Methods::GetOrPost: return QByteArrayLiteral("GET, POST");
    }
    return {};
}

// What a caller quotes to the operator, who finds the log line by it.
QString newReference()
{
    return QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0');
}

} // namespace

void Router::addArea(const QByteArray &root, Refusal::Form form, Bodies bodies)
{
    m_areas.append({root, form, bodies});
}

void Router::add(Route route)
{
    m_routes.append(std::move(route));
}

const Router::Area &Router::areaOf(const QByteArray &path) const
{
    for (const Area &area : m_areas)
        if (path.startsWith(area.root))
            return area;
    return m_default;
}

const Route *Router::find(const QByteArray &path) const
{
    for (const Route &route : m_routes) {
        if (route.path.endsWith('/') && !route.exact ? path.startsWith(route.path) : path == route.path)
            return &route;
    }
    return nullptr;
}

Refusal Router::refusalOf(const QByteArray &path, const Route *route) const
{
    if (route && route->refusal)
        return *route->refusal;
    return Refusal{areaOf(path).form};
}

HttpReply Router::refusal(const QByteArray &target, int status, const QString &why) const
{
    const QByteArray path = pathOf(target);
    return refusalOf(path, find(path)).reply(status, why);
}

bool Router::hashes(const QByteArray &target) const
{
    const Route *route = find(pathOf(target));
    return route && route->hashes;
}

qint64 Router::bodyLimit(const HttpRequest &head) const
{
    // A path without a page takes a small form, so that it is told so (404).
    const Route *route = find(pathOf(head.target));
    if (!route)
        return limits::kMaxFormBodyBytes;
    if (route->maxBody)
        return route->maxBody();
    return route->methods == Methods::Post ? limits::kMaxFormBodyBytes : 0;
}

HttpReply Router::handle(const HttpRequest &request) const
{
    const qsizetype q = request.target.indexOf('?');
    PageRequest r{request, pathOf(request.target), {}, q < 0 ? QByteArray() : request.target.mid(q + 1), {}, {}};
    const Route *route = find(r.path);
    const Refusal refusal = refusalOf(r.path, route);
    try {
        return serve(r, route, refusal);
    } catch (const std::exception &e) {
        // Whatever failed (the store, most likely) is for the operator's
        // eyes; the caller gets a number to quote.
        const QString reference = newReference();
        accesslog::failed(reference, request, QString::fromLocal8Bit(e.what()));
        return refusal.reply(500, QStringLiteral("server error, reference %1").arg(reference));
    }
}

HttpReply Router::serve(PageRequest &r, const Route *route, const Refusal &refusal) const
{
    const QByteArray &method = r.http.method;
    if (areaOf(r.path).bodies == Bodies::Forms) {
        auto query = FormData::parse(r.queryText);
        if (!query)
            return refusal.reply(400, QStringLiteral("malformed query string"));
        if (method == "POST" && r.http.body.size() > limits::kMaxBodyBytes)
            return refusal.reply(413, QStringLiteral("request body too large"));
        std::optional<FormData> body = FormData();
        if (method == "POST" && !(body = FormData::parse(r.http.body)))
            return refusal.reply(400, QStringLiteral("malformed form body"));
        r.query = std::move(*query);
        r.body = std::move(*body);
    }
    if (!route)
        return refusal.reply(404, QStringLiteral("no such page"));
    if (!allows(route->methods, method)) {
        HttpReply reply = refusal.reply(405, QStringLiteral("method %1 not allowed here").arg(QString::fromLatin1(method)));
        reply.headers.append({QByteArrayLiteral("Allow"), allowed(route->methods)});
        return reply;
    }
    // A caller without an address could never be told apart from another.
    if (route->wizardOnly && (fromBrowser(r.http) || r.http.peer.isEmpty()))
        return refusal.turnedDown(403);
    if (route->path.endsWith('/'))
        r.rest = r.path.mid(route->path.size());
    return route->serve(r);
}

} // namespace alertserver
