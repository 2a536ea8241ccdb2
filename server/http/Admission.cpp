#include "server/http/Admission.h"

#include <algorithm>

namespace alertserver::http {

void Admission::setCaps(int total, int pendingPerAddress, int pendingTotal)
{
    std::lock_guard lock(m_mutex);
    m_requestedTotal = std::max(0, total);
    if (m_requestedTotal > 0)
        m_maxTotal = m_requestedTotal;
    m_maxPendingPerAddress = std::max(1, pendingPerAddress);
    m_maxPendingTotal = std::max(1, pendingTotal);
}

void Admission::setTotal(int total)
{
    std::lock_guard lock(m_mutex);
    m_maxTotal = std::max(1, total);
}

int Admission::total() const
{
    std::lock_guard lock(m_mutex);
    return m_maxTotal;
}

void Admission::unlist(OpenConnection *c, Entry &e)
{
    const auto key = std::make_pair(e.since, c);
    if (e.state == State::Pending) {
        m_pending.erase(key);
        const auto byAddress = m_pendingByAddress.find(e.address);
        if (byAddress != m_pendingByAddress.end()) {
            byAddress->second.erase(key);
            if (byAddress->second.empty())
                m_pendingByAddress.erase(byAddress);
        }
    } else if (e.state == State::Idle) {
        m_idle.erase(key);
    }
}

void Admission::list(OpenConnection *c, Entry &e)
{
    const auto key = std::make_pair(e.since, c);
    if (e.state == State::Pending) {
        m_pending.insert(key);
        m_pendingByAddress[e.address].insert(key);
    } else if (e.state == State::Idle) {
        m_idle.insert(key);
    }
}

std::shared_ptr<OpenConnection> Admission::takeOut(OpenConnection *c)
{
    const auto found = m_entries.find(c);
    unlist(c, found->second);
    std::shared_ptr<OpenConnection> victim = found->second.self.lock();
    m_entries.erase(found);
    return victim;
}

OpenConnection *Admission::stalest(const Order &order)
{
    // A bounded look: past it, the server is behind with nearly all of them.
    constexpr int kLooks = 64;
    int looked = 0;
    for (auto it = order.begin(); it != order.end() && looked < kLooks; ++it, ++looked)
        if (!it->second->waiting())
            return it->second;
    return nullptr;
}

bool Admission::enter(OpenConnection *c, std::weak_ptr<OpenConnection> self, const std::string &address, bool proxy)
{
    std::vector<std::shared_ptr<OpenConnection>> victims;
    {
        std::lock_guard lock(m_mutex);
        const auto byAddress = m_pendingByAddress.find(address);
        const Order *full = nullptr;
        if (!proxy && byAddress != m_pendingByAddress.end() && int(byAddress->second.size()) >= m_maxPendingPerAddress)
            full = &byAddress->second;
        else if (int(m_pending.size()) >= m_maxPendingTotal)
            full = &m_pending;
        if (full) {
            OpenConnection *victim = stalest(*full);
            if (!victim)
                return false;
            victims.push_back(takeOut(victim));
        }
        if (int(m_entries.size()) >= m_maxTotal) {
            OpenConnection *victim = !m_idle.empty() ? m_idle.begin()->second : stalest(m_pending);
            if (!victim)
                return false; // every connection is in the middle of a request, or waits to be read
            victims.push_back(takeOut(victim));
        }
        Entry &e = m_entries[c];
        e.self = std::move(self);
        e.address = address;
        e.since = Clock::now();
        list(c, e);
    }
    for (const auto &victim : victims)
        if (victim)
            victim->evict();
    return true;
}

void Admission::progressed(OpenConnection *c)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(c);
    if (found == m_entries.end() || found->second.state != State::Pending)
        return;
    unlist(c, found->second);
    found->second.since = Clock::now();
    list(c, found->second);
}

void Admission::busy(OpenConnection *c)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(c);
    if (found == m_entries.end() || found->second.state == State::Busy)
        return;
    unlist(c, found->second);
    found->second.state = State::Busy;
}

void Admission::idle(OpenConnection *c)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(c);
    if (found == m_entries.end())
        return;
    unlist(c, found->second);
    found->second.state = State::Idle;
    found->second.since = Clock::now();
    list(c, found->second);
}

void Admission::release(OpenConnection *c)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(c);
    if (found == m_entries.end())
        return; // closed to make room: already out
    unlist(c, found->second);
    m_entries.erase(found);
    if (m_entries.empty())
        m_allClosed.notify_all();
}

int Admission::open() const
{
    std::lock_guard lock(m_mutex);
    return int(m_entries.size());
}

int Admission::pending() const
{
    std::lock_guard lock(m_mutex);
    return int(m_pending.size());
}

std::vector<std::shared_ptr<OpenConnection>> Admission::live()
{
    std::vector<std::shared_ptr<OpenConnection>> out;
    std::lock_guard lock(m_mutex);
    for (const auto &[key, entry] : m_entries)
        if (auto c = entry.self.lock())
            out.push_back(std::move(c));
    return out;
}

void Admission::waitUntilAllClosed()
{
    std::unique_lock lock(m_mutex);
    m_allClosed.wait(lock, [this] { return m_entries.empty(); });
}

} // namespace alertserver::http
