#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace alertserver::http {

// A connection as the book-keeping sees it.
class OpenConnection
{
public:
    virtual ~OpenConnection() = default;
    // Called from any thread when the server stops.
    virtual void cut() = 0;
};

// Which connections may open, and which are open: a cap on all of them and
// one per caller's address (trusted proxies exempt), and the list that a stop
// cuts short.
class Admission
{
public:
    // A site of 10,000 clients polling every 2 s keeps a few connections
    // open at a time; these leave room for bursts and many NATed desktops,
    // and bound what one address or everyone together can hold open.
    static constexpr int kDefaultTotal = 1000;
    static constexpr int kDefaultPerAddress = 100;

    void setCaps(int total, int perAddress);
    int total() const { return m_maxTotal; }

    // Whether a connection from `address` may open; takes its place if so.
    bool admit(const std::string &address, bool proxy);
    void enlist(OpenConnection *c, std::weak_ptr<OpenConnection> self);
    // The connection has ended: its place is free again.
    void release(OpenConnection *c, const std::string &address);

    // The connections still open.
    std::vector<std::shared_ptr<OpenConnection>> live();
    void waitUntilAllClosed();

private:
    int m_maxTotal = kDefaultTotal;
    int m_maxPerAddress = kDefaultPerAddress;
    std::mutex m_mutex;
    std::condition_variable m_allClosed;
    int m_open = 0;
    std::unordered_map<std::string, int> m_perAddress;
    std::unordered_map<OpenConnection *, std::weak_ptr<OpenConnection>> m_connections;
};

} // namespace alertserver::http
