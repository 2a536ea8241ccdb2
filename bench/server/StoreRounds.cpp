#include "StoreRounds.h"

#include "Polling.h"

#include "server/store/Database.h"
#include "server/store/Store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// ---- what /proc says of a process

double cpuSecondsOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLong() + fields.value(12).toLong()) / double(::sysconf(_SC_CLK_TCK));
}

qint64 parentOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

// A "Field:   123 kB" line of a /proc file, in kB.
long kbOf(qint64 pid, const char *file, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    return 0;
}

double ownCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The PostgreSQL cluster of the run (scripts/pg-cluster.sh): its postmaster
// and every process it started, counted together.
class Cluster
{
public:
    Cluster()
    {
        QFile pidFile(qEnvironmentVariable("TVX_PG_DIR") + QStringLiteral("/data/postmaster.pid"));
        if (pidFile.open(QIODevice::ReadOnly))
            m_postmaster = pidFile.readLine().trimmed().toLongLong();
    }
    bool measurable() const { return m_postmaster > 0; }
    std::map<qint64, double> cpu() const
    {
        std::map<qint64, double> out;
        for (qint64 pid : processes())
            out[pid] = cpuSecondsOf(pid);
        return out;
    }
    // Shared memory counted once, in shares (PSS), over every process.
    long pssKb() const
    {
        long kb = 0;
        for (qint64 pid : processes())
            kb += kbOf(pid, "smaps_rollup", "Pss");
        return kb;
    }

private:
    QList<qint64> processes() const
    {
        QList<qint64> out;
        if (!m_postmaster)
            return out;
        out << m_postmaster;
        for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool number = false;
            const qint64 pid = name.toLongLong(&number);
            if (number && parentOf(pid) == m_postmaster)
                out << pid;
        }
        return out;
    }

    qint64 m_postmaster = 0;
};

double cpuSince(const std::map<qint64, double> &before, const std::map<qint64, double> &after)
{
    double total = 0;
    for (const auto &[pid, seconds] : after) {
        const auto it = before.find(pid);
        total += seconds - (it == before.end() ? 0.0 : it->second);
    }
    return total;
}

// ---- the server as a process

class ServerProcess
{
public:
    bool start(const QString &folder, const QString &db, int threads)
    {
        const QString portFile = QDir(folder).filePath(QStringLiteral("port"));
        QStringList args{QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                         QStringLiteral("--port-file"), portFile, QStringLiteral("--db"), db,
                         QStringLiteral("--outbox"), QDir(folder).filePath(QStringLiteral("outbox")),
                         QStringLiteral("--skins"), QDir(folder).filePath(QStringLiteral("skins"))};
        if (threads > 0)
            args << QStringLiteral("--threads") << QString::number(threads);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(TVX_ALERTSERVER), args);
        for (int i = 0; i < 1000 && m_process.state() != QProcess::NotRunning; ++i) {
            QFile f(portFile);
            if (f.open(QIODevice::ReadOnly) && (m_port = f.readAll().trimmed().toInt()) > 0)
                return true;
            m_process.waitForFinished(10);
        }
        return false;
    }
    ~ServerProcess()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(15000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    int port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    int m_port = 0;
};

// ---- one configuration

