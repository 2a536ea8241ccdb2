#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace alertserver::http {

// A connection as the book-keeping sees it.
class OpenConnection
{
public:
    virtual ~OpenConnection() = default;
    // Called from any thread when the server stops.
    virtual void cut() = 0;
    // Called from any thread when the connection gives up its place to a
    // newer one: it closes.
    virtual void evict() = 0;
    // Called from any thread: whether bytes it sent wait unread in its
    // socket, so that the server, not the caller, is behind.
    virtual bool waiting() const { return false; }
};

// Which connections may open, and which are open.
//
// Connections kept open between requests are what a fleet of desktops holds,
// many behind one address; connections that have not yet completed a request
// ("pending") are what a flood holds. So the caps fall on pending connections,
// per caller's address (trusted proxies exempt) and in total, and one cap on
// all connections follows the descriptors the process may open. No newcomer
// is refused while an older connection can make room: past a cap, the pending
// connection that has gone longest without sending anything of its head (of
// the same address, for the cap per address) is closed; with the table full,
// the connection idle for longest between requests, else that pending one.
// A pending connection whose bytes wait unread is not stalled: the server is
// behind with it. Closing it would waste the handshake done and bring its
// caller back for another, so that a server that fell behind once (a fleet
// reconnecting at once) would never catch up; when every pending connection
// looked at is such, the newcomer is closed instead, before any work on it.
class Admission
{
public:
    using Clock = std::chrono::steady_clock;

    // Pending connections per address: a whole office behind one NAT
    // reconnecting at once after a restart, with room to spare.
    static constexpr int kDefaultPendingPerAddress = 256;
    static constexpr int kDefaultPendingTotal = 2048;

    // `total` 0: as many as the descriptors allow (see Engine::start).
    void setCaps(int total, int pendingPerAddress, int pendingTotal);
    int requestedTotal() const { return m_requestedTotal; }
    void setTotal(int total);
    int total() const;

    // Whether a new connection from `address` may open; takes its place if
    // so, and makes room for it first when needed.
    bool enter(OpenConnection *c, std::weak_ptr<OpenConnection> self, const std::string &address, bool proxy);
    // A pending connection has received more of its head.
    void progressed(OpenConnection *c);
    // The connection is busy with a request (no longer one to close for room).
    void busy(OpenConnection *c);
    // The connection has completed a request and waits for the next one.
    void idle(OpenConnection *c);
    // The connection has ended: its place is free again.
    void release(OpenConnection *c);

    int open() const;
    int pending() const;
    // The connections still open.
    std::vector<std::shared_ptr<OpenConnection>> live();
    void waitUntilAllClosed();

private:
    enum class State { Pending, Idle, Busy };
    using Order = std::set<std::pair<Clock::time_point, OpenConnection *>>;
    struct Entry
    {
        std::weak_ptr<OpenConnection> self;
        std::string address;
        State state = State::Pending;
        Clock::time_point since; // of the last byte of its head, or of its idleness
    };

    void unlist(OpenConnection *c, Entry &e);
    void list(OpenConnection *c, Entry &e);
    // The pending connection of `order` longest without a byte that is not
    // waiting to be read, or null.
    static OpenConnection *stalest(const Order &order);
    // Takes the connection out of the book-keeping; it closes itself.
    std::shared_ptr<OpenConnection> takeOut(OpenConnection *c);

    int m_requestedTotal = 0;
    int m_maxTotal = 1 << 20;
    int m_maxPendingPerAddress = kDefaultPendingPerAddress;
    int m_maxPendingTotal = kDefaultPendingTotal;
    mutable std::mutex m_mutex;
    std::condition_variable m_allClosed;
    std::unordered_map<OpenConnection *, Entry> m_entries;
    Order m_pending, m_idle;
    std::unordered_map<std::string, Order> m_pendingByAddress;
};

} // namespace alertserver::http
