#pragma once

#include <QString>
#include <QStringList>

namespace alertserver::cli {

struct Options;

// `alertserver serve`: the HTTP front end, the pages, the store, mail
// delivery and housekeeping, until SIGINT or SIGTERM. `folder` holds the
// default store, outbox and skins. Answers the exit code.
int serve(const Options &o, const QString &folder);

// The options of serve that take a value.
const QStringList &serveOptions();

} // namespace alertserver::cli
