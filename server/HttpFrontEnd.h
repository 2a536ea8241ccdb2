#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <thread>

namespace alertserver {

class AlertService;

// The HTTP side: a listening socket and a pool of worker threads that each
// take one connection at a time and hand its requests to the AlertService.
class HttpFrontEnd
{
public:
    // On two cores more workers only add switching; eight still leave room
    // for a few connections that are slow to send their request.
    static constexpr int kDefaultThreads = 8;
    // How long a connection may take from being accepted to the end of its
    // reply. The library only bounds each single read and write, so a caller
    // sending a byte every few seconds would otherwise keep a worker forever.
    static constexpr std::chrono::milliseconds kDefaultConnectionDeadline{15000};

    HttpFrontEnd(AlertService &service, int threads = kDefaultThreads, bool logRequests = false);
    ~HttpFrontEnd();
    HttpFrontEnd(const HttpFrontEnd &) = delete;
    HttpFrontEnd &operator=(const HttpFrontEnd &) = delete;

    // Binds to host:port (port 0: any free port). False with `error` set when
    // the address cannot be used.
    bool bind(const QString &host, int port, QString *error = nullptr);
    int port() const { return m_port; }

    // Past its deadline a connection is closed, whatever it was waiting for.
    // Connections already being served keep the deadline they started with.
    void setConnectionDeadline(std::chrono::milliseconds deadline);

    // Serves on a thread of its own until stop().
    void start();
    // Serves on the calling thread until stop() is called from elsewhere.
    void run();
    // Stops serving, for good: callers still sending their request are hung
    // up on at once, and requests already being answered are finished.
    void stop();

private:
    class Server;
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
    int m_port = 0;
};

} // namespace alertserver
