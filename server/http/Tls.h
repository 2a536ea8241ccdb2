#pragma once

#include <QString>

#include <boost/asio/ssl/context.hpp>

#include <optional>

namespace alertserver::http {

// The server's TLS: 1.2 and 1.3, with the certificate chain and key of the
// PEM files. No value, with `error` set, when they cannot be used together.
std::optional<boost::asio::ssl::context> serverTls(const QString &certificateFile, const QString &keyFile,
                                                   QString *error);

} // namespace alertserver::http
