#include "server/http/Addresses.h"

#include "server/web/Http.h"

#include <algorithm>

namespace alertserver::http {

namespace {

using error_code = boost::system::error_code;

// IPv4 addresses as IPv6 ones (::ffff:a.b.c.d), so one comparison serves both.
net::ip::address_v6 widened(const net::ip::address &a)
{
    return a.is_v4() ? net::ip::make_address_v6(net::ip::v4_mapped, a.to_v4()) : a.to_v6();
}

// ":1" to ":65535".
bool isPort(const QByteArray &text)
{
    if (text.size() < 2 || text.size() > 6 || text.at(0) != ':')
        return false;
    bool ok = std::all_of(text.cbegin() + 1, text.cend(), [](char c) { return c >= '0' && c <= '9'; });
    const int port = ok ? text.mid(1).toInt(&ok) : 0;
    return ok && port > 0 && port <= 65535;
}

// What a header said, fit for one log line whoever wrote it.
QByteArray shown(const QByteArray &text)
{
    QByteArray out = text.trimmed().left(64);
    for (char &c : out)
        if (c < 0x20 || c > 0x7e || c == '"')
            c = '?';
    return '"' + out + '"';
}

} // namespace

net::ip::address narrowed(const net::ip::address &a)
{
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
    return a;
}

std::optional<net::ip::address> parseAddress(QByteArray text)
{
    text = text.trimmed();
    if (text.startsWith('[') && text.endsWith(']'))
        text = text.mid(1, text.size() - 2);
    error_code ec;
    const auto a = net::ip::make_address(text.toStdString(), ec);
    if (ec)
        return std::nullopt;
    return narrowed(a);
}

std::optional<net::ip::address> forwardedAddress(QByteArray text)
{
    text = text.trimmed();
    if (text.contains('%'))
        return std::nullopt; // a zone means something only on the proxy's machine
    bool v6 = false;
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        if (close < 0 || (close + 1 < text.size() && !isPort(text.mid(close + 1))))
            return std::nullopt;
        text = text.mid(1, close - 1);
        v6 = true;
    } else if (text.count(':') == 1) {
        const qsizetype colon = text.indexOf(':');
        if (!isPort(text.mid(colon)))
            return std::nullopt;
        text = text.left(colon);
    }
    error_code ec;
    const auto a = net::ip::make_address(text.toStdString(), ec);
    if (ec || (v6 && !a.is_v6()) || (!v6 && text.contains(':') != a.is_v6()))
        return std::nullopt;
    return narrowed(a);
}

QByteArray addressText(const net::ip::address &a)
{
    return QByteArray::fromStdString(a.to_string());
}

std::string admissionKey(const net::ip::address &a)
{
    if (!a.is_v6())
        return a.to_string();
    auto bytes = a.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return net::ip::make_address_v6(bytes).to_string() + "/64";
}

bool TrustedProxies::inNetwork(const Network &n, const net::ip::address &a)
{
    const auto bytes = widened(a).to_bytes();
    int bits = n.prefix;
    for (size_t i = 0; bits > 0; ++i, bits -= 8) {
        const unsigned mask = bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu;
        if ((bytes[i] & mask) != (n.bytes[i] & mask))
            return false;
    }
    return true;
}

std::optional<TrustedProxies::Network> TrustedProxies::parseNetwork(const QString &text)
{
    const qsizetype slash = text.indexOf(u'/');
    const auto address = parseAddress((slash < 0 ? text : text.left(slash)).toLatin1());
    if (!address)
        return std::nullopt;
    const int width = address->is_v4() ? 32 : 128;
    int prefix = width;
    if (slash >= 0) {
        const QString bits = text.mid(slash + 1);
        bool ok = !bits.isEmpty() && std::all_of(bits.cbegin(), bits.cend(), [](QChar c) { return c.isDigit(); });
        prefix = ok ? bits.toInt(&ok) : -1;
        if (!ok || prefix > width)
            return std::nullopt;
    }
    return Network{widened(*address).to_bytes(), prefix + (address->is_v4() ? 96 : 0)};
}

bool TrustedProxies::set(const QStringList &networks, QString *error)
{
    std::vector<Network> parsed;
    for (const QString &text : networks) {
        const auto n = parseNetwork(text);
        if (!n) {
            if (error)
                *error = QStringLiteral("%1 is not an address or a network (ADDRESS/BITS)").arg(text);
            return false;
        }
        parsed.push_back(*n);
    }
    m_networks = std::move(parsed);
    return true;
}

bool TrustedProxies::contains(const net::ip::address &a) const
{
    return std::any_of(m_networks.cbegin(), m_networks.cend(), [&](const Network &n) { return inNetwork(n, a); });
}

Caller TrustedProxies::caller(const net::ip::address &peer, const HttpRequest &request) const
{
    if (!contains(peer))
        return {peer, {}};
    QList<QByteArray> hops;
    for (const auto &[name, value] : request.headers)
        if (name.compare("X-Forwarded-For", Qt::CaseInsensitive) == 0)
            hops += value.split(',');
    if (hops.isEmpty())
        return {std::nullopt, "no X-Forwarded-For"};
    for (qsizetype i = hops.size() - 1; i >= 0; --i) {
        const auto hop = forwardedAddress(hops.at(i));
        if (!hop)
            return {std::nullopt, "X-Forwarded-For entry " + shown(hops.at(i)) + " is no address"};
        if (!contains(*hop))
            return {*hop, {}};
    }
    return {std::nullopt, "X-Forwarded-For names trusted proxies only"};
}

} // namespace alertserver::http
