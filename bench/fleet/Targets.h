#pragma once
// What the fleet polls: the alert server as one or more processes on one
// store, or nginx answering the same bytes from its configuration.

#include <sys/types.h>

#include <string>
#include <vector>

namespace fleet {

class Target
{
public:
    virtual ~Target() = default;
    virtual std::string name() const = 0;
    // Starts it; after a stop, again on the same ports.
    virtual bool start(std::string *error) = 0;
    virtual void stop() = 0;
    // Every process that answers polls.
    virtual std::vector<pid_t> processes() const = 0;
    // The fleet is spread over these, desktop by desktop.
    virtual std::vector<int> ports() const = 0;
};

struct ServerSettings
{
    std::string program;             // the built alertserver
    std::string folder;              // each process gets a folder of its own in it
    std::string database;            // --db
    std::string certificate, key;
    int processes = 1;
    int maxConnections = 1000;
    int maxPerAddress = 100;
    std::vector<std::string> extra; // more options of serve
};

class AlertServers : public Target
{
public:
    explicit AlertServers(ServerSettings s) : m_s(std::move(s)) {}
    ~AlertServers() override { stop(); }
    std::string name() const override { return "alertserver"; }
    bool start(std::string *error) override;
    void stop() override;
    std::vector<pid_t> processes() const override { return m_pids; }
    std::vector<int> ports() const override { return m_ports; }

private:
    ServerSettings m_s;
    std::vector<pid_t> m_pids;
    std::vector<int> m_ports;
};

struct NginxSettings
{
    std::string program;
    std::string folder;
    std::string certificate, key;
    int workers = 2;
    int files = 1024;     // each worker's descriptor limit
    int backlog = 1024;   // over all workers, as the server's listen queue
    std::string contentType;
    std::string statusBody; // what a logged-in desktop's poll gets from the server
    std::string loginBody;  // what its login gets
};

class Nginx : public Target
{
public:
    explicit Nginx(NginxSettings s) : m_s(std::move(s)) {}
    ~Nginx() override { stop(); }
    std::string name() const override { return "nginx"; }
    bool start(std::string *error) override;
    void stop() override;
    std::vector<pid_t> processes() const override;
    std::vector<int> ports() const override { return {m_port}; }

private:
    NginxSettings m_s;
    pid_t m_master = -1;
    int m_port = 0;
};

// nginx's path, or empty when it is not installed.
std::string findNginx();

} // namespace fleet
