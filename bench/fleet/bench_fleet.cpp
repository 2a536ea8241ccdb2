// A fleet of desktops against the alert server, and against nginx answering
// the same bytes as a bare baseline, over TLS on loopback.
//
// Every desktop is a logged-in user of the server with a connection of its
// own from its own source address (127.1.x.y), polling its status every 2 s
// at a random phase. Rounds, for each target:
//   persistent  keep-alive; a connection the server closes is opened again
//               with TLS session resumption
//   close       "Connection: close" and a new connection with a full
//               handshake for every poll, as the client sends today
// Each round: a ramp-up in which the desktops log in, a measured window, and
// after the persistent round a restart of the target, through which the
// whole fleet reconnects. The generator runs as several processes (the file
// limit binds each), the alert server as several on one PostgreSQL database
// when one cannot hold the connections.
//
//   bench_fleet [--desktops N] [--close-desktops N] [--mode persistent|close|both]
//               [--target alertserver|nginx|both] [--seconds S] [--ramp S (at least 30, 1 per 250 desktops)]
//               [--processes N] [--servers N] [--per-address N] [--timeout S]
//               [--storm on|off] [--storm-seconds S] [--storm-down S] [--key ec|rsa]
//               [--server-option OPTION]... [--smoke]
// Every option can also come from the environment: --close-desktops from
// FLEET_CLOSE_DESKTOPS, and so on. PostgreSQL: the cluster TVX_TEST_POSTGRES
// names (scripts/bench.sh starts one); without it, SQLite and one server.

#include "Fleet.h"
#include "Processes.h"
#include "Reply.h"
#include "Targets.h"
#include "Tls.h"

#include <libpq-fe.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>

using namespace fleet;
using namespace std::chrono_literals;

