#pragma once

#include "server/web/Http.h"

#include <QByteArray>
#include <QSet>
#include <QString>

namespace alertserver {

// The names this server answers to: the host of its public address, the host
// it listens on, the names the operator adds, and "localhost", which never
// comes from anyone's name server. A web page that reaches the server through
// a name of its own (DNS rebinding) sends that name as Host; such a request
// is turned away before it can read or change anything. An address (v4, or
// v6 in brackets) always passes: rebinding needs a name. Set before serving
// starts; read on many threads after.
class ServerNames
{
public:
    enum class Verdict { Accepted, Malformed, Misdirected };

    // The host of an http:// or https:// base address.
    void setListenBase(const QString &base) { m_listen = hostOfBase(base); }
    void setPublicBase(const QString &base) { m_public = hostOfBase(base); }
    // A name given with --server-name: false when it is not a host name.
    bool add(const QString &name);

    // A request's Host: more than one, an HTTP/1.1 request without one, or
    // one that is not host[:port] is malformed; a name not ours is
    // misdirected. HTTP/1.0 may go without. The port is not compared.
    Verdict check(const HttpRequest &request) const;
    // Whether `host` (without a port) is an address or one of the names.
    bool accepts(const QByteArray &host) const;
    // Whether an Origin field ("https://name[:port]") names one of the names,
    // or the address the server listens on or is reached at. Unlike a Host,
    // any other address is refused: a page's origin is never the server's
    // by being an address.
    bool namesOrigin(const QByteArray &origin) const;

private:
    static QString hostOfBase(const QString &base);

    QString m_listen;
    QString m_public;
    QSet<QString> m_added;
};

} // namespace alertserver
