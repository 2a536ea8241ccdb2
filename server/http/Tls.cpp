#include "server/http/Tls.h"

#include <stdexcept>

namespace alertserver::http {

namespace ssl = boost::asio::ssl;

std::optional<ssl::context> serverTls(const QString &certificateFile, const QString &keyFile, QString *error)
{
    try {
        ssl::context context(ssl::context::tls_server);
        context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3
                            | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
        context.use_certificate_chain_file(certificateFile.toStdString());
        context.use_private_key_file(keyFile.toStdString(), ssl::context::pem);
        if (SSL_CTX_check_private_key(context.native_handle()) != 1)
            throw std::runtime_error("the key does not belong to the certificate");
        return context;
    } catch (const std::exception &e) {
        if (error)
            *error = QStringLiteral("cannot use the certificate %1 with the key %2: %3")
                         .arg(certificateFile, keyFile, QString::fromLocal8Bit(e.what()));
        return std::nullopt;
    }
}

} // namespace alertserver::http
