#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace alertserver::cli {

struct Options;

// What a command answers when its words do not fit it: the caller prints the
// usage and ends with exit code 2.
constexpr int kWrongWords = -1;

// The commands that act on the store from the server's host: alert, token,
// logout, seed-admin, activate-admin, expire-admin, add-user and migrate.
// No value when `command` is none of them; else the exit code, or
// kWrongWords.
std::optional<int> runStoreCommand(const QString &command, const QStringList &args, const Options &o,
                                   const QString &dbPath);

} // namespace alertserver::cli
