#include "server/http/Engine.h"

#include "server/http/Connection.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <sys/resource.h>

namespace alertserver::http {

namespace {

using error_code = boost::system::error_code;

// Descriptors kept out of the connection cap: the store's files and
// connections (one per worker at most), the log, the pictures being served.
constexpr long kReservedFiles = 256;

} // namespace

Engine::Engine(RequestHandler &requestHandler, int workerCount, bool logRequests)
    : handler(requestHandler), log(logRequests), workers(size_t(std::max(1, workerCount)))
{
}

void Engine::start()
{
    if (m_started || !acceptor.is_open())
        return;
    // Every connection is a descriptor: take what the hard limit allows, and
    // keep some for the store, the log and the files served.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        if (files.rlim_cur < files.rlim_max) {
            rlimit raised = files;
            raised.rlim_cur = files.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : files.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
                files = raised;
        }
        const long usable = std::max(16L, long(std::min<rlim_t>(files.rlim_cur, rlim_t(1) << 20)) - kReservedFiles);
        const int requested = admission.requestedTotal();
        admission.setTotal(requested > 0 ? int(std::min<long>(requested, usable)) : int(usable));
    }
    m_started = true;
    m_keepRunning.emplace(io.get_executor());
    net::dispatch(acceptor.get_executor(), [this] { accept(); });
    for (int i = 0; i < HttpFrontEnd::kNetworkThreads; ++i)
        m_threads.emplace_back([this] { io.run(); });
}

void Engine::accept()
{
    acceptor.async_accept(net::make_strand(io), [this](const error_code &ec, tcp::socket socket) {
        onAccept(ec, std::move(socket));
    });
}

void Engine::onAccept(const error_code &ec, tcp::socket socket)
{
    if (ec == net::error::operation_aborted || !acceptor.is_open())
        return;
    if (ec) {
        // Out of descriptors, most likely: the caller waits in the listen
        // queue until connections have ended.
        m_acceptRetry.expires_after(std::chrono::milliseconds(50));
        m_acceptRetry.async_wait([this](const error_code &e) {
            if (!e)
                accept();
        });
        return;
    }
    error_code ignored;
    const tcp::endpoint remote = socket.remote_endpoint(ignored);
    if (!ignored && !stopping) {
        const net::ip::address peer = narrowed(remote.address());
        socket.set_option(tcp::no_delay(true), ignored);
        startConnection(*this, std::move(socket), peer);
    }
    accept();
}

std::shared_ptr<net::ssl::context> Engine::currentTls() const
{
    std::lock_guard lock(m_tlsMutex);
    return m_tls;
}

void Engine::setTls(std::shared_ptr<net::ssl::context> context)
{
    std::lock_guard lock(m_tlsMutex);
    m_tls = std::move(context);
}

void Engine::stop()
{
    if (!m_started) {
        error_code ignored;
        acceptor.close(ignored);
        return;
    }
    if (stopping.exchange(true))
        return;
    net::post(acceptor.get_executor(), [this] {
        error_code ignored;
        acceptor.close(ignored);
        m_acceptRetry.cancel();
    });
    for (const auto &c : admission.live())
        c->cut();
    admission.waitUntilAllClosed();
    m_keepRunning.reset();
    for (std::thread &t : m_threads)
        t.join();
    m_threads.clear();
    workers.join();
    hashing.join();
}

} // namespace alertserver::http