namespace {

struct Options
{
    int desktops = 20000;
    int closeDesktops = 2000;
    std::string mode = "both";
    std::string target = "both";
    double seconds = 30;
    double ramp = 0; // 0: at least 30 s, and long enough for kRampLogins a second
    double timeout = 30;
    int processes = 0; // generator processes; 0: as the file limit needs
    int servers = 0;   // alertserver processes; 0: as the file limit needs
    int perAddress = 1;
    bool storm = true;
    double stormSeconds = 60;
    double stormDown = 2;
    std::string key = "ec";
    std::vector<std::string> serverOptions;
    bool smoke = false;
    std::string alertserver = TVX_ALERTSERVER;
};

// Every login of the ramp-up is a full handshake on both sides; more of them
// a second than this would leave a two-core machine still logging desktops
// in when the window starts.
constexpr double kRampLogins = 250;

double rampSeconds(const Options &o, int desktops)
{
    return o.ramp > 0 ? o.ramp : std::max(30.0, desktops / kRampLogins);
}

void usage()
{
    std::fprintf(stderr,
                 "bench_fleet [--desktops N] [--close-desktops N] [--mode persistent|close|both]\n"
                 "            [--target alertserver|nginx|both] [--seconds S] [--ramp S] [--processes N]\n"
                 "            [--servers N] [--per-address N] [--timeout S] [--storm on|off]\n"
                 "            [--storm-seconds S] [--storm-down S] [--key ec|rsa] [--server-option OPTION]...\n"
                 "            [--alertserver PATH] [--smoke]\n"
                 "Options may also come from the environment: FLEET_DESKTOPS, FLEET_CLOSE_DESKTOPS, ...\n");
}

std::string envName(const std::string &option)
{
    std::string name = "FLEET_";
    for (char c : option.substr(2))
        name += c == '-' ? '_' : char(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

bool parse(int argc, char **argv, Options &o)
{
    std::map<std::string, std::string> given;
    static const char *const known[] = {"--desktops", "--close-desktops", "--mode", "--target", "--seconds",
                                        "--ramp", "--timeout", "--processes", "--servers", "--per-address",
                                        "--storm", "--storm-seconds", "--storm-down", "--key", "--alertserver"};
    for (const char *option : known)
        if (const char *value = std::getenv(envName(option).c_str()))
            given[option] = value;
    if (const char *smoke = std::getenv("FLEET_SMOKE"))
        o.smoke = std::strcmp(smoke, "0") != 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--smoke") {
            o.smoke = true;
        } else if (a == "--help" || a == "-h") {
            return false;
        } else if (a == "--server-option" && i + 1 < argc) {
            o.serverOptions.push_back(argv[++i]);
        } else if (std::find(std::begin(known), std::end(known), a) != std::end(known) && i + 1 < argc) {
            given[a] = argv[++i];
        } else {
            std::fprintf(stderr, "bench_fleet: unknown option or missing value: %s\n", a.c_str());
            return false;
        }
    }
    if (o.smoke) {
        // Everything once, briefly, on a small fleet: about 30 s.
        o.desktops = o.closeDesktops = 200;
        o.seconds = 3;
        o.ramp = 2;
        o.stormSeconds = 3;
        o.stormDown = 0.5;
    }
    try {
        for (const auto &[option, value] : given) {
            if (option == "--desktops") o.desktops = std::stoi(value);
            else if (option == "--close-desktops") o.closeDesktops = std::stoi(value);
            else if (option == "--mode") o.mode = value;
            else if (option == "--target") o.target = value;
            else if (option == "--seconds") o.seconds = std::stod(value);
            else if (option == "--ramp") o.ramp = std::stod(value);
            else if (option == "--timeout") o.timeout = std::stod(value);
            else if (option == "--processes") o.processes = std::stoi(value);
            else if (option == "--servers") o.servers = std::stoi(value);
            else if (option == "--per-address") o.perAddress = std::stoi(value);
            else if (option == "--storm") o.storm = value != "off";
            else if (option == "--storm-seconds") o.stormSeconds = std::stod(value);
            else if (option == "--storm-down") o.stormDown = std::stod(value);
            else if (option == "--key") o.key = value;
            else if (option == "--alertserver") o.alertserver = value;
        }
    } catch (const std::exception &) {
        std::fprintf(stderr, "bench_fleet: a number was expected\n");
        return false;
    }
    const auto oneOf = [](const std::string &v, std::initializer_list<const char *> allowed) {
        return std::any_of(allowed.begin(), allowed.end(), [&](const char *a) { return v == a; });
    };
    if (!oneOf(o.mode, {"persistent", "close", "both"}) || !oneOf(o.target, {"alertserver", "nginx", "both"})
        || !oneOf(o.key, {"ec", "rsa"}) || o.desktops < 1 || o.closeDesktops < 1 || o.perAddress < 1
        || o.seconds <= 0 || o.ramp < 0 || o.timeout <= 0) {
        std::fprintf(stderr, "bench_fleet: a value is out of range\n");
        return false;
    }
    return true;
}

// ---- the machine

long sysctlValue(const char *path)
{
    return std::atol(readFile(path).c_str());
}

std::string loadAverage()
{
    const std::string text = readFile("/proc/loadavg");
    size_t at = 0;
    for (int fields = 0; fields < 3 && at != std::string::npos; ++fields)
        at = text.find(' ', at + 1);
    return text.substr(0, at);
}

rlim_t raiseFileLimit()
{
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    return files.rlim_max;
}

// ---- the store

class Store
{
public:
    // A database of its own on the cluster, or an SQLite file.
    bool create(const std::string &folder, std::string *error)
    {
        const char *cluster = std::getenv("TVX_TEST_POSTGRES");
        if (!cluster || !*cluster) {
            location = folder + "/fleet.db";
            return true;
        }
        m_cluster = cluster;
        m_name = "tvx_fleet_" + std::to_string(::getpid());
        location = m_cluster + (m_cluster.find('?') == std::string::npos ? "?" : "&") + "dbname=" + m_name;
        return exec("CREATE DATABASE " + m_name, error);
    }
    ~Store()
    {
        if (!m_name.empty())
            exec("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)", nullptr);
    }
    bool postgres() const { return !m_name.empty(); }
    // The postmaster and its processes.
    std::vector<pid_t> processes() const
    {
        const char *dir = std::getenv("TVX_PG_DIR");
        const pid_t postmaster = dir ? pid_t(std::atol(readFile(std::string(dir) + "/data/postmaster.pid").c_str())) : 0;
        return postgres() && postmaster > 0 ? withChildren(postmaster) : std::vector<pid_t>{};
    }
    // Transactions the store's database has ended so far (every statement
    // outside a transaction counts as one), or -1.
    double transactions() const
    {
        if (!postgres())
            return -1;
        PGconn *c = PQconnectdb(location.c_str());
        PGresult *r = PQstatus(c) == CONNECTION_OK
            ? PQexec(c, "SELECT pg_stat_clear_snapshot(), xact_commit + xact_rollback FROM pg_stat_database "
                        "WHERE datname = current_database()")
            : nullptr;
        const double n = r && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atof(PQgetvalue(r, 0, 1)) : -1;
        PQclear(r);
        PQfinish(c);
        return n;
    }
    std::string location;

private:
    bool exec(const std::string &sql, std::string *error)
    {
        PGconn *c = PQconnectdb(m_cluster.c_str());
        PGresult *r = PQstatus(c) == CONNECTION_OK ? PQexec(c, sql.c_str()) : nullptr;
        const bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok && error)
            *error = "PostgreSQL: " + std::string(PQerrorMessage(c));
        PQclear(r);
        PQfinish(c);
        return ok;
    }
    std::string m_cluster, m_name;
};

