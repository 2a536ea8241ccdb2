#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <vector>

namespace alertserver {

struct HttpRequest;

namespace http {

namespace net = boost::asio;

// A peer of a dual-stack socket reads as plain IPv4.
net::ip::address narrowed(const net::ip::address &a);
// An address as a header or an option writes it ("10.1.2.3", "::1", "[::1]").
std::optional<net::ip::address> parseAddress(QByteArray text);
QByteArray addressText(const net::ip::address &a);
// What the per-address connection cap counts by: an IPv4 address, or the /64
// of an IPv6 one (a machine commonly has a whole /64 to pick from).
std::string admissionKey(const net::ip::address &a);

// One hop of X-Forwarded-For: an address, also as "a.b.c.d:port", "[v6]" or
// "[v6]:port". Anything else ("unknown", a name, a zone) is no address.
std::optional<net::ip::address> forwardedAddress(QByteArray text);

// Who sent a request. Behind a trusted proxy that forwarded no usable address
// the caller has none: it can never be bound nor match a binding, and it is
// not the proxy either.
struct Caller
{
    std::optional<net::ip::address> address;
    QByteArray why; // without an address: what the proxy forwarded, for the access log
};

// Networks ("10.0.0.0/8", "::1/128", a bare address) whose connections are
// reverse proxies: for them alone the caller's address is taken from
// X-Forwarded-For.
class TrustedProxies
{
public:
    // False with `error` set when a network cannot be read; nothing changes then.
    bool set(const QStringList &networks, QString *error);
    bool contains(const net::ip::address &a) const;
    // The caller: the TCP peer, or for a trusted proxy the nearest address
    // in X-Forwarded-For that is not a trusted proxy itself. No header, an
    // entry on the way that is not an address, or nothing but trusted
    // proxies: no address at all.
    Caller caller(const net::ip::address &peer, const HttpRequest &request) const;

private:
    struct Network
    {
        net::ip::address_v6::bytes_type bytes;
        int prefix; // in bits of the address as IPv6
    };
    static std::optional<Network> parseNetwork(const QString &text);
    static bool inNetwork(const Network &n, const net::ip::address &a);

    std::vector<Network> m_networks;
};

} // namespace http
} // namespace alertserver
