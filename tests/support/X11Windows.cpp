#include "X11Windows.h"
#include "support/Patience.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace testsupport {

namespace {

struct Disconnect
{
    void operator()(xcb_connection_t *c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T *r)
{
    return Reply<T>(r, &std::free);
}

Connection connect()
{
    Connection c(xcb_connect(nullptr, nullptr));
    if (c && xcb_connection_has_error(c.get()))
        c.reset();
    return c;
}

xcb_screen_t *firstScreen(xcb_connection_t *c)
{
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    return it.rem ? it.data : nullptr;
}

QByteArray property(xcb_connection_t *c, xcb_window_t w, xcb_atom_t name, xcb_atom_t type)
{
    auto r = reply(xcb_get_property_reply(c, xcb_get_property(c, 0, w, name, type, 0, 1024), nullptr));
    if (!r || r->type == XCB_ATOM_NONE)
        return {};
    return QByteArray(static_cast<const char *>(xcb_get_property_value(r.get())), xcb_get_property_value_length(r.get()));
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    auto r = reply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QList<xcb_window_t> children(xcb_connection_t *c, xcb_window_t parent)
{
    QList<xcb_window_t> out;
    auto r = reply(xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr));
    if (!r)
        return out;
    const xcb_window_t *list = xcb_query_tree_children(r.get());
    for (int i = 0; i < xcb_query_tree_children_length(r.get()); ++i)
        out.append(list[i]);
    return out;
}

} // namespace

QList<X11Window> x11WindowsOfClass(const QString &wmClass)
{
    QList<X11Window> found;
    Connection c = connect();
    xcb_screen_t *screen = c ? firstScreen(c.get()) : nullptr;
    if (!screen)
        return found;
    const xcb_atom_t netWmName = atom(c.get(), "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c.get(), "UTF8_STRING");

    QList<xcb_window_t> candidates = children(c.get(), screen->root);
    for (xcb_window_t top : QList<xcb_window_t>(candidates))
        candidates += children(c.get(), top);
    for (xcb_window_t w : candidates) {
        const QList<QByteArray> classParts = property(c.get(), w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING).split('\0');
        if (classParts.size() < 2 || QString::fromLatin1(classParts.at(1)) != wmClass)
            continue;
        X11Window window;
        window.id = w;
        window.wmClass = wmClass;
        window.netWmName = QString::fromUtf8(property(c.get(), w, netWmName, utf8));
        window.wmName = QString::fromLatin1(property(c.get(), w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
        auto geometry = reply(xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), w), nullptr));
        auto origin = reply(xcb_translate_coordinates_reply(
            c.get(), xcb_translate_coordinates(c.get(), w, screen->root, 0, 0), nullptr));
        if (geometry && origin)
            window.geometry = QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
        auto attributes = reply(xcb_get_window_attributes_reply(c.get(), xcb_get_window_attributes(c.get(), w), nullptr));
        window.viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        found.append(window);
    }
    return found;
}

QList<X11Window> findX11Windows(const QString &wmClass, const QString &title)
{
    QList<X11Window> found;
    for (X11Window &w : x11WindowsOfClass(wmClass)) {
        // Either title counts, as in the client's own single-instance look-up:
        // Qt may append the application's display name to _NET_WM_NAME alone.
        if (w.netWmName != title && w.wmName != title)
            continue;
        w.title = title;
        found.append(w);
    }
    return found;
}

std::optional<X11Window> viewableX11Window(const QString &wmClass, const QString &title)
{
    for (const X11Window &w : findX11Windows(wmClass, title)) {
        if (w.viewable)
            return w;
    }
    return std::nullopt;
}

QSize x11ScreenSize()
{
    Connection c = connect();
    xcb_screen_t *screen = c ? firstScreen(c.get()) : nullptr;
    return screen ? QSize(screen->width_in_pixels, screen->height_in_pixels) : QSize();
}

} // namespace testsupport

#include <QProcess>

namespace testsupport {

bool xdotool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(testsupport::patient(10000))) {
        p.kill();
        p.waitForFinished(testsupport::patient(2000));
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace testsupport
