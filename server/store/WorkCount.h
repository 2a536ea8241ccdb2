#pragma once

#include <atomic>

namespace alertserver {

// What the store did that takes time or could tell a caller something,
// counted so that tests and benchmarks compare work instead of timing it.
struct WorkCount
{
    std::atomic<int> hashes{0};         // PBKDF2 runs: passwords hashed or checked
    std::atomic<int> passwordChecks{0}; // user and administrator passwords compared
    std::atomic<int> mails{0};          // mails queued

    void reset()
    {
        hashes = 0;
        passwordChecks = 0;
        mails = 0;
    }
};

} // namespace alertserver