// ---- setting up: users made through the server's own pages

constexpr char kAdmin[] = "fleetboss";
constexpr char kAdminPassword[] = "fleet boss secret";
constexpr uint32_t kSetupAddress = 127u << 24 | 1; // 127.0.0.1

std::string formRequest(const std::string &path, int port, const std::string &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
        + "\r\nAccept: */*\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string getRequest(const std::string &target, int port)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
        + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
}

struct Captured
{
    std::string contentType, statusBody, loginBody, statusHead;
};

// The administrator from the command line, then every user through the
// administrator pages as the wizard adds them; then desktop 0 logs in and
// polls once, and its replies are what nginx will answer.
bool seed(const Options &o, const Store &store, const std::string &folder, const std::string &cert,
          const std::string &key, int users, Captured &captured)
{
    std::filesystem::create_directories(folder);
    const std::string log = folder + "/seed.log";
    const pid_t admin = spawn({o.alertserver, "seed-admin", kAdmin, kAdminPassword, "boss@example.org", "--db",
                               store.location},
                              log);
    int status = 1;
    if (admin < 0 || ::waitpid(admin, &status, 0) != admin || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("  cannot seed the administrator:\n%s\n", tail(log).c_str());
        return false;
    }
    ServerSettings s;
    s.program = o.alertserver;
    s.folder = folder;
    s.database = store.location;
    s.certificate = cert;
    s.key = key;
    s.extra = o.serverOptions;
    AlertServers server(s);
    std::string error;
    if (!server.start(&error)) {
        std::printf("  %s\n", error.c_str());
        return false;
    }
    const int port = server.ports()[0];
    const Fetched login = fetch(port, kSetupAddress,
                                formRequest("/alertsystem/admin/login.php", port,
                                            std::string("username=") + kAdmin + "&password=fleet+boss+secret"));
    const std::string adminId(childText(login.body, 1));
    if (!login.error.empty() || childText(login.body, 0) != "LOGINOK" || adminId.empty()) {
        std::printf("  the administrator cannot log in: %s %s\n", login.error.c_str(), login.body.c_str());
        return false;
    }
    const auto began = Clock::now();
    std::atomic<int> next{0}, failed{0};
    std::vector<std::thread> adders;
    for (int t = 0; t < 8; ++t) {
        adders.emplace_back([&] {
            for (int n; (n = next++) < users;) {
                const std::string body = "username=" + userName(n) + "&password=" + kUserPassword
                    + "&lastname=Desk&firstname=Fleet&telnos=&email=&wirelessno=&serviceprovider=&mrgID=" + adminId;
                // A concurrent addition can run out of retries on the store;
                // a user that exists after a lost reply is there all the same.
                bool added = false;
                for (int attempt = 0; attempt < 5 && !added; ++attempt) {
                    const Fetched r = fetch(port, kSetupAddress, formRequest("/alertsystem/admin/adduser.php", port, body));
                    added = r.error.empty() && (childText(r.body, 0) == "USERADDED" || (attempt > 0 && childText(r.body, 0) == "CANOTADD"));
                }
                failed += !added;
            }
        });
    }
    for (auto &t : adders)
        t.join();
    const double took = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("  %d users added through admin/adduser.php in %.1f s (%.0f/s)%s\n", users, took, users / took,
                failed ? (", " + std::to_string(failed.load()) + " failed").c_str() : "");
    if (failed)
        return false;
    const uint32_t from = sourceAddress(0, o.perAddress);
    const Fetched userLogin = fetch(port, from,
                                    getRequest("/alertsystem/login.php?username=" + userName(0) + "&password="
                                                   + kUserPassword,
                                               port));
    const Fetched poll = fetch(port, from, getRequest("/alertsystem/status.php?username=" + userName(0), port));
    if (firstChildText(userLogin.body) != "1" || firstChildText(poll.body) != "0") {
        std::printf("  a desktop cannot log in and poll: %s%s / %s%s\n", userLogin.error.c_str(), userLogin.body.c_str(),
                    poll.error.c_str(), poll.body.c_str());
        return false;
    }
    captured.statusBody = poll.body;
    captured.loginBody = userLogin.body;
    captured.statusHead = poll.head;
    const size_t at = poll.head.find("Content-Type: ");
    captured.contentType = at == std::string::npos ? "text/xml" : poll.head.substr(at + 14, poll.head.find("\r\n", at) - at - 14);
    return true;
}

