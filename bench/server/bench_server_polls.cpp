// The alert server program under the load the clients put on it, and under
// attack. The built alertserver runs as a process of its own on loopback, so
// its memory and processor time are its own. Each status poll is a new
// connection with "Connection: close", as the clients send it.
//
// Rounds, each against a fresh server on one seeded store:
//   paced   polls on a fixed schedule (as 10,000 clients polling every 2 s
//           send 5,000 a second) while other callers keep connections open
//           and drip one byte a second; latency counts from when a poll was due
//   attacks peak server memory while callers ask for a picture with hundreds
//           of Range lines and send endless header lines
//   http    polls as fast as the clients can send them
//   https   the same over TLS, every poll a full handshake (RSA and ECDSA keys)
//
//   bench_server_polls [--clients N] [--seconds S] [--users N] [--threads N]
//                      [--rate N] [--drippers N] [--alerts-per-second N]
//                      [--only paced|attacks|http|https]

#include "server/store/Store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

struct Options
{
    int clients = 64;
    double seconds = 5;
    int users = 10000;
    int threads = 0; // the server's default
    int alertsPerSecond = 50;
    double rate = 5000;
    int drippers = 100;
    QString only;
};

// The server program as a process, with its figures from /proc.
class ServerUnderTest
{
public:
    bool start(const QString &folder, const QString &db, const Options &o, const QStringList &extra)
    {
        const QString portFile = QDir(folder).filePath(QStringLiteral("port"));
        QFile::remove(portFile);
        QStringList args{QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                         QStringLiteral("--port-file"), portFile, QStringLiteral("--db"), db,
                         QStringLiteral("--outbox"), QDir(folder).filePath(QStringLiteral("outbox")),
                         QStringLiteral("--skins"), QDir(folder).filePath(QStringLiteral("skins"))};
        if (o.threads > 0)
            args << QStringLiteral("--threads") << QString::number(o.threads);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(TVX_ALERTSERVER), args + extra);
        for (int i = 0; i < 1000 && m_process.state() != QProcess::NotRunning; ++i) {
            QFile f(portFile);
            if (f.open(QIODevice::ReadOnly) && (m_port = f.readAll().trimmed().toInt()) > 0)
                return true;
            m_process.waitForFinished(10);
        }
        return false;
    }
    ~ServerUnderTest()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), SIGTERM);
            if (!m_process.waitForFinished(15000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    int port() const { return m_port; }
    // A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS").
    long statusKb(const char *field) const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray prefix = QByteArray(field) + ':';
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith(prefix))
                return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
        return -1;
    }
    // User and system processor time so far, in seconds.
    double cpuSeconds() const
    {
        QFile f(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray stat = f.readAll();
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return double(fields.value(11).toLong() + fields.value(12).toLong()) / double(::sysconf(_SC_CLK_TCK));
    }

private:
    QProcess m_process;
    int m_port = 0;
};

int connectFrom(uint32_t from, int port, int receiveTimeoutS)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{receiveTimeoutS, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (from != INADDR_LOOPBACK) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from);
        ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The status digit of a whole reply, or -1.
int statusDigit(const std::string &reply, bool complete)
{
    const size_t at = reply.find("<answer>");
    if (complete && reply.rfind("HTTP/1.1 200", 0) == 0 && at != std::string::npos && at + 8 < reply.size())
        return reply[at + 8] - '0';
    return -1;
}

// One poll: connect, send, read to the end. Answers the status digit or -1.
int poll(int port, const std::string &request)
{
    const int fd = connectFrom(INADDR_LOOPBACK, port, 10);
    if (fd < 0)
        return -1;
    int status = -1;
    if (sendAll(fd, request.data(), request.size())) {
        std::string reply;
        char buffer[2048];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, size_t(n));
        status = statusDigit(reply, n == 0);
    }
    ::close(fd);
    return status;
}

// The same over TLS, a full handshake each time (no session is kept).
int pollTls(SSL_CTX *ctx, int port, const std::string &request)
{
    const int fd = connectFrom(INADDR_LOOPBACK, port, 10);
    if (fd < 0)
        return -1;
    int status = -1;
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), int(request.size())) == int(request.size())) {
        std::string reply;
        char buffer[2048];
        int n;
        while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
            reply.append(buffer, size_t(n));
        const int why = SSL_get_error(ssl, n);
        // A server that closes without close_notify still ended the reply.
        status = statusDigit(reply, why == SSL_ERROR_ZERO_RETURN || why == SSL_ERROR_SYSCALL);
    }
    SSL_free(ssl);
    ::close(fd);
    ERR_clear_error();
    return status;
}

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())))];
}

