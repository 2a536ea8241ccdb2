#include "client/startup/InstanceLookup.h"

#include <QGuiApplication>
#include <QList>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <xcb/xcb.h>

namespace client {

namespace {

struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t internAtom(xcb_connection_t *c, const char *name)
{
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

QList<xcb_window_t> childrenOf(xcb_connection_t *c, const QList<xcb_window_t> &parents)
{
    QList<xcb_query_tree_cookie_t> cookies;
    cookies.reserve(parents.size());
    for (xcb_window_t parent : parents)
        cookies.append(xcb_query_tree(c, parent));
    QList<xcb_window_t> result;
    for (const xcb_query_tree_cookie_t &cookie : cookies) {
        const XcbReply<xcb_query_tree_reply_t> reply(xcb_query_tree_reply(c, cookie, nullptr));
        if (!reply)
            continue; // the window went away meanwhile
        const xcb_window_t *children = xcb_query_tree_children(reply.get());
        const int count = xcb_query_tree_children_length(reply.get());
        for (int i = 0; i < count; ++i)
            result.append(children[i]);
    }
    return result;
}

QByteArray propertyBytes(xcb_connection_t *c, xcb_get_property_cookie_t cookie, xcb_atom_t *type = nullptr)
{
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
    if (!reply || reply->format != 8)
        return {};
    if (type)
        *type = reply->type;
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

// WM_CLASS holds "instance\0class\0".
bool hasClass(const QByteArray &wmClass, QByteArrayView wanted)
{
    const QList<QByteArray> parts = wmClass.split('\0');
    return parts.size() >= 2 && parts.at(1) == wanted;
}

// A bound on the walk, far above any real desktop, so that a display full of
// windows cannot hold up the start for long.
constexpr qsizetype kMaxWindows = 200000;

struct Atoms
{
    xcb_atom_t netWmName;
    xcb_atom_t utf8String;
};

bool windowMatches(xcb_connection_t *c, const Atoms &atoms, const QString &title,
                   xcb_get_property_cookie_t classCookie, xcb_get_property_cookie_t nameCookie,
                   xcb_get_property_cookie_t netNameCookie)
{
    const QByteArray wmClass = propertyBytes(c, classCookie);
    xcb_atom_t nameType = XCB_ATOM_NONE;
    const QByteArray wmName = propertyBytes(c, nameCookie, &nameType);
    const QByteArray netName = propertyBytes(c, netNameCookie);
    if (!hasClass(wmClass, kWindowClass))
        return false;
    if (atoms.netWmName != XCB_ATOM_NONE && !netName.isNull() && QString::fromUtf8(netName) == title)
        return true;
    const QString name = nameType == atoms.utf8String ? QString::fromUtf8(wmName)
                                                      : QString::fromLatin1(wmName);
    return !wmName.isNull() && name == title;
}

} // namespace

bool IsOnlyInstance(const QString &title)
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c || xcb_connection_has_error(c))
        return true; // no window look-up possible here

    const Atoms atoms{internAtom(c, "_NET_WM_NAME"), internAtom(c, "UTF8_STRING")};

    QList<xcb_window_t> roots;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it))
        roots.append(it.data->root);
    // The whole tree, a level at a time: a window manager may reparent the
    // main window into frames of any depth, and one hidden in the tray is
    // unmapped, so neither the top level alone nor the window manager's
    // client list (which leaves withdrawn windows out) would find it.
    QList<xcb_window_t> candidates;
    for (QList<xcb_window_t> level = childrenOf(c, roots);
         !level.isEmpty() && candidates.size() < kMaxWindows; level = childrenOf(c, level))
        candidates += level;

    struct Pending
    {
        xcb_get_property_cookie_t wmClass, wmName, netWmName;
    };
    constexpr uint32_t kMaxWords = 1024; // 4 KiB per property is plenty for a class or title
    QList<Pending> pending;
    pending.reserve(candidates.size());
    for (xcb_window_t w : candidates) {
        pending.append({xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, kMaxWords),
                        xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxWords),
                        xcb_get_property(c, 0, w, atoms.netWmName, atoms.utf8String, 0, kMaxWords)});
    }
    bool found = false;
    for (const Pending &p : pending) {
        // Every reply is collected, also after a match, so none is left queued.
        if (windowMatches(c, atoms, title, p.wmClass, p.wmName, p.netWmName))
            found = true;
    }
    return !found;
}

} // namespace client
