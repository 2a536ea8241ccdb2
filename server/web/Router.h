#pragma once

#include "server/web/FormData.h"
#include "server/web/Http.h"
#include "server/web/Replies.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <optional>

namespace alertserver {

// A request as a page sees it.
struct PageRequest
{
    const HttpRequest &http;
    QByteArray path;      // the path, "//" collapsed to "/"
    QByteArray rest;      // below a route that ends in "/": "1/close.gif"
    QByteArray queryText; // after the "?", as sent
    // In areas of forms, the query and a POST body decoded (strictly).
    FormData query;
    FormData body;
};

using Page = std::function<HttpReply(PageRequest &)>;

// HEAD is answered as GET, without the body, by pages that change nothing;
// everywhere else it is refused, so it can never delete a user or use up an
// alert.
enum class Methods { Get, GetOrHead, Post, GetOrPost };

// One row of the routing table.
struct Route
{
    QByteArray path; // the whole path, or a prefix that ends in "/"
    Methods methods;
    Page serve;
    // How the page says no; by default as its area does.
    std::optional<Refusal> refusal = std::nullopt;
    // The wizard's pages: refused when a web page in a browser sends them,
    // and to a caller without an address.
    bool wizardOnly = false;
    // The page hashes a password (see RequestHandler::hashes).
    bool hashes = false;
    // The largest body the page takes; none given: an administrator's form
    // for POST (limits::kMaxFormBodyBytes), no body at all otherwise.
    std::function<qint64()> maxBody = {};
    // A path that ends in "/" but takes nothing below it.
    bool exact = false;
};

// The routing table: finds the row of a request, checks what every page
// needs checked (the forms, the method, a browser where the wizard alone may
// call), and hands the request to the row's page. A failure inside a page is
// logged with a reference number, and the caller gets the page's refusal with
// that number and nothing else.
class Router
{
public:
    // What the front end refuses before a request reaches a page.
    enum class Bodies { Forms, Raw };

    // Pages under `root` ("/api/") refuse in `form`; with Forms, the query
    // and a POST body are decoded as forms (and refused when malformed)
    // before a row is looked up. Paths under no area refuse in XML and
    // carry forms.
    void addArea(const QByteArray &root, Refusal::Form form, Bodies bodies);
    void add(Route route);

    HttpReply handle(const HttpRequest &request) const;
    HttpReply refusal(const QByteArray &target, int status, const QString &why) const;
    bool hashes(const QByteArray &target) const;
    // The largest body the request's row takes.
    qint64 bodyLimit(const HttpRequest &head) const;

private:
    struct Area
    {
        QByteArray root;
        Refusal::Form form;
        Bodies bodies;
    };

    const Area &areaOf(const QByteArray &path) const;
    const Route *find(const QByteArray &path) const;
    Refusal refusalOf(const QByteArray &path, const Route *route) const;
    HttpReply serve(PageRequest &r, const Route *route, const Refusal &refusal) const;

    Area m_default{QByteArrayLiteral("/"), Refusal::Form::Xml, Bodies::Forms};
    QList<Area> m_areas;
    QList<Route> m_routes;
};

} // namespace alertserver
