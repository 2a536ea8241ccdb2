// Status polls against the alert server as the clients send them: each poll a
// new loopback connection with "Connection: close", many clients at once,
// while alerts keep arriving. Prints polls per second and latency
// percentiles. Bounded in time and in count; loopback only.
//
//   bench_server_polls [--clients N] [--seconds S] [--max-polls N] [--users N]
//                      [--threads N] [--alerts-per-second N] [--rate N]
//
// With --rate the clients together send that many polls per second on a
// fixed schedule (as 10,000 clients polling every 2 s send 5,000), and each
// latency is counted from the moment the poll was due, so a server that falls
// behind shows it. With --rate 0 they poll as fast as they can (throughput).

#include "Polling.h"
#include "StoreRounds.h"

#include "server/AlertService.h"
#include "server/HttpFrontEnd.h"
#include "server/Outbox.h"
#include "server/SkinLibrary.h"
#include "server/Store.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

struct Options
{
    int clients = 64;
    double seconds = 5;
    long maxPolls = 200000;
    int users = 10000;
    int threads = alertserver::HttpFrontEnd::kDefaultThreads;
    int alertsPerSecond = 50;
    double rate = 5000;
};

struct ClientResult
{
    std::vector<double> latenciesMs;
    long errors = 0;
    long ones = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &k = args[i];
        const QString v = args[i + 1];
        if (k == QLatin1String("--clients"))
            o.clients = std::clamp(v.toInt(), 1, 1024);
        else if (k == QLatin1String("--seconds"))
            o.seconds = std::clamp(v.toDouble(), 0.5, 120.0);
        else if (k == QLatin1String("--max-polls"))
            o.maxPolls = std::clamp(v.toLong(), 1L, 5000000L);
        else if (k == QLatin1String("--users"))
            o.users = std::clamp(v.toInt(), 1, alertserver::Store::kMaxId);
        else if (k == QLatin1String("--threads"))
            o.threads = std::clamp(v.toInt(), 1, 256);
        else if (k == QLatin1String("--rate"))
            o.rate = std::clamp(v.toDouble(), 0.0, 100000.0);
        else if (k == QLatin1String("--alerts-per-second"))
            o.alertsPerSecond = std::clamp(v.toInt(), 0, 10000);
    }

    QTemporaryDir dir;
    alertserver::Store store(dir.filePath(QStringLiteral("bench.db")));
    alertserver::Outbox outbox(dir.filePath(QStringLiteral("outbox")));
    alertserver::SkinLibrary skins(dir.filePath(QStringLiteral("skins")));

    // Users, all logged in, as a server with that many clients would have.
    const auto seedStart = Clock::now();
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("bench");
    reg.password = QStringLiteral("bench");
    const int admin = store.registerAdmin(reg).id;
    store.activateAdminByName(reg.username);
    for (int i = 0; i < o.users; ++i) {
        alertserver::UserFields u;
        u.username = QStringLiteral("user%1").arg(i);
        u.password = QStringLiteral("pw");
        store.addUser(admin, u);
        store.loginUser(u.username, u.password, QStringLiteral("127.0.0.1"));
    }
    const double seedSeconds = std::chrono::duration<double>(Clock::now() - seedStart).count();

    alertserver::AlertService service(store, outbox, skins, QString());
    alertserver::HttpFrontEnd front(service, o.threads);
    QString error;
    if (!front.bind(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    front.start();
    const int port = front.port();

    std::atomic<long> issued{0};
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));

    // Alerts keep arriving while the polls run, as `alertserver alert` would add them.
    std::atomic<long> alertsRaised{0};
    std::thread alerter([&] { alertsRaised = benchpolls::raiseAlerts(store, o.alertsPerSecond, o.users, deadline, stop); });

    std::vector<ClientResult> results(size_t(o.clients));
    std::vector<std::thread> clients;
    for (int c = 0; c < o.clients; ++c) {
        clients.emplace_back([&, c] {
            ClientResult &r = results[size_t(c)];
            int user = c;
            const bool paced = o.rate > 0;
            const auto interval = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(paced ? o.clients / o.rate : 0.0));
            auto due = start + interval * c / o.clients;
            while (Clock::now() < deadline && issued.fetch_add(1) < o.maxPolls) {
                if (paced) {
                    std::this_thread::sleep_until(due);
                }
                const std::string request = benchpolls::statusRequest(port, user);
                user = (user + o.clients) % o.users;
                const auto t0 = paced ? due : Clock::now();
                due += interval;
                const int s = benchpolls::poll(port, request);
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                if (s < 0 || s > 2) {
                    ++r.errors;
                    continue;
                }
                r.ones += s == 1;
                r.latenciesMs.push_back(ms);
            }
        });
    }
    for (auto &t : clients)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    alerter.join();
    front.stop();

    std::vector<double> all;
    long errors = 0, ones = 0;
    for (const auto &r : results) {
        all.insert(all.end(), r.latenciesMs.begin(), r.latenciesMs.end());
        errors += r.errors;
        ones += r.ones;
    }
    std::sort(all.begin(), all.end());
    std::printf("alert server status polls, one connection per poll, loopback, %u cores\n",
                std::thread::hardware_concurrency());
    std::printf("  clients %d, %s, server threads %d, users %d (seeded in %.1f s), alerts raised %ld\n", o.clients,
                o.rate > 0 ? qPrintable(QStringLiteral("paced at %1 polls/s").arg(o.rate)) : "as fast as they can",
                o.threads, o.users, seedSeconds, alertsRaised.load());
    std::printf("  polls answered  %zu in %.2f s, errors %ld, status 1 seen %ld\n", all.size(), elapsed, errors, ones);
    std::printf("  polls/s         %.0f   (aim >= 5000)\n", double(all.size()) / elapsed);
    std::printf("  latency ms      p50 %.2f  p90 %.2f  p99 %.2f  max %.2f   (aim p99 < 20)\n", benchpolls::percentile(all, 50),
                benchpolls::percentile(all, 90), benchpolls::percentile(all, 99), all.empty() ? 0.0 : all.back());

    // The same polls against the built program as processes, on each store.
    const int stores = runStoreRounds({o.clients, o.seconds, o.users, o.threads, o.alertsPerSecond, o.rate});
    return errors == 0 && stores == 0 ? 0 : 1;
}
