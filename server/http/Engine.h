#pragma once

#include "server/http/Addresses.h"
#include "server/http/Admission.h"
#include "server/http/HttpFrontEnd.h"
#include "server/http/Tls.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace alertserver {

class RequestHandler;

namespace http {

using tcp = net::ip::tcp;

// One budget for the bodies of all requests being received at once: a body
// takes its announced length from it before any of it is read, and gives it
// back when its request is done.
class BodyBudget
{
public:
    void set(qint64 bytes) { m_left = bytes; }
    bool reserve(qint64 bytes)
    {
        qint64 left = m_left.load();
        do {
            if (bytes > left)
                return false;
        } while (!m_left.compare_exchange_weak(left, left - bytes));
        return true;
    }
    void release(qint64 bytes) { m_left += bytes; }
    qint64 left() const { return m_left.load(); }

private:
    std::atomic<qint64> m_left{HttpFrontEnd::kDefaultBodyBudget};
};

// The engine loop: the listening socket, the network threads that read
// requests and write replies, and the workers that run the handler. Owned by
// HttpFrontEnd, which sets it up; each connection (Connection.cpp) holds a
// reference to it for its whole life.
class Engine
{
public:
    Engine(RequestHandler &handler, int workers, bool logRequests);
    ~Engine() { stop(); }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Accepts on the network threads until stop().
    void start();
    // Stops serving, for good: callers still sending their request are hung
    // up on at once, requests already being answered are finished.
    void stop();

    RequestHandler &handler;
    const bool log;
    net::io_context io{HttpFrontEnd::kNetworkThreads};
    net::thread_pool workers;
    net::thread_pool hashing{HttpFrontEnd::kHashingThreads};
    tcp::acceptor acceptor{net::make_strand(io)};
    // The TLS context a new connection gets (null: plain http). A reload
    // replaces it whole; each connection keeps the one it started with.
    std::shared_ptr<net::ssl::context> currentTls() const;
    void setTls(std::shared_ptr<net::ssl::context> context);
    // Shared by every context, so that tickets survive a reload.
    const std::shared_ptr<TicketKeys> tickets = std::make_shared<TicketKeys>();
    TrustedProxies proxies;
    Admission admission;
    std::chrono::milliseconds headDeadline = HttpFrontEnd::kDefaultHeadDeadline;
    std::chrono::milliseconds bodyDeadline = HttpFrontEnd::kDefaultBodyDeadline;
    std::chrono::milliseconds idleTimeout = HttpFrontEnd::kDefaultIdleTimeout;
    int requestsPerConnection = HttpFrontEnd::kDefaultRequestsPerConnection;
    BodyBudget bodies;
    int port = 0;
    std::atomic<bool> stopping{false};

private:
    void accept();
    void onAccept(const boost::system::error_code &ec, tcp::socket socket);

    // Keeps the network threads running while a connection has nothing
    // pending on them (its request is with a worker), until stop() is done.
    std::optional<net::executor_work_guard<net::io_context::executor_type>> m_keepRunning;
    net::steady_timer m_acceptRetry{acceptor.get_executor()};
    bool m_started = false;
    mutable std::mutex m_tlsMutex;
    std::shared_ptr<net::ssl::context> m_tls;
    std::vector<std::thread> m_threads;
};

} // namespace http
} // namespace alertserver