// Users user0 ... logged in from 127.0.0.1 with a few alerts each behind
// them, written in one go rather than one request each, as a server with that
// many clients would have them.
void seed(const QString &location, int users)
{
    alertserver::Store store(location, 1000);
    alertserver::AdminRegistration reg;
    reg.username = QStringLiteral("bench");
    reg.password = QStringLiteral("bench");
    const int admin = store.admins().registerAdmin(reg).id;
    store.admins().activateByName(reg.username);
    store.database().transaction([&](alertserver::Connection &db) {
        {
            alertserver::Query q = db.query(
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
                "INSERT INTO users(id, admin_id, username, name_key, password, firstname, lastname, tel, email, "
                "wirelessno, carrier, logged_in, created_at) "
                "SELECT i, ?, 'user' || (i - 1), 'user' || (i - 1), 'pw', '', '', '', '', '', '', 1, 0 FROM n");
            q.bind(1, users).bind(2, admin);
            q.run();
        }
        // A few alerts each from before, all told already.
        db.exec("INSERT INTO alerts(user_id, text, created_at) SELECT u.id, 'an earlier alert', 0 FROM users u "
                "CROSS JOIN (SELECT 1 AS k UNION ALL SELECT 2 UNION ALL SELECT 3) t");
        {
            alertserver::Query q = db.query(
                "INSERT INTO client_sessions(user_id, address, last_poll, seen_to) "
                "SELECT u.id, '127.0.0.1', ?, (SELECT max(a.id) FROM alerts a WHERE a.user_id = u.id) FROM users u");
            q.bind(1, QDateTime::currentSecsSinceEpoch());
            q.run();
        }
        alertserver::Query q = db.query("UPDATE counters SET value = ? WHERE name = 'users'");
        q.bind(1, users);
        q.run();
    });
    // The planner's figures for the tables as they now are; on PostgreSQL
    // also the vacuum that would otherwise start in the middle of a round.
    store.database().run([](alertserver::Connection &db) {
        db.execScript(db.dialect() == alertserver::Dialect::Postgres ? "VACUUM ANALYZE" : "ANALYZE");
    });
}

struct Load
{
    std::vector<double> ms; // sorted
    long errors = 0;
    double seconds = 0;
    double clientCpu = 0;
};

// Polls spread over the servers by client, paced at `rate` a second (0: as
// fast as they can), while alerts arrive through `alerts` beside them.
Load load(const std::vector<int> &ports, const StoreRoundOptions &o, double rate, alertserver::Store &alerts)
{
    const double cpuBefore = ownCpuSeconds();
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    const std::atomic<bool> never{false};
    std::thread alerter([&] { benchpolls::raiseAlerts(alerts, o.alertsPerSecond, o.users, deadline, never); });
    std::vector<Load> each(size_t(o.clients));
    std::vector<std::thread> clients;
    for (int c = 0; c < o.clients; ++c) {
        clients.emplace_back([&, c] {
            Load &r = each[size_t(c)];
            const int port = ports[size_t(c) % ports.size()];
            int user = c % o.users;
            const auto interval = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(rate > 0 ? o.clients / rate : 0.0));
            auto due = start + interval * c / o.clients;
            while (Clock::now() < deadline) {
                if (rate > 0)
                    std::this_thread::sleep_until(due);
                const auto t0 = rate > 0 ? due : Clock::now();
                due += interval;
                const int s = benchpolls::poll(port, benchpolls::statusRequest(port, user));
                user = (user + o.clients) % o.users;
                if (s < 0 || s > 1) // every user has a session: 2 is a fault here
                    ++r.errors;
                else
                    r.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
        });
    }
    for (auto &t : clients)
        t.join();
    alerter.join();
    Load all;
    all.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const Load &r : each) {
        all.ms.insert(all.ms.end(), r.ms.begin(), r.ms.end());
        all.errors += r.errors;
    }
    std::sort(all.ms.begin(), all.ms.end());
    all.clientCpu = ownCpuSeconds() - cpuBefore;
    return all;
}

struct Configuration
{
    const char *name;
    bool postgres;
    int processes;
};

} // namespace

