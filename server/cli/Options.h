#pragma once

#include <QMultiHash>
#include <QString>
#include <QStringList>

namespace alertserver::cli {

// A command line read: words in order, and options with their values.
// Only words that start with "--" are options, so an alert's text may start
// with "-" ("-5 degrees in the server room").
struct Options
{
    QStringList positional;
    QMultiHash<QString, QString> named; // value(): the last one given
    bool verbose = false;
    QString error;

    bool has(const QString &name) const { return named.contains(name); }
    QString value(const QString &name, const QString &fallback = {}) const { return named.value(name, fallback); }
};

Options parseOptions(const QStringList &args);

// A whole number from `low` to `high` for the option, when it is given;
// false with `error` set otherwise.
bool boundedNumber(const Options &o, const QString &name, int low, int high, int *value, QString *error);

// A line on standard output, and a failure on standard error (answers 1,
// the exit code).
void say(const QString &text);
int fail(const QString &text);

} // namespace alertserver::cli