// ---- one round

struct Round
{
    std::string target, mode;
    int desktops = 0;
    bool ran = false;
    GeneratorResult all;
    double seconds = 0;
    double serverCpu = 0, storeCpu = 0;
    double storeTransactions = -1; // in the window
    long rssIdleKb = 0, rssEndKb = 0, peakKb = 0, connectionsEnd = 0;
    double offered = 0, answered = 0;
    double cpuPerPollUs() const { return answered > 0 ? serverCpu / (answered * seconds) * 1e6 : 0; }
    double storePerPollUs() const { return answered > 0 ? storeCpu / (answered * seconds) * 1e6 : 0; }
    // Only for a fleet that stays connected and is kept up with: otherwise
    // what is open at the end is a backlog, not the fleet.
    double rssPerConnectionKb() const
    {
        return held && mode == "persistent" && connectionsEnd > desktops / 2
            ? double(rssEndKb - rssIdleKb) / double(connectionsEnd)
            : -1;
    }
    bool clean = true;
    // Every poll answered, and the last one within an interval of the
    // window's end: the target kept up with the fleet.
    bool held = false;
};

// Nearest rank: the smallest latency that p % of the polls did not exceed.
double percentile(const std::vector<uint32_t> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1] / 1000.0;
}

void add(Counts &to, const Counts &from)
{
    for (int k = 0; k < kOutcomes; ++k)
        to[size_t(k)] += from[size_t(k)];
}

std::string failures(const Counts &c)
{
    std::string out;
    for (int k = 1; k < kOutcomes; ++k)
        if (c[size_t(k)])
            out += (out.empty() ? "" : ", ") + std::string(outcomeName(Outcome(k))) + " " + std::to_string(c[size_t(k)]);
    return out.empty() ? "none" : out;
}

uint64_t sum(const Counts &c, bool withAnswered)
{
    uint64_t n = 0;
    for (int k = withAnswered ? 0 : 1; k < kOutcomes; ++k)
        n += c[size_t(k)];
    return n;
}

struct Worker
{
    pid_t pid = -1;
    int socket = -1;
};