int runStoreRounds(const StoreRoundOptions &o)
{
    const QString cluster = qEnvironmentVariable("TVX_TEST_POSTGRES");
    std::printf("\nthe alertserver program as processes, by store: %d users logged in, %d alerts/s raised beside, "
                "%d clients, %.0f s a round, %u cores\n",
                o.users, o.alertsPerSecond, o.clients, o.seconds, std::thread::hardware_concurrency());
    if (cluster.isEmpty())
        std::printf("  PostgreSQL rounds left out: TVX_TEST_POSTGRES names no cluster (scripts/bench.sh starts one)\n");
    const Configuration configurations[] = {
        {"SQLite, 1 process", false, 1},
        {"PostgreSQL, 1 process", true, 1},
        {"PostgreSQL, 2 processes (overhead on these cores, not gain)", true, 2},
    };
    long errors = 0;
    int made = 0;
    for (const Configuration &c : configurations) {
        if (c.postgres && cluster.isEmpty())
            continue;
        QTemporaryDir dir;
        QString location = dir.filePath(QStringLiteral("bench.db"));
        QString database;
        try {
            if (c.postgres) {
                database = QStringLiteral("tvx_bench_%1_%2").arg(QCoreApplication::applicationPid()).arg(++made);
                alertserver::Database::connect(cluster)->execScript(("CREATE DATABASE " + database).toLatin1().constData());
                location = cluster + (cluster.contains(u'?') ? u'&' : u'?') + QStringLiteral("dbname=") + database;
            }
            seed(location, o.users);
        } catch (const std::exception &e) {
            std::printf("  %s: cannot prepare the store: %s\n", c.name, e.what());
            ++errors;
            continue;
        }
        std::vector<std::unique_ptr<ServerProcess>> servers;
        std::vector<int> ports;
        for (int i = 0; i < c.processes; ++i) {
            servers.push_back(std::make_unique<ServerProcess>());
            const QString folder = dir.filePath(QStringLiteral("server%1").arg(i));
            QDir().mkpath(folder);
            if (!servers.back()->start(folder, location, o.threads)) {
                std::printf("  %s: the server did not start\n", c.name);
                return 1;
            }
            ports.push_back(servers.back()->port());
        }
        alertserver::Store alerts(location, 1000);
        const Cluster pg;
        // A server that has run a while has its connections open and its
        // statements prepared: a second of polls first, not counted.
        StoreRoundOptions warm = o;
        warm.seconds = 1;
        errors += load(ports, warm, 0, alerts).errors;
        std::printf("  %s\n", c.name);
        for (const double rate : {o.rate, 0.0}) {
            std::vector<double> before;
            for (const auto &s : servers)
                before.push_back(cpuSecondsOf(s->pid()));
            const auto pgBefore = pg.cpu();
            const Load r = load(ports, o, rate, alerts);
            errors += r.errors;
            const QByteArray round = rate > 0 ? QStringLiteral("paced %1/s").arg(rate).toLatin1() : QByteArray("flat out");
            std::printf("    %-12s polls/s %6.0f   p50 %6.2f ms   p99 %6.2f ms   errors %ld\n", round.constData(),
                        double(r.ms.size()) / r.seconds, benchpolls::percentile(r.ms, 50),
                        benchpolls::percentile(r.ms, 99), r.errors);
            for (size_t i = 0; i < servers.size(); ++i)
                std::printf("      alertserver %zu   CPU %4.0f %% of a core   peak RSS %6.1f MB\n", i + 1,
                            100 * (cpuSecondsOf(servers[i]->pid()) - before[i]) / r.seconds,
                            double(kbOf(servers[i]->pid(), "status", "VmHWM")) / 1024);
            if (c.postgres && pg.measurable())
                std::printf("      postgres        CPU %4.0f %% of a core   PSS, all its processes %6.1f MB\n",
                            100 * cpuSince(pgBefore, pg.cpu()) / r.seconds, double(pg.pssKb()) / 1024);
            std::printf("      clients         CPU %4.0f %% of a core (this benchmark, alerts included)\n",
                        100 * r.clientCpu / r.seconds);
        }
        servers.clear();
        if (!database.isEmpty()) {
            try {
                alertserver::Database::connect(cluster)->execScript(
                    ("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)").toLatin1().constData());
            } catch (const std::exception &e) {
                std::printf("  cannot drop %s: %s\n", qPrintable(database), e.what());
            }
        }
    }
    std::printf("  All processes share the same %u cores: 100 %% is one core, and what the rows of a round add up\n"
                "  to is all there was. A second process on them only adds its threads, connections and\n"
                "  switching; given a machine of its own, each process would add about what one does flat out\n"
                "  here, until the database's processor is the limit.\n",
                std::thread::hardware_concurrency());
    return errors == 0 ? 0 : 1;
}
