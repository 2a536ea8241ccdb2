// Status polls against the built alertserver program on each store, side by
// side in one run: one process on SQLite, one on PostgreSQL, two on one
// PostgreSQL database (scripts/bench.sh starts the cluster).
//   bench_server_stores [--clients N] [--seconds S] [--users N] [--threads N]
//                       [--rate POLLS_PER_SECOND] [--alerts-per-second N]

#include "StoreRounds.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    StoreRoundOptions o;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &k = args[i];
        const QString v = args[i + 1];
        if (k == QLatin1String("--clients"))
            o.clients = std::clamp(v.toInt(), 1, 1024);
        else if (k == QLatin1String("--seconds"))
            o.seconds = std::clamp(v.toDouble(), 0.5, 120.0);
        else if (k == QLatin1String("--users"))
            o.users = std::clamp(v.toInt(), 1, 1000000);
        else if (k == QLatin1String("--threads"))
            o.threads = std::clamp(v.toInt(), 1, 256);
        else if (k == QLatin1String("--rate"))
            o.rate = std::clamp(v.toDouble(), 0.0, 100000.0);
        else if (k == QLatin1String("--alerts-per-second"))
            o.alertsPerSecond = std::clamp(v.toInt(), 0, 10000);
    }
    return runStoreRounds(o);
}
