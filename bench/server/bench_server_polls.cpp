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

#include "server/AlertService.h"
#include "server/HttpFrontEnd.h"
#include "server/Outbox.h"
#include "server/SkinLibrary.h"
#include "server/Store.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

// One poll: connect, send, read to the end. Answers the status digit or -1.
int poll(int port, const std::string &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        std::string reply;
        char buffer[2048];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, size_t(n));
        const size_t at = reply.find("<answer>");
        if (n == 0 && reply.rfind("HTTP/1.1 200", 0) == 0 && at != std::string::npos && at + 8 < reply.size())
            status = reply[at + 8] - '0';
    }
    ::close(fd);
    return status;
}

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t i = std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())));
    return sorted[i];
}

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
    alertserver::MailDelivery mail(store, outbox);
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

    alertserver::AlertService service(store, mail, skins, QString());
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
    std::thread alerter([&] {
        if (o.alertsPerSecond == 0)
            return;
        std::mt19937 random(7);
        const auto period = std::chrono::microseconds(1000000 / o.alertsPerSecond);
        auto next = Clock::now();
        while (!stop && Clock::now() < deadline) {
            store.raiseAlert(QStringLiteral("user%1").arg(random() % unsigned(o.users)), QStringLiteral("bench alert"));
            ++alertsRaised;
            next += period;
            std::this_thread::sleep_until(next);
        }
    });

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
                const std::string request = "GET /alertsystem/status.php?username=user" + std::to_string(user)
                    + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
                user = (user + o.clients) % o.users;
                const auto t0 = paced ? due : Clock::now();
                due += interval;
                const int s = poll(port, request);
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
    std::printf("  latency ms      p50 %.2f  p90 %.2f  p99 %.2f  max %.2f   (aim p99 < 20)\n", percentile(all, 50),
                percentile(all, 90), percentile(all, 99), all.empty() ? 0.0 : all.back());
    return errors == 0 ? 0 : 1;
}