// Callers that keep a request open and send one byte of it a second, each
// from an address of its own; whoever is hung up on comes back.
class Drippers
{
public:
    Drippers(int port, int count) : m_port(port)
    {
        if (count > 0)
            m_thread = std::thread([this, count] { run(count); });
    }
    ~Drippers()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int open() const { return m_open; }
    long reconnects() const { return m_reconnects; }

private:
    int connectOne(int i)
    {
        const int fd = connectFrom((127u << 24) | (1u << 8) | uint32_t(1 + i % 250), m_port, 1);
        static const char start[] = "GET /alertsystem/status.php?username=user1 HTTP/1.1\r\nHost: a\r\nX-Pad: ";
        if (fd >= 0 && !sendAll(fd, start, sizeof start - 1)) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    void run(int count)
    {
        std::vector<int> fds(size_t(count), -1);
        while (!m_stop) {
            int open = 0;
            for (int i = 0; i < count; ++i) {
                int &fd = fds[size_t(i)];
                char byte;
                // Hung up on (or never connected): connect again.
                if (fd >= 0 && (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || !sendAll(fd, "a", 1))) {
                    ::close(fd);
                    fd = -1;
                    ++m_reconnects;
                }
                if (fd < 0)
                    fd = connectOne(i);
                open += fd >= 0;
            }
            m_open = open;
            for (int i = 0; i < 10 && !m_stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }

    const int m_port;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_open{0};
    std::atomic<long> m_reconnects{0};
    std::thread m_thread;
};

struct PollFigures
{
    std::vector<double> latenciesMs;
    long errors = 0;
    long ones = 0;
    double elapsed = 0;
};

// Polls from `clients` threads until `seconds` have passed; paced when rate > 0.
PollFigures runPolls(const Options &o, int port, SSL_CTX *tls, double rate)
{
    std::vector<PollFigures> results(size_t(o.clients));
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    for (int c = 0; c < o.clients; ++c) {
        clients.emplace_back([&, c] {
            PollFigures &r = results[size_t(c)];
            int user = c;
            const bool paced = rate > 0;
            const auto interval = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(paced ? o.clients / rate : 0.0));
            auto due = start + interval * c / o.clients;
            while (Clock::now() < deadline) {
                if (paced)
                    std::this_thread::sleep_until(due);
                const std::string request = "GET /alertsystem/status.php?username=user" + std::to_string(user)
                    + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
                user = (user + o.clients) % o.users;
                const auto t0 = paced ? due : Clock::now();
                due += interval;
                const int s = tls ? pollTls(tls, port, request) : poll(port, request);
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
    PollFigures all;
    all.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto &r : results) {
        all.latenciesMs.insert(all.latenciesMs.end(), r.latenciesMs.begin(), r.latenciesMs.end());
        all.errors += r.errors;
        all.ones += r.ones;
    }
    std::sort(all.latenciesMs.begin(), all.latenciesMs.end());
    return all;
}

void printPolls(const PollFigures &f, double serverCpu)
{
    const auto &l = f.latenciesMs;
    std::printf("  polls answered  %zu in %.2f s, errors %ld, status 1 seen %ld\n", l.size(), f.elapsed, f.errors, f.ones);
    std::printf("  polls/s         %.0f\n", double(l.size()) / f.elapsed);
    std::printf("  latency ms      p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", percentile(l, 50), percentile(l, 90),
                percentile(l, 99), l.empty() ? 0.0 : l.back());
    if (!l.empty())
        std::printf("  server cpu      %.2f s, %.0f us per poll\n", serverCpu, serverCpu * 1e6 / double(l.size()));
}

// Sends `head` (repeating `filler` up to `fillerBytes` after it, then an empty
// line) and reads the reply to its end. Answers the reply's first line and
// how many bytes came back.
std::pair<std::string, long> attack(int port, const std::string &head, const std::string &filler, long fillerBytes)
{
    const int fd = connectFrom(INADDR_LOOPBACK, port, 30);
    if (fd < 0)
        return {"connect failed", 0};
    bool sent = sendAll(fd, head.data(), head.size());
    std::string block;
    while (!filler.empty() && block.size() < 64 * 1024)
        block += filler;
    for (long done = 0; sent && done < fillerBytes; done += long(block.size()))
        sent = sendAll(fd, block.data(), block.size());
    if (sent)
        sendAll(fd, "\r\n", 2);
    std::string first;
    long received = 0;
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        if (first.size() < 200)
            first.append(buffer, size_t(std::min<ssize_t>(n, 200)));
        received += n;
    }
    ::close(fd);
    return {first.substr(0, first.find('\r')), received};
}

bool makeCertificate(const QString &folder, const QString &kind)
{
    QStringList key = kind == QLatin1String("rsa") ? QStringList{QStringLiteral("-newkey"), QStringLiteral("rsa:2048")}
                                                   : QStringList{QStringLiteral("-newkey"), QStringLiteral("ec"),
                                                                 QStringLiteral("-pkeyopt"),
                                                                 QStringLiteral("ec_paramgen_curve:prime256v1")};
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-nodes")}
                                           + key
                                           + QStringList{QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                                         QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                                                         QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"),
                                                         QDir(folder).filePath(kind + QStringLiteral(".key")), QStringLiteral("-out"),
                                                         QDir(folder).filePath(kind + QStringLiteral(".crt"))});
    const bool made = p.waitForFinished(60000) && p.exitCode() == 0;
    if (!made)
        std::fprintf(stderr, "%s", p.readAll().constData());
    return made;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &k = args[i];
        const QString v = args[i + 1];
        if (k == QLatin1String("--clients"))
            o.clients = std::clamp(v.toInt(), 1, 1024);
        else if (k == QLatin1String("--seconds"))
            o.seconds = std::clamp(v.toDouble(), 0.5, 120.0);
        else if (k == QLatin1String("--users"))
            o.users = std::clamp(v.toInt(), 1, alertserver::Store::kMaxId);
        else if (k == QLatin1String("--threads"))
            o.threads = std::clamp(v.toInt(), 1, 256);
        else if (k == QLatin1String("--rate"))
            o.rate = std::clamp(v.toDouble(), 1.0, 100000.0);
        else if (k == QLatin1String("--drippers"))
            o.drippers = std::clamp(v.toInt(), 0, 1000);
        else if (k == QLatin1String("--alerts-per-second"))
            o.alertsPerSecond = std::clamp(v.toInt(), 0, 10000);
        else if (k == QLatin1String("--only"))
            o.only = v;
    }
    auto wanted = [&](const char *round) { return o.only.isEmpty() || o.only == QLatin1String(round); };

    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("bench.db"));
    alertserver::Store store(db);
    // Users, all logged in, as a server with that many clients would have.
    const auto seedStart = Clock::now();
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("bench");
    reg.password = QStringLiteral("bench");
    reg.email = QStringLiteral("bench@example.com");
    const int admin = store.admins().registerAdmin(reg).id;
    store.admins().activateByName(reg.username);
    for (int i = 0; i < o.users; ++i) {
        alertserver::UserFields u;
        u.username = QStringLiteral("user%1").arg(i);
        u.password = QStringLiteral("pw");
        store.users().add(admin, u);
        store.sessions().login(u.username, u.password, QStringLiteral("127.0.0.1"));
    }
    std::printf("alert server (the built program) on loopback, %u cores, %d users (seeded in %.1f s)\n",
                std::thread::hardware_concurrency(), o.users,
                std::chrono::duration<double>(Clock::now() - seedStart).count());
    std::printf("  %d client threads, one connection per poll, %d alerts raised a second meanwhile\n", o.clients,
                o.alertsPerSecond);
    std::fflush(stdout);

    // Alerts keep arriving while the polls run, as `alertserver alert` adds them.
    std::atomic<bool> stop{false};
    std::thread alerter([&] {
        if (o.alertsPerSecond == 0)
            return;
        alertserver::Store writer(db);
        std::mt19937 random(7);
        const auto period = std::chrono::microseconds(1000000 / o.alertsPerSecond);
        auto next = Clock::now();
        while (!stop) {
            writer.sessions().raise(QStringLiteral("user%1").arg(random() % unsigned(o.users)), QStringLiteral("bench alert"));
            next += period;
            std::this_thread::sleep_until(next);
        }
    });
    int failures = 0;

    if (wanted("paced")) {
        ServerUnderTest server;
        if (!server.start(dir.path(), db, o, {}))
            return std::fprintf(stderr, "the server did not start\n"), 1;
        Drippers drippers(server.port(), o.drippers);
        for (int i = 0; i < 50 && drippers.open() < o.drippers; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int openAtStart = drippers.open();
        const double cpu0 = server.cpuSeconds();
        const PollFigures f = runPolls(o, server.port(), nullptr, o.rate);
        std::printf("=== paced at %.0f polls/s, %d connections open dripping a byte a second (%d open at the start, "
                    "%ld hung up on and back)   aim: p99 < 20 ms, no errors\n",
                    o.rate, o.drippers, openAtStart, drippers.reconnects());
        printPolls(f, server.cpuSeconds() - cpu0);
        failures += f.errors > 0 || percentile(f.latenciesMs, 99) >= 20;
        std::fflush(stdout);
    }

    if (wanted("attacks")) {
        ServerUnderTest server;
        if (!server.start(dir.path(), db, o, {}))
            return std::fprintf(stderr, "the server did not start\n"), 1;
        const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
        const std::string poll1 = "GET /alertsystem/status.php?username=user1 HTTP/1.1\r\n" + host + "\r\n";
        poll(server.port(), poll1);
        const long before = server.statusKb("VmHWM");
        // The skin's background, the largest of its pictures, asked for 850
        // times over in one Range line (7.7 kB).
        std::string range = "GET /alertsystem/skins/1/background.bmp HTTP/1.1\r\n" + host + "Range: bytes=0-288178";
        for (int i = 1; i < 850; ++i)
            range += ",0-288178";
        range += "\r\n";
        const std::string flood = "GET /alertsystem/status.php?username=user1 HTTP/1.1\r\n" + host;
        // Four callers of each kind at once: first the Range callers, then the
        // floods, so that the peak after each shows what each costs.
        auto fourAtOnce = [&](auto call) {
            std::vector<std::thread> callers;
            std::vector<std::pair<std::string, long>> replies(4);
            for (size_t i = 0; i < replies.size(); ++i)
                callers.emplace_back([&, i] { replies[i] = call(); });
            for (auto &t : callers)
                t.join();
            return replies.front();
        };
        const auto ranged = fourAtOnce([&] { return attack(server.port(), range, {}, 0); });
        const long afterRange = server.statusKb("VmHWM");
        const auto flooded = fourAtOnce([&] { return attack(server.port(), flood, "X-A: aaaa\r\n", 17L * 1000 * 1000); });
        const bool stillServing = poll(server.port(), poll1) >= 0;
        const long peak = server.statusKb("VmHWM");
        std::printf("=== attacks: 4 callers asking for a picture 850 times in one Range line, then 4 sending 17 MB of "
                    "header lines   aim: peak < 100 MB\n");
        std::printf("  Range reply     %s, %ld bytes\n", ranged.first.c_str(), ranged.second);
        std::printf("  flood reply     %s, %ld bytes\n", flooded.first.empty() ? "(hung up)" : flooded.first.c_str(),
                    flooded.second);
        std::printf("  server peak     %.1f MB before, %.1f MB after the Range callers, %.1f MB after the floods; "
                    "polls answered afterwards: %s\n",
                    double(before) / 1024, double(afterRange) / 1024, double(peak) / 1024, stillServing ? "yes" : "NO");
        failures += peak >= 100 * 1024 || !stillServing;
        std::fflush(stdout);
    }

    if (wanted("http")) {
        ServerUnderTest server;
        if (!server.start(dir.path(), db, o, {}))
            return std::fprintf(stderr, "the server did not start\n"), 1;
        const double cpu0 = server.cpuSeconds();
        const PollFigures f = runPolls(o, server.port(), nullptr, 0);
        std::printf("=== http, as fast as the clients can poll\n");
        printPolls(f, server.cpuSeconds() - cpu0);
        failures += f.errors > 0;
        std::fflush(stdout);
    }

    if (wanted("https")) {
        SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        for (const QString &kind : {QStringLiteral("rsa"), QStringLiteral("ec")}) {
            if (!makeCertificate(dir.path(), kind))
                return std::fprintf(stderr, "openssl could not make a certificate\n"), 1;
            ServerUnderTest server;
            const QStringList tls{QStringLiteral("--tls-cert"), dir.filePath(kind + QStringLiteral(".crt")),
                                  QStringLiteral("--tls-key"), dir.filePath(kind + QStringLiteral(".key"))};
            std::printf("=== https (%s), as fast as the clients can poll, a full handshake every poll\n",
                        kind == QLatin1String("rsa") ? "RSA 2048" : "ECDSA P-256");
            if (!server.start(dir.path(), db, o, tls)) {
                std::printf("  this server does not serve https\n");
                break;
            }
            const double cpu0 = server.cpuSeconds();
            const PollFigures f = runPolls(o, server.port(), ctx, 0);
            printPolls(f, server.cpuSeconds() - cpu0);
            failures += f.errors > 0;
            std::fflush(stdout);
        }
        SSL_CTX_free(ctx);
    }
    stop = true;
    alerter.join();
    return failures == 0 ? 0 : 1;
}
