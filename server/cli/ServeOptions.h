#pragma once

#include <QString>

#include <memory>

namespace alertserver {

class HttpFrontEnd;
class MailTransport;
struct Policy;

namespace cli {

struct Options;

// What the options of serve set, each part false (or no value) with `error`
// set when an option cannot be used.

// Sessions, expiry and limits.
bool readPolicy(const Options &o, Policy *policy, QString *error);
// TLS, trusted proxies, caps and deadlines of the front end.
bool configureFrontEnd(const Options &o, HttpFrontEnd &front, QString *error);
// The way out for mail: an outbox (the default, in `folder`), sendmail or a
// relay.
std::unique_ptr<MailTransport> mailTransport(const Options &o, const QString &folder, QString *error);

} // namespace cli
} // namespace alertserver
