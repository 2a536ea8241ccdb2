#include "server/http/Admission.h"

#include <algorithm>

namespace alertserver::http {

void Admission::setCaps(int total, int perAddress)
{
    m_maxTotal = std::max(1, total);
    m_maxPerAddress = std::max(1, perAddress);
}

bool Admission::admit(const std::string &address, bool proxy)
{
    std::lock_guard lock(m_mutex);
    if (m_open >= m_maxTotal)
        return false;
    const auto known = m_perAddress.find(address);
    if (!proxy && known != m_perAddress.end() && known->second >= m_maxPerAddress)
        return false;
    ++m_open;
    ++m_perAddress[address];
    return true;
}

void Admission::enlist(OpenConnection *c, std::weak_ptr<OpenConnection> self)
{
    std::lock_guard lock(m_mutex);
    m_connections.emplace(c, std::move(self));
}

void Admission::release(OpenConnection *c, const std::string &address)
{
    std::lock_guard lock(m_mutex);
    m_connections.erase(c);
    if (--m_perAddress[address] <= 0)
        m_perAddress.erase(address);
    if (--m_open == 0)
        m_allClosed.notify_all();
}

std::vector<std::shared_ptr<OpenConnection>> Admission::live()
{
    std::vector<std::shared_ptr<OpenConnection>> out;
    std::lock_guard lock(m_mutex);
    for (const auto &[key, weak] : m_connections)
        if (auto c = weak.lock())
            out.push_back(std::move(c));
    return out;
}

void Admission::waitUntilAllClosed()
{
    std::unique_lock lock(m_mutex);
    m_allClosed.wait(lock, [this] { return m_open == 0; });
}

} // namespace alertserver::http
