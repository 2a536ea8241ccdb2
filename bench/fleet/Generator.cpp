// One generator process: its share of the desktops, each with a connection
// of its own from its own source address, on one epoll loop.
//
// Open loop: desktop n polls at fixed moments (its start in the ramp-up plus
// whole intervals). A desktop has one request out at most, as the client has;
// when a reply comes late, the next poll goes out at once and its latency
// still counts from the moment it was due, so a stalled server shows as
// latency rather than as fewer polls (and a failure as failed polls).

#include "Fleet.h"
#include "Reply.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <queue>
#include <random>

namespace fleet {

const char *outcomeName(Outcome o)
{
    static const char *const names[kOutcomes] = {"answered", "refused", "reset", "timeout", "tls",
                                                 "closed early", "bad status", "logged out (2)", "local"};
    return names[int(o)];
}

namespace {

constexpr int64_t kCloseGraceUs = 2000000;
constexpr uint64_t kControlTag = ~uint64_t(0);

enum class Phase : uint8_t { Idle, Connecting, Handshake, Sending, Receiving, Closing };
enum class Job : uint8_t { Login, Poll };
enum class TimerKind : uint8_t { Start, Deadline, CloseDeadline, WindowStart, WindowEnd };

struct Desktop
{
    int fd = -1;
    SSL *ssl = nullptr;
    SSL_SESSION *session = nullptr; // the last ticket, for resumption
    Phase phase = Phase::Idle;
    Job job = Job::Login;
    bool busy = false;         // a request is out
    bool startPending = false; // a Start timer is set
    bool loggedIn = false;
    uint32_t generation = 0;   // bumped when a request ends; older timers are void
    int64_t due = 0;           // when the request out (or the next) is due
    int64_t openedAt = 0;      // when the connection in use was opened
    int64_t recovered = -1;
    std::string request;
    size_t sent = 0;
    std::string in;
};

struct Timer
{
    int64_t at;
    uint32_t desktop;
    uint32_t generation;
    TimerKind kind;
    bool operator>(const Timer &o) const { return at > o.at; }
};

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

long statusKb(const char *field)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ':';
    while (std::getline(f, line))
        if (line.starts_with(prefix))
            return std::stol(line.substr(prefix.size()));
    return 0;
}

class Generator
{
public:
    Generator(const GeneratorPlan &plan, int control) : m_plan(plan), m_control(control), m_desktops(size_t(plan.count))
    {
        m_ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
        // The generator shares the cores with the servers: it checks no
        // certificate chain (the handshake's own signature is still
        // verified).
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
        SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(m_ctx, &Generator::onNewSession);
        SSL_CTX_set_app_data(m_ctx, this);
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kControlTag;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_control, &ev);
        m_result.recoveredUs.assign(size_t(plan.count), -1);
    }

