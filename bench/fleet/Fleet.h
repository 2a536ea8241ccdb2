#pragma once
// What one generator process is told to do and what it hands back.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace fleet {

using Clock = std::chrono::steady_clock;

// How a request went. Every kind but Answered is a failure.
enum class Outcome : uint8_t {
    Answered,    // 200 and a readable answer (a poll's 0 or 1, a login's 1)
    Refused,     // the connection was refused
    Reset,       // reset or broken pipe
    Timeout,     // no whole reply within the time-out
    Tls,         // the handshake failed
    ClosedEarly, // the server closed before the whole reply
    BadStatus,   // another HTTP status, an unreadable reply or answer
    LoggedOut,   // a poll answered 2: the server knows no session
    Local,       // this machine ran out of something (descriptors, ports)
};
inline constexpr int kOutcomes = 9;
const char *outcomeName(Outcome o);
using Counts = std::array<uint64_t, kOutcomes>;

// Source addresses: desktop n sits on 127.1.0.1 + n / perAddress.
inline uint32_t sourceAddress(int desktop, int perAddress)
{
    return (127u << 24 | 1u << 16) + 1u + uint32_t(desktop / perAddress);
}
inline std::string userName(int desktop)
{
    std::string digits = std::to_string(desktop);
    return "fleet" + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}
inline constexpr char kUserPassword[] = "fleet-desktop";

struct GeneratorPlan
{
    int first = 0; // desktops first ... first + count - 1
    int count = 0;
    std::vector<int> ports; // desktop n talks to ports[n % ports.size()]
    bool persistent = true; // keep-alive and resumption, or a new connection and handshake per poll
    int perAddress = 1;
    int64_t intervalUs = 2000000;
    int64_t rampUs = 30000000;   // desktops log in at random moments of the ramp-up
    int64_t windowUs = 30000000; // then the measured window
    int64_t timeoutUs = 30000000;
    bool storm = false; // go on polling after the window until told to finish (else only keep the connections)
    uint32_t seed = 1;
    Clock::time_point epoch; // the ramp-up starts here
};

// Messages between the conductor and a generator. A generator says when
// every poll due in the window has ended, and goes on (polling, with a storm
// to come) until told to finish: its connections stay open while the
// conductor reads the server's figures, and the restart does not fall on
// polls the window still owes.
struct Control
{
    enum Kind : int32_t { ServerStopping = 1, Finish = 2, Drained = 3 };
    int32_t kind = 0;
    int32_t unused = 0;
    int64_t atUs = 0; // since the epoch
};

inline constexpr int64_t kStormBucketUs = 100000;

struct GeneratorResult
{
    Counts polls{};  // polls due in the window, by outcome
    Counts logins{}; // every login, by outcome
    uint64_t connectsInWindow = 0, fullHandshakes = 0, resumedHandshakes = 0;
    uint64_t openAtWindowEnd = 0;
    uint64_t missedSlots = 0; // polls of the window never sent: a failed request was still out
    double cpuUser = 0, cpuSystem = 0; // over the window, seconds
    long peakRssKb = 0;
    std::string tls; // protocol, suite and group of a handshake
    std::vector<uint32_t> latencyUs; // of the answered polls of the window
    // The storm: per desktop, microseconds from the stop to its first poll
    // answered on a connection opened after it (-1: none); failures in
    // 100 ms steps from the stop.
    std::vector<int64_t> recoveredUs;
    std::vector<Counts> stormFailures;

    std::string serialize() const;
    bool deserialize(const std::string &bytes);
};

// Runs a generator in this (forked) process; answers when it has finished.
GeneratorResult runGenerator(const GeneratorPlan &plan, int control);

} // namespace fleet