bool readAll(int fd, void *data, size_t size)
{
    auto *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool writeAll(int fd, const void *data, size_t size)
{
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

void tell(const std::vector<Worker> &workers, Control::Kind kind, int64_t atUs)
{
    Control c;
    c.kind = kind;
    c.atUs = atUs;
    for (const Worker &w : workers)
        writeAll(w.socket, &c, sizeof c);
}

void runRound(const Options &o, Target &target, const Store &store, bool persistent, int desktops, rlim_t files,
              Round &round)
{
    round.target = target.name();
    round.mode = persistent ? "persistent" : "close";
    round.desktops = desktops;
    const bool isServer = target.name() == "alertserver";
    std::printf("\n== %s, %s, %d desktops\n", target.name().c_str(),
                persistent ? "persistent connections (keep-alive; resumption when the server closes)"
                           : "a new connection and full handshake per poll (Connection: close)",
                desktops);
    std::string error;
    if (!target.start(&error)) {
        std::printf("   %s\n", error.c_str());
        round.clean = false;
        return;
    }
    std::this_thread::sleep_for(1s);
    round.rssIdleKb = statusKb(target.processes(), "VmRSS");
    const long fdsIdle = descriptors(target.processes());

    // Each generator process holds at most one descriptor per desktop.
    const int perProcess = int(files) - 256;
    const int count = std::max(o.processes, (desktops + perProcess - 1) / perProcess);
    std::printf("   %zu %s process%s on port%s", target.processes().size(), target.name().c_str(),
                target.processes().size() == 1 ? "" : "es", target.ports().size() == 1 ? "" : "s");
    for (int p : target.ports())
        std::printf(" %d", p);
    std::printf("; %d generator process%s of up to %d desktops (file limit %lu each)\n", count, count == 1 ? "" : "es",
                (desktops + count - 1) / count, (unsigned long)files);

    GeneratorPlan plan;
    plan.ports = target.ports();
    plan.persistent = persistent;
    plan.perAddress = o.perAddress;
    plan.rampUs = int64_t(rampSeconds(o, desktops) * 1e6);
    plan.windowUs = int64_t(o.seconds * 1e6);
    plan.timeoutUs = int64_t(o.timeout * 1e6);
    plan.storm = persistent && o.storm;
    plan.epoch = Clock::now() + 200ms;
    std::vector<Worker> workers;
    std::fflush(stdout);
    for (int w = 0; w < count; ++w) {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        plan.first = int(int64_t(desktops) * w / count);
        plan.count = int(int64_t(desktops) * (w + 1) / count) - plan.first;
        plan.seed = uint32_t(w + 1);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(pair[0]);
            for (const Worker &other : workers)
                ::close(other.socket);
            const std::string bytes = runGenerator(plan, pair[1]).serialize();
            const uint64_t size = bytes.size();
            const bool sent = writeAll(pair[1], &size, sizeof size) && writeAll(pair[1], bytes.data(), bytes.size());
            ::_exit(sent ? 0 : 1);
        }
        ::close(pair[1]);
        workers.push_back({pid, pair[0]});
    }

    const std::vector<pid_t> storeProcesses = store.processes();
    std::this_thread::sleep_until(plan.epoch + std::chrono::microseconds(plan.rampUs));
    const std::string loadBefore = loadAverage();
    const double cpuBefore = cpuSeconds(target.processes());
    const double storeBefore = isServer ? cpuSeconds(storeProcesses) : 0;
    const double transactionsBefore = isServer ? store.transactions() : -1;
    std::this_thread::sleep_until(plan.epoch + std::chrono::microseconds(plan.rampUs + plan.windowUs));
    round.serverCpu = cpuSeconds(target.processes()) - cpuBefore;
    round.storeCpu = isServer ? cpuSeconds(store.processes()) - storeBefore : 0;
    // Both counts lag by the second the cluster takes to report them.
    if (transactionsBefore >= 0)
        round.storeTransactions = store.transactions() - transactionsBefore;
    round.rssEndKb = statusKb(target.processes(), "VmRSS");
    round.peakKb = statusKb(target.processes(), "VmHWM");
    round.connectionsEnd = descriptors(target.processes()) - fdsIdle;
    const std::string loadAfter = loadAverage();

    // The restart: stop, a pause, start on the same ports; the desktops
    // find their connections gone and come back at their next poll.
    double stoppedAfter = 0, listeningAfter = 0, drainedAfter = 0;
    const auto since = [&](Clock::time_point t) { return std::chrono::duration<double>(t - plan.epoch).count(); };
    int64_t drainedUs = 0;
    for (const Worker &w : workers) {
        Control c;
        if (readAll(w.socket, &c, sizeof c) && c.kind == Control::Drained)
            drainedUs = std::max(drainedUs, c.atUs);
    }
    drainedAfter = double(drainedUs - plan.rampUs - plan.windowUs) / 1e6;
    if (plan.storm) {
        const auto stopAt = Clock::now();
        tell(workers, Control::ServerStopping, int64_t(since(stopAt) * 1e6));
        target.stop();
        stoppedAfter = std::chrono::duration<double>(Clock::now() - stopAt).count();
        std::this_thread::sleep_for(std::chrono::duration<double>(o.stormDown));
        if (!target.start(&error)) {
            std::printf("   the restart failed: %s\n", error.c_str());
            round.clean = false;
        }
        listeningAfter = std::chrono::duration<double>(Clock::now() - stopAt).count();
        std::this_thread::sleep_until(stopAt + std::chrono::duration<double>(o.stormDown + o.stormSeconds));
    }
    tell(workers, Control::Finish, 0);

    for (const Worker &w : workers) {
        uint64_t size = 0;
        std::string bytes;
        GeneratorResult r;
        if (readAll(w.socket, &size, sizeof size)) {
            bytes.resize(size);
            if (!readAll(w.socket, bytes.data(), size))
                bytes.clear();
        }
        int status = 0;
        ::waitpid(w.pid, &status, 0);
        ::close(w.socket);
        if (!r.deserialize(bytes)) {
            std::printf("   a generator process failed (status %d)\n", status);
            round.clean = false;
            continue;
        }
        GeneratorResult &all = round.all;
        add(all.polls, r.polls);
        add(all.logins, r.logins);
        all.connectsInWindow += r.connectsInWindow;
        all.fullHandshakes += r.fullHandshakes;
        all.resumedHandshakes += r.resumedHandshakes;
        all.openAtWindowEnd += r.openAtWindowEnd;
        all.missedSlots += r.missedSlots;
        all.cpuUser += r.cpuUser;
        all.cpuSystem += r.cpuSystem;
        all.peakRssKb += r.peakRssKb;
        if (all.tls.empty())
            all.tls = r.tls;
        all.latencyUs.insert(all.latencyUs.end(), r.latencyUs.begin(), r.latencyUs.end());
        all.recoveredUs.insert(all.recoveredUs.end(), r.recoveredUs.begin(), r.recoveredUs.end());
        if (all.stormFailures.size() < r.stormFailures.size())
            all.stormFailures.resize(r.stormFailures.size(), Counts{});
        for (size_t b = 0; b < r.stormFailures.size(); ++b)
            add(all.stormFailures[b], r.stormFailures[b]);
    }
    target.stop();
    round.ran = true;

    // ---- the figures
    GeneratorResult &all = round.all;
    std::sort(all.latencyUs.begin(), all.latencyUs.end());
    round.seconds = o.seconds;
    round.offered = double(sum(all.polls, true)) / o.seconds;
    round.answered = double(all.polls[0]) / o.seconds;
    round.held = sum(all.polls, false) == 0 && all.polls[0] > 0 && drainedAfter * 1e6 <= double(plan.intervalUs);
    std::printf("   load average %s before the window, %s after it; %s\n", loadBefore.c_str(), loadAfter.c_str(),
                all.tls.c_str());
    std::printf("   polls/s   offered %.0f   answered %.0f   (%.0f expected: %d desktops every %.0f s)\n",
                round.offered, round.answered, desktops / (plan.intervalUs / 1e6), desktops, plan.intervalUs / 1e6);
    std::printf("   latency   p50 %.2f ms   p99 %.2f ms   max %.2f ms   (from the moment each poll was due; the "
                "last ended %.2f s after the window)\n",
                percentile(all.latencyUs, 50), percentile(all.latencyUs, 99), percentile(all.latencyUs, 100),
                drainedAfter);
    std::printf("   errors    %s", failures(all.polls).c_str());
    if (all.missedSlots)
        std::printf(" (%lu of them polls not sent while a failed one was out)", (unsigned long)all.missedSlots);
    std::printf("\n");
    std::printf("   logins    %lu answered 1; failed: %s\n", (unsigned long)all.logins[0], failures(all.logins).c_str());
    std::printf("   connections opened in the window %lu (%lu full handshakes, %lu resumed); open at its end: %lu "
                "desktops, %ld on the server's side\n",
                (unsigned long)all.connectsInWindow, (unsigned long)all.fullHandshakes,
                (unsigned long)all.resumedHandshakes, (unsigned long)all.openAtWindowEnd, round.connectionsEnd);
    std::printf("   %s CPU %.0f %% of a core, %.1f us per answered poll\n", target.name().c_str(),
                100 * round.serverCpu / o.seconds, round.cpuPerPollUs());
    if (isServer && store.postgres())
        std::printf("   postgres CPU %.0f %% of a core, %.1f us per answered poll (%.1f us with the server)\n",
                    100 * round.storeCpu / o.seconds, round.storePerPollUs(), round.cpuPerPollUs() + round.storePerPollUs());
    if (round.storeTransactions >= 0 && round.answered > 0)
        std::printf("   postgres  %.3f transactions per answered poll (%.0f in the window, statements outside one included)\n",
                    round.storeTransactions / (round.answered * o.seconds), round.storeTransactions);
    std::printf("   %s RSS %.1f MB idle, %.1f MB at the window's end, peak %.1f MB", target.name().c_str(),
                round.rssIdleKb / 1024.0, round.rssEndKb / 1024.0, round.peakKb / 1024.0);
    if (round.rssPerConnectionKb() >= 0)
        std::printf("; %.1f KB per open connection\n", round.rssPerConnectionKb());
    else
        std::printf("; per connection: not measured, %ld connections open at the end\n", round.connectionsEnd);
    std::printf("   generator CPU %.0f %% of a core (user %.1f s, system %.1f s), peak RSS %.1f MB over its processes\n",
                100 * (all.cpuUser + all.cpuSystem) / o.seconds, all.cpuUser, all.cpuSystem, all.peakRssKb / 1024.0);
    round.clean = round.clean && sum(all.polls, false) == 0 && sum(all.logins, false) == 0 && all.polls[0] > 0;
    if (!round.held)
        std::printf("   => did not keep up with this fleet\n");

    if (plan.storm) {
        std::vector<int64_t> back;
        for (int64_t us : all.recoveredUs)
            if (us >= 0)
                back.push_back(us);
        std::sort(back.begin(), back.end());
        const size_t need = size_t(std::ceil(0.99 * desktops));
        std::printf("   restart   when the window's last poll had ended: stopped %.2f s after SIGTERM, listening "
                    "again after %.2f s (%.1f s pause)\n",
                    stoppedAfter, listeningAfter, o.stormDown);
        Counts meanwhile{};
        double until = o.stormDown + o.stormSeconds;
        if (back.size() >= need && need > 0) {
            until = back[need - 1] / 1e6;
            std::printf("             99 %% of the desktops polling again %.2f s after the stop (%.2f s after it "
                        "listened); all %zu that came back by %.2f s\n",
                        until, until - listeningAfter, back.size(), back.empty() ? 0.0 : back.back() / 1e6);
        } else {
            std::printf("             only %zu of %d desktops (%.1f %%) polling again within %.0f s\n", back.size(),
                        desktops, 100.0 * double(back.size()) / desktops, o.stormDown + o.stormSeconds);
            round.clean = false;
        }
        for (size_t b = 0; b < all.stormFailures.size() && double(b) * kStormBucketUs / 1e6 <= until; ++b)
            add(meanwhile, all.stormFailures[b]);
        std::printf("             requests failed meanwhile: %s\n", failures(meanwhile).c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const rlim_t files = raiseFileLimit();
    const long portsLow = sysctlValue("/proc/sys/net/ipv4/ip_local_port_range");
    const std::string range = readFile("/proc/sys/net/ipv4/ip_local_port_range");
    const long portsHigh = std::atol(range.substr(range.find_first_of(" \t") + 1).c_str());
    const int largest = std::max(o.mode != "close" ? o.desktops : 0, o.mode != "persistent" ? o.closeDesktops : 0);
    const int addresses = (largest + o.perAddress - 1) / o.perAddress;
    std::printf("fleet: %d desktops with persistent connections, %d with a new connection per poll; polls every 2 s, "
                "%.0f s and %.0f s ramp-up, %.0f s measured%s\n",
                o.desktops, o.closeDesktops, rampSeconds(o, o.desktops), rampSeconds(o, o.closeDesktops), o.seconds,
                o.smoke ? " (smoke run)" : "");
    std::printf("machine: %u cores, load average %s\n", std::thread::hardware_concurrency(), loadAverage().c_str());
    std::printf("limits: open files %lu per process (the hard limit; soft raised to it), fs.file-max %ld, "
                "fs.nr_open %ld\n",
                (unsigned long)files, sysctlValue("/proc/sys/fs/file-max"), sysctlValue("/proc/sys/fs/nr_open"));
    std::printf("        ephemeral ports %ld-%ld: %ld per source address and server port; %d desktop%s per source "
                "address, %d addresses from 127.1.0.1\n",
                portsLow, portsHigh, portsHigh - portsLow + 1, o.perAddress, o.perAddress == 1 ? "" : "s", addresses);
    std::printf("        listen queues: net.core.somaxconn %ld, tcp_max_syn_backlog %ld",
                sysctlValue("/proc/sys/net/core/somaxconn"), sysctlValue("/proc/sys/net/ipv4/tcp_max_syn_backlog"));
    if (std::filesystem::exists("/proc/sys/net/netfilter/nf_conntrack_max"))
        std::printf("; connection tracking %ld of %ld entries", sysctlValue("/proc/sys/net/netfilter/nf_conntrack_count"),
                    sysctlValue("/proc/sys/net/netfilter/nf_conntrack_max"));
    std::printf("\n");
    // A new connection per poll leaves the server's side in TIME_WAIT for a
    // minute: a source address's desktops must not use up its ports in that
    // time.
    if (o.mode != "persistent" && o.perAddress * 60 / 2 > portsHigh - portsLow) {
        std::printf("fleet: %d desktops per address would run out of ports with a connection per poll\n", o.perAddress);
        return 2;
    }

    char folderTemplate[] = "/tmp/tvx-fleet.XXXXXX";
    if (!::mkdtemp(folderTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = folderTemplate;
    // FLEET_KEEP=1 keeps the folder (logs, configurations) for a look afterwards.
    const bool keep = std::getenv("FLEET_KEEP") && std::strcmp(std::getenv("FLEET_KEEP"), "0") != 0;
    struct Cleanup
    {
        std::string folder;
        bool keep;
        ~Cleanup()
        {
            if (keep)
                std::printf("the run's folder stays: %s\n", folder.c_str());
            else
                std::filesystem::remove_all(folder);
        }
    } cleanup{folder, keep};
    const std::string cert = folder + "/cert.pem", key = folder + "/key.pem";
    std::string error;
    if (!makeCertificate(cert, key, o.key == "rsa", &error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }
    const bool wantServer = o.target != "nginx", wantNginx = o.target != "alertserver";
    const std::string nginx = findNginx();
    if (wantNginx && nginx.empty())
        std::printf("nginx is not installed: the baseline is left out (scripts/setup.sh installs it)\n");

    Store store;
    if (!store.create(folder, &error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }
    std::printf("store: %s; key: %s\n",
                store.postgres() ? "PostgreSQL (a database of its own on TVX_TEST_POSTGRES's cluster)" : "SQLite",
                o.key == "rsa" ? "RSA 2048" : "ECDSA P-256");
    Captured captured;
    std::printf("setting up:\n");
    if (!seed(o, store, folder + "/seed", cert, key, wantServer ? largest : 1, captured))
        return 1;
    std::printf("  a poll's reply, which nginx answers too: %zu bytes of body, %s\n", captured.statusBody.size(),
                captured.contentType.c_str());

    std::vector<Round> rounds;
    for (const std::string &t : {std::string("alertserver"), std::string("nginx")}) {
        if ((t == "alertserver" && !wantServer) || (t == "nginx" && (!wantNginx || nginx.empty())))
            continue;
        for (const bool persistent : {true, false}) {
            if ((persistent && o.mode == "close") || (!persistent && o.mode == "persistent"))
                continue;
            const int desktops = persistent ? o.desktops : o.closeDesktops;
            std::unique_ptr<Target> target;
            if (t == "alertserver") {
                ServerSettings s;
                s.program = o.alertserver;
                s.folder = folder + "/" + (persistent ? "persistent" : "close");
                std::filesystem::create_directories(s.folder);
                s.database = store.location;
                s.certificate = cert;
                s.key = key;
                // One process holds as many connections as its file limit
                // allows, less its own files.
                const int holds = int(files) - 500;
                s.processes = o.servers > 0 ? o.servers : persistent ? (desktops + holds - 1) / holds : 1;
                s.maxConnections = holds;
                s.maxPerAddress = std::max(100, 2 * o.perAddress);
                s.extra = o.serverOptions;
                if (s.processes > 1 && !store.postgres()) {
                    std::printf("\n== alertserver: %d desktops need %d processes, which share a store only on "
                                "PostgreSQL (run through scripts/bench.sh fleet)\n",
                                desktops, s.processes);
                    continue;
                }
                target = std::make_unique<AlertServers>(s);
            } else {
                NginxSettings s;
                s.program = nginx;
                s.folder = folder + "/nginx-" + (persistent ? "persistent" : "close");
                s.certificate = cert;
                s.key = key;
                s.workers = int(std::max(1u, std::thread::hardware_concurrency()));
                s.files = int(files);
                s.contentType = captured.contentType;
                s.statusBody = captured.statusBody;
                s.loginBody = captured.loginBody;
                target = std::make_unique<Nginx>(s);
            }
            rounds.emplace_back();
            runRound(o, *target, store, persistent, desktops, files, rounds.back());
        }
    }

    std::printf("\n== alertserver against nginx, same fleet, same run\n");
    for (const char *mode : {"persistent", "close"}) {
        const Round *server = nullptr, *bare = nullptr;
        for (const Round &r : rounds)
            if (r.ran && r.mode == mode)
                (r.target == "nginx" ? bare : server) = &r;
        if (!server || !bare)
            continue;
        if (!server->held || !bare->held) {
            std::printf("   %-10s  not compared: %s with %d desktops\n", mode,
                        !server->held && !bare->held ? "neither kept up"
                            : !server->held          ? "the alertserver did not keep up"
                                                     : "nginx did not keep up",
                        server->desktops);
            continue;
        }
        std::printf("   %-10s  CPU per answered poll %.2f x (%.2f x with postgres)", mode,
                    bare->cpuPerPollUs() > 0 ? server->cpuPerPollUs() / bare->cpuPerPollUs() : 0.0,
                    bare->cpuPerPollUs() > 0 ? (server->cpuPerPollUs() + server->storePerPollUs()) / bare->cpuPerPollUs()
                                             : 0.0);
        if (server->rssPerConnectionKb() > 0 && bare->rssPerConnectionKb() > 0)
            std::printf("; RSS per connection %.2f x", server->rssPerConnectionKb() / bare->rssPerConnectionKb());
        std::printf("; answered polls %.2f x\n", bare->answered > 0 ? server->answered / bare->answered : 0.0);
    }
    bool clean = true;
    for (const Round &r : rounds)
        clean = clean && r.clean;
    if (o.smoke)
        std::printf("\nsmoke run: %s\n", clean ? "every poll and login answered, every restart came through" : "FAILED");
    return o.smoke && !clean ? 1 : 0;
}
