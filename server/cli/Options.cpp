#include "server/cli/Options.h"

#include "server/cli/Serve.h"

#include <cstdio>

namespace alertserver::cli {

namespace {

// The options of the commands other than serve that take a value.
const QStringList kCommandOptions{QStringLiteral("--db"),    QStringLiteral("--from"),  QStringLiteral("--to"),
                                  QStringLiteral("--email"), QStringLiteral("--first"), QStringLiteral("--last"),
                                  QStringLiteral("--tel"),   QStringLiteral("--name"), QStringLiteral("--scope")};

} // namespace

Options parseOptions(const QStringList &args)
{
    Options o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--verbose")) {
            o.verbose = true;
        } else if (kCommandOptions.contains(a) || serveOptions().contains(a)) {
            if (i + 1 >= args.size()) {
                o.error = QStringLiteral("%1 needs a value").arg(a);
                return o;
            }
            o.named.insert(a, args[++i]);
        } else if (a.startsWith(QLatin1String("--"))) {
            o.error = QStringLiteral("unknown option %1").arg(a);
            return o;
        } else {
            o.positional.append(a);
        }
    }
    return o;
}

bool boundedNumber(const Options &o, const QString &name, int low, int high, int *value, QString *error)
{
    if (!o.has(name))
        return true;
    bool ok = false;
    const int n = o.value(name).toInt(&ok);
    if (!ok || n < low || n > high) {
        *error = QStringLiteral("%1 wants %2 to %3").arg(name).arg(low).arg(high);
        return false;
    }
    *value = n;
    return true;
}

void say(const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

int fail(const QString &text)
{
    std::fprintf(stderr, "alertserver: %s\n", text.toLocal8Bit().constData());
    return 1;
}

} // namespace alertserver::cli
