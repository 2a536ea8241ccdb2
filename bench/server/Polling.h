#pragma once
// What the server benchmarks' clients do: one status poll per loopback
// connection with "Connection: close", as the clients send it.

#include "server/store/Store.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace benchpolls {

// The request a client sends for one user.
inline std::string statusRequest(int port, int user)
{
    return "GET /alertsystem/status.php?username=user" + std::to_string(user) + " HTTP/1.1\r\nHost: 127.0.0.1:"
        + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
}

// One poll: connect, send, read to the end. Answers the status digit or -1.
inline int poll(int port, const std::string &request)
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

// Alerts for random users, `perSecond` of them, until the deadline or
// `stop`, as `alertserver alert` would add them beside the polls. Answers how
// many were raised.
inline long raiseAlerts(alertserver::Store &store, int perSecond, int users,
                        std::chrono::steady_clock::time_point deadline, const std::atomic<bool> &stop)
{
    if (perSecond == 0)
        return 0;
    std::mt19937 random(7);
    const auto period = std::chrono::microseconds(1000000 / perSecond);
    auto next = std::chrono::steady_clock::now();
    long raised = 0;
    while (!stop && std::chrono::steady_clock::now() < deadline) {
        store.sessions().raise(QStringLiteral("user%1").arg(random() % unsigned(users)), QStringLiteral("bench alert"));
        ++raised;
        next += period;
        std::this_thread::sleep_until(next);
    }
    return raised;
}

inline double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t i = std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())));
    return sorted[i];
}

} // namespace benchpolls
