#include "server/cli/Watchdog.h"

#include "server/http/HttpFrontEnd.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace alertserver::cli {

// The protocol is one datagram of "NAME=value" lines to the socket the
// variable names; a leading '@' names an abstract socket. Written here
// rather than linked from libsystemd: it is a few lines, and the package
// needs no further library.
void notifyServiceManager(const char *state)
{
    const char *path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    const size_t length = path ? std::strlen(path) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@'))
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + length);
    ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address), size);
    ::close(fd);
}

Watchdog::Watchdog(HttpFrontEnd &front) : m_front(front)
{
    const char *usec = std::getenv("WATCHDOG_USEC");
    const char *pid = std::getenv("WATCHDOG_PID");
    const long long period = usec ? std::atoll(usec) : 0;
    if (period <= 0 || (pid && std::atoll(pid) != ::getpid()))
        return;
    m_thread = std::thread([this, period] { run(std::chrono::microseconds(period / 3)); });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard lock(m_probe->mutex);
        m_probe->stop = true;
    }
    m_probe->changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void Watchdog::run(std::chrono::microseconds every)
{
    std::unique_lock lock(m_probe->mutex);
    while (!m_probe->stop) {
        const auto next = std::chrono::steady_clock::now() + every;
        m_probe->back = false;
        lock.unlock();
        m_front.whenResponsive([probe = m_probe] {
            std::lock_guard held(probe->mutex);
            probe->back = true;
            probe->changed.notify_all();
        });
        lock.lock();
        // No ping until the task is back, however long that takes.
        m_probe->changed.wait(lock, [this] { return m_probe->back || m_probe->stop; });
        if (m_probe->stop)
            break;
        lock.unlock();
        notifyServiceManager("WATCHDOG=1");
        lock.lock();
        m_probe->changed.wait_until(lock, next, [this] { return m_probe->stop; });
    }
}

} // namespace alertserver::cli
