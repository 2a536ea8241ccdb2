#include "server/web/ServerNames.h"

#include <QUrl>

#include <algorithm>

#include <arpa/inet.h>

namespace alertserver {

namespace {

// Lower case, without the dot that may end a fully qualified name.
QString normalised(QString name)
{
    name = name.toLower();
    if (name.endsWith(u'.'))
        name.chop(1);
    return name;
}

bool isAddress(const QByteArray &host, int family)
{
    unsigned char bytes[16];
    return ::inet_pton(family, host.constData(), bytes) == 1;
}

bool isHostName(const QString &name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    for (const QString &label : name.split(u'.')) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(u'-') || label.endsWith(u'-'))
            return false;
        for (const QChar c : label)
            if (!(c.isDigit() || (c >= u'a' && c <= u'z') || c == u'-' || c == u'_'))
                return false;
    }
    return true;
}

} // namespace

QString ServerNames::hostOfBase(const QString &base)
{
    return normalised(QUrl(base).host());
}

bool ServerNames::add(const QString &name)
{
    const QString n = normalised(name);
    if (!isHostName(n))
        return false;
    m_added.insert(n);
    return true;
}

bool ServerNames::accepts(const QByteArray &host) const
{
    if (host.startsWith('[') && host.endsWith(']'))
        return isAddress(host.mid(1, host.size() - 2), AF_INET6);
    if (isAddress(host, AF_INET))
        return true;
    const QString name = normalised(QString::fromLatin1(host));
    return name == QLatin1String("localhost") || (!name.isEmpty() && (name == m_listen || name == m_public))
        || m_added.contains(name);
}

bool ServerNames::namesOrigin(const QByteArray &origin) const
{
    // scheme "://" host [":" port], nothing after it; "null" and the like fail.
    const qsizetype at = origin.indexOf("://");
    if (at < 0 || (origin.left(at) != "http" && origin.left(at) != "https"))
        return false;
    QByteArray host = origin.mid(at + 3);
    const qsizetype close = host.lastIndexOf(']');
    const qsizetype colon = host.lastIndexOf(':');
    if (colon > close) {
        const QByteArray port = host.mid(colon + 1);
        if (port.isEmpty() || port.size() > 5 || !std::all_of(port.cbegin(), port.cend(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        host.truncate(colon);
    }
    if (host.isEmpty() || host.contains('/') || host.contains('@'))
        return false;
    const bool bracketed = host.startsWith('[') && host.endsWith(']');
    const QByteArray bare = bracketed ? host.mid(1, host.size() - 2) : host;
    if (bracketed || isAddress(bare, AF_INET)) {
        if (!isAddress(bare, bracketed ? AF_INET6 : AF_INET))
            return false;
        // The unspecified address is where the server listens, never where
        // it is reached.
        const QString address = normalised(QString::fromLatin1(bare));
        return address != QLatin1String("0.0.0.0") && address != QLatin1String("::")
            && (address == m_listen || address == m_public);
    }
    if (host.contains(':'))
        return false;
    const QString name = normalised(QString::fromLatin1(host));
    return name == QLatin1String("localhost") || (!name.isEmpty() && (name == m_listen || name == m_public))
        || m_added.contains(name);
}

ServerNames::Verdict ServerNames::check(const HttpRequest &request) const
{
    int fields = 0;
    for (const auto &field : request.headers)
        fields += field.first.compare("host", Qt::CaseInsensitive) == 0;
    if (fields > 1)
        return Verdict::Malformed;
    if (request.host.isEmpty())
        return request.version >= 11 ? Verdict::Malformed : Verdict::Accepted;

    // host, host:port, [v6] or [v6]:port.
    QByteArray host = request.host;
    const qsizetype close = host.lastIndexOf(']');
    const qsizetype colon = host.lastIndexOf(':');
    if (colon > close) {
        const QByteArray port = host.mid(colon + 1);
        for (const char c : port)
            if (c < '0' || c > '9')
                return Verdict::Malformed;
        host.truncate(colon);
    }
    if (host.isEmpty() || (host.contains(':') && !(host.startsWith('[') && host.endsWith(']'))))
        return Verdict::Malformed;
    return accepts(host) ? Verdict::Accepted : Verdict::Misdirected;
}

} // namespace alertserver