    GeneratorResult run()
    {
        std::mt19937_64 random(m_plan.seed);
        std::uniform_int_distribution<int64_t> start(0, m_plan.rampUs - 1);
        for (size_t i = 0; i < m_desktops.size(); ++i) {
            m_desktops[i].due = start(random);
            scheduleStart(uint32_t(i));
        }
        m_windowStart = m_plan.rampUs;
        m_windowEnd = m_plan.rampUs + m_plan.windowUs;
        m_stopAt = m_plan.storm ? INT64_MAX : m_windowEnd;
        m_timers.push({m_windowStart, 0, 0, TimerKind::WindowStart});
        m_timers.push({m_windowEnd, 0, 0, TimerKind::WindowEnd});

        epoll_event events[512];
        while (!(m_stopping && m_busy == 0 && m_pendingStarts == 0)) {
            int64_t now = nowUs();
            while (!m_timers.empty() && m_timers.top().at <= now) {
                const Timer t = m_timers.top();
                m_timers.pop();
                fire(t);
                now = nowUs();
            }
            timespec wait{0, 100000000};
            if (!m_timers.empty()) {
                const int64_t us = std::max<int64_t>(0, std::min<int64_t>(m_timers.top().at - now, 100000));
                wait = {0, long(us * 1000)};
            }
            if (!m_drained && now >= m_windowEnd && now >= m_nextDrainCheck)
                checkDrained(now);
            const int n = ::epoll_pwait2(m_epoll, events, 512, &wait, nullptr);
            for (int i = 0; i < n; ++i) {
                if (events[i].data.u64 == kControlTag)
                    readControl();
                else
                    drive(uint32_t(events[i].data.u64));
            }
        }
        m_result.peakRssKb = statusKb("VmHWM");
        for (Desktop &d : m_desktops) {
            hardClose(d);
            if (d.session)
                SSL_SESSION_free(d.session);
        }
        SSL_CTX_free(m_ctx);
        return std::move(m_result);
    }

private:
    int64_t nowUs() const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_plan.epoch).count();
    }
    Desktop &at(uint32_t i) { return m_desktops[i]; }
    int number(uint32_t i) const { return m_plan.first + int(i); }

    static int onNewSession(SSL *ssl, SSL_SESSION *session)
    {
        auto *self = static_cast<Generator *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (!self->m_plan.persistent)
            return 0; // a new connection per poll never resumes, as the client today
        Desktop &d = self->at(uint32_t(reinterpret_cast<uintptr_t>(SSL_get_app_data(ssl))));
        if (d.session)
            SSL_SESSION_free(d.session);
        d.session = session;
        return 1;
    }

    void scheduleStart(uint32_t i)
    {
        Desktop &d = at(i);
        if (d.due >= m_stopAt)
            return;
        d.startPending = true;
        ++m_pendingStarts;
        m_timers.push({d.due, i, d.generation, TimerKind::Start});
    }

    void fire(const Timer &t)
    {
        switch (t.kind) {
        case TimerKind::WindowStart: {
            rusage u{};
            ::getrusage(RUSAGE_SELF, &u);
            m_cpuUser = seconds(u.ru_utime);
            m_cpuSystem = seconds(u.ru_stime);
            return;
        }
        case TimerKind::WindowEnd: {
            rusage u{};
            ::getrusage(RUSAGE_SELF, &u);
            m_result.cpuUser = seconds(u.ru_utime) - m_cpuUser;
            m_result.cpuSystem = seconds(u.ru_stime) - m_cpuSystem;
            for (const Desktop &d : m_desktops)
                if (d.fd >= 0 && d.phase != Phase::Closing)
                    ++m_result.openAtWindowEnd;
            return;
        }
        default:
            break;
        }
        Desktop &d = at(t.desktop);
        if (t.generation != d.generation)
            return;
        switch (t.kind) {
        case TimerKind::Start:
            if (!d.startPending)
                return; // dropped by Finish
            d.startPending = false;
            --m_pendingStarts;
            start(t.desktop);
            return;
        case TimerKind::Deadline:
            if (d.busy)
                fail(t.desktop, Outcome::Timeout);
            return;
        case TimerKind::CloseDeadline:
            if (!d.busy && d.phase == Phase::Closing)
                hardClose(d);
            return;
        default:
            return;
        }
    }

    void checkDrained(int64_t now)
    {
        m_nextDrainCheck = now + 100000;
        for (const Desktop &d : m_desktops)
            if (d.due < m_windowEnd)
                return;
        m_drained = true;
        Control c;
        c.kind = Control::Drained;
        c.atUs = now;
        if (::write(m_control, &c, sizeof c) != ssize_t(sizeof c))
            m_stopping = true;
    }

    void readControl()
    {
        Control c;
        const ssize_t n = ::read(m_control, &c, sizeof c);
        if (n == ssize_t(sizeof c) && c.kind == Control::ServerStopping) {
            m_stormStart = c.atUs;
            m_result.stormFailures.clear();
            return;
        }
        if (n == ssize_t(sizeof c) && c.kind != Control::Finish)
            return;
        // Finish, or the conductor has gone: no new requests; the ones out end.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_control, nullptr);
        m_stopping = true;
        m_stopAt = std::min(m_stopAt, nowUs());
        for (Desktop &d : m_desktops)
            if (d.startPending && d.due >= m_stopAt) {
                d.startPending = false;
                --m_pendingStarts;
            }
    }

    void start(uint32_t i)
    {
        Desktop &d = at(i);
        const int64_t now = nowUs();
        d.job = d.loggedIn ? Job::Poll : Job::Login;
        const int port = m_plan.ports[size_t(number(i)) % m_plan.ports.size()];
        const std::string name = userName(number(i));
        d.request = d.job == Job::Login
            ? "GET /alertsystem/login.php?username=" + name + "&password=" + kUserPassword
            : "GET /alertsystem/status.php?username=" + name;
        d.request += " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nAccept: */*\r\n";
        if (!m_plan.persistent)
            d.request += "Connection: close\r\n";
        d.request += "\r\n";
        d.sent = 0;
        d.in.clear();
        d.busy = true;
        ++m_busy;
        m_timers.push({now + m_plan.timeoutUs, i, d.generation, TimerKind::Deadline});
        if (d.phase == Phase::Closing)
            hardClose(d);
        // A kept connection is used unless it has been seen closed (its
        // close arrives as an event and ends it at once).
        if (d.fd >= 0) {
            d.phase = Phase::Sending;
            return drive(i);
        }
        connect(i, port, now);
    }

    void connect(uint32_t i, int port, int64_t now)
    {
        Desktop &d = at(i);
        d.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (d.fd < 0)
            return fail(i, Outcome::Local);
        const int one = 1;
        ::setsockopt(d.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The port is chosen at connect, for the whole address pair: many
        // desktops can share a source address.
        ::setsockopt(d.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(sourceAddress(number(i), m_plan.perAddress));
        if (::bind(d.fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            return fail(i, Outcome::Local);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(uint16_t(port));
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        d.openedAt = now;
        if (now >= m_windowStart && now < m_windowEnd)
            ++m_result.connectsInWindow;
        if (::connect(d.fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0 && errno != EINPROGRESS)
            return fail(i, errno == ECONNREFUSED ? Outcome::Refused : Outcome::Local);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = i;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, d.fd, &ev);
        d.phase = Phase::Connecting;
    }

    // The outcome of a failed TLS call, or nothing when it only has to wait.
    static std::optional<Outcome> failureOf(SSL *ssl, int r, bool handshake)
    {
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            return std::nullopt;
        if (e == SSL_ERROR_SYSCALL && (errno == ECONNRESET || errno == EPIPE))
            return Outcome::Reset;
        if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL)
            return Outcome::ClosedEarly;
        return handshake ? Outcome::Tls : Outcome::BadStatus;
    }

    // Moves a desktop's connection on as far as it goes without waiting.
    void drive(uint32_t i)
    {
        Desktop &d = at(i);
        char buffer[4096];
        switch (d.phase) {
        case Phase::Idle: {
            if (d.fd < 0)
                return;
            // A kept connection with nothing out: only its close, or a ticket.
            ERR_clear_error();
            const int r = SSL_read(d.ssl, buffer, sizeof buffer);
            if (r > 0 || failureOf(d.ssl, r, false))
                hardClose(d);
            return;
        }
        case Phase::Connecting: {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(d.fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == EINPROGRESS || error == EALREADY)
                return;
            if (error != 0)
                return fail(i, error == ECONNREFUSED ? Outcome::Refused
                                   : error == ETIMEDOUT  ? Outcome::Timeout
                                   : error == ECONNRESET ? Outcome::Reset
                                                         : Outcome::Local);
            d.ssl = SSL_new(m_ctx);
            SSL_set_fd(d.ssl, d.fd);
            SSL_set_connect_state(d.ssl);
            SSL_set_app_data(d.ssl, reinterpret_cast<void *>(uintptr_t(i)));
            if (m_plan.persistent && d.session)
                SSL_set_session(d.ssl, d.session);
            d.phase = Phase::Handshake;
            [[fallthrough]];
        }
        case Phase::Handshake: {
            ERR_clear_error();
            const int r = SSL_do_handshake(d.ssl);
            if (r != 1) {
                if (const auto failure = failureOf(d.ssl, r, true))
                    fail(i, *failure);
                return;
            }
            const int64_t now = nowUs();
            if (now >= m_windowStart && now < m_windowEnd)
                ++(SSL_session_reused(d.ssl) ? m_result.resumedHandshakes : m_result.fullHandshakes);
            if (m_result.tls.empty()) {
                const char *groupName = OBJ_nid2sn(int(SSL_get_negotiated_group(d.ssl)));
                m_result.tls = std::string(SSL_get_version(d.ssl)) + " " + SSL_get_cipher_name(d.ssl) + " "
                    + (groupName ? groupName : "");
            }
            d.phase = Phase::Sending;
            [[fallthrough]];
        }
        case Phase::Sending:
            while (d.sent < d.request.size()) {
                ERR_clear_error();
                const int r = SSL_write(d.ssl, d.request.data() + d.sent, int(d.request.size() - d.sent));
                if (r <= 0) {
                    if (const auto failure = failureOf(d.ssl, r, false))
                        fail(i, *failure);
                    return;
                }
                d.sent += size_t(r);
            }
            d.phase = Phase::Receiving;
            [[fallthrough]];
        case Phase::Receiving:
            for (;;) {
                ERR_clear_error();
                const int r = SSL_read(d.ssl, buffer, sizeof buffer);
                bool closed = false;
                if (r > 0) {
                    d.in.append(buffer, size_t(r));
                } else {
                    const auto failure = failureOf(d.ssl, r, false);
                    if (!failure)
                        return;
                    if (*failure != Outcome::ClosedEarly)
                        return fail(i, *failure);
                    closed = true;
                }
                const Reply reply = readReply(d.in, closed);
                if (reply.state != Reply::State::Incomplete)
                    return complete(i, reply, closed);
            }
        case Phase::Closing:
            for (;;) {
                ERR_clear_error();
                const int r = SSL_read(d.ssl, buffer, sizeof buffer);
                if (r > 0)
                    continue;
                if (!failureOf(d.ssl, r, false))
                    return;
                return hardClose(d);
            }
        }
    }

    void complete(uint32_t i, const Reply &reply, bool closed)
    {
        Desktop &d = at(i);
        if (reply.state == Reply::State::Malformed)
            return fail(i, closed ? Outcome::ClosedEarly : Outcome::BadStatus);
        Outcome o = Outcome::BadStatus;
        if (reply.status == 200) {
            const std::string_view answer = firstChildText(reply.body);
            if (d.job == Job::Login)
                o = answer == "1" ? Outcome::Answered : Outcome::BadStatus;
            else if (answer == "0" || answer == "1")
                o = Outcome::Answered;
            else if (answer == "2")
                o = Outcome::LoggedOut;
        }
        const bool keep = m_plan.persistent && !closed && reply.keepAlive && !reply.extra;
        if (closed)
            hardClose(d);
        else if (!keep)
            beginClose(i);
        else
            d.phase = Phase::Idle;
        finish(i, o);
    }

    void fail(uint32_t i, Outcome o)
    {
        hardClose(at(i));
        finish(i, o);
    }

    void finish(uint32_t i, Outcome o)
    {
        Desktop &d = at(i);
        if (!d.busy)
            return;
        d.busy = false;
        --m_busy;
        ++d.generation;
        const int64_t now = nowUs();
        if (d.job == Job::Login) {
            ++m_result.logins[int(o)];
            d.loggedIn = o == Outcome::Answered;
        } else {
            if (d.due >= m_windowStart && d.due < m_windowEnd) {
                ++m_result.polls[int(o)];
                if (o == Outcome::Answered)
                    m_result.latencyUs.push_back(uint32_t(std::min<int64_t>(now - d.due, UINT32_MAX)));
            }
            // The client logs in again when the server no longer knows it.
            if (o == Outcome::LoggedOut)
                d.loggedIn = false;
        }
        if (m_stormStart >= 0) {
            if (o == Outcome::Answered && d.job == Job::Poll && d.recovered < 0 && d.openedAt >= m_stormStart) {
                d.recovered = now - m_stormStart;
                m_result.recoveredUs[i] = d.recovered;
            }
            if (o != Outcome::Answered) {
                const size_t bucket = size_t((now - m_stormStart) / kStormBucketUs);
                if (m_result.stormFailures.size() <= bucket)
                    m_result.stormFailures.resize(bucket + 1, Counts{});
                ++m_result.stormFailures[bucket][int(o)];
            }
        }
        // After a reply the next poll is due one interval after this one,
        // however late that is now. After a login or a failure the desktop
        // waits for its next slot, as the client's timer counts from the
        // reply; the polls it missed meanwhile failed the same way.
        d.due += m_plan.intervalUs;
        if (d.job == Job::Login || o != Outcome::Answered) {
            for (; d.due <= now; d.due += m_plan.intervalUs)
                if (d.job == Job::Poll && d.due >= m_windowStart && d.due < m_windowEnd) {
                    ++m_result.polls[int(o)];
                    ++m_result.missedSlots;
                }
        }
        scheduleStart(i);
    }

    void beginClose(uint32_t i)
    {
        Desktop &d = at(i);
        // Say goodbye and wait for the server's own close, so that nothing
        // is left unread (which would reset the connection).
        ERR_clear_error();
        SSL_shutdown(d.ssl);
        d.phase = Phase::Closing;
        m_timers.push({nowUs() + kCloseGraceUs, i, d.generation + 1, TimerKind::CloseDeadline});
    }

    void hardClose(Desktop &d)
    {
        if (d.ssl) {
            SSL_free(d.ssl);
            d.ssl = nullptr;
        }
        if (d.fd >= 0) {
            ::close(d.fd);
            d.fd = -1;
        }
        d.phase = Phase::Idle;
    }

    GeneratorPlan m_plan;
    int m_control;
    std::vector<Desktop> m_desktops;
    SSL_CTX *m_ctx = nullptr;
    int m_epoll = -1;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> m_timers;
    GeneratorResult m_result;
    int64_t m_windowStart = 0, m_windowEnd = 0, m_stopAt = INT64_MAX;
    int64_t m_stormStart = -1;
    int64_t m_nextDrainCheck = 0;
    bool m_drained = false;
    bool m_stopping = false;
    long m_busy = 0, m_pendingStarts = 0;
    double m_cpuUser = 0, m_cpuSystem = 0;

};

} // namespace

GeneratorResult runGenerator(const GeneratorPlan &plan, int control)
{
    Generator g(plan, control);
    return g.run();
}

// ---- the result's way back to the conductor: counts, then the vectors

namespace {

template <typename T>
void put(std::string &out, const T &value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}
template <typename T>
void putVector(std::string &out, const std::vector<T> &v)
{
    put(out, uint64_t(v.size()));
    out.append(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}
template <typename T>
bool get(const std::string &in, size_t &at, T &value)
{
    if (in.size() - at < sizeof value)
        return false;
    std::memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return true;
}
template <typename T>
bool getVector(const std::string &in, size_t &at, std::vector<T> &v)
{
    uint64_t n = 0;
    if (!get(in, at, n) || (in.size() - at) / sizeof(T) < n)
        return false;
    v.resize(n);
    std::memcpy(v.data(), in.data() + at, n * sizeof(T));
    at += n * sizeof(T);
    return true;
}

} // namespace

std::string GeneratorResult::serialize() const
{
    std::string out;
    put(out, polls);
    put(out, logins);
    put(out, connectsInWindow);
    put(out, fullHandshakes);
    put(out, resumedHandshakes);
    put(out, openAtWindowEnd);
    put(out, missedSlots);
    put(out, cpuUser);
    put(out, cpuSystem);
    put(out, peakRssKb);
    putVector(out, std::vector<char>(tls.begin(), tls.end()));
    putVector(out, latencyUs);
    putVector(out, recoveredUs);
    putVector(out, stormFailures);
    return out;
}

bool GeneratorResult::deserialize(const std::string &in)
{
    size_t at = 0;
    std::vector<char> text;
    const bool whole = get(in, at, polls) && get(in, at, logins) && get(in, at, connectsInWindow)
        && get(in, at, fullHandshakes) && get(in, at, resumedHandshakes) && get(in, at, openAtWindowEnd)
        && get(in, at, missedSlots) && get(in, at, cpuUser) && get(in, at, cpuSystem) && get(in, at, peakRssKb)
        && getVector(in, at, text) && getVector(in, at, latencyUs) && getVector(in, at, recoveredUs)
        && getVector(in, at, stormFailures) && at == in.size();
    tls.assign(text.begin(), text.end());
    return whole;
}

} // namespace fleet
