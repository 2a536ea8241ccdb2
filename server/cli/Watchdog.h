#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace alertserver {

class HttpFrontEnd;

namespace cli {

// Tells the service manager how the server is ("READY=1", "STOPPING=1",
// "WATCHDOG=1") through the datagram socket NOTIFY_SOCKET names. Without it
// (not started by systemd with Type=notify) nothing is sent.
void notifyServiceManager(const char *state);

// While the service manager watches (WATCHDOG_USEC set for this process),
// sends "WATCHDOG=1" every third of its period, each time only after a task
// went through the front end's network threads and workers and came back.
// A server wedged in either stops pinging, and the manager restarts it.
class Watchdog
{
public:
    explicit Watchdog(HttpFrontEnd &front);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    struct Probe
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool back = false;
        bool stop = false;
    };

    void run(std::chrono::microseconds every);

    HttpFrontEnd &m_front;
    std::shared_ptr<Probe> m_probe = std::make_shared<Probe>();
    std::thread m_thread;
};

} // namespace cli
} // namespace alertserver
