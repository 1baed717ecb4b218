#pragma once

#include <chrono>
#include <string>

namespace kw::authexec {

// How password guessing is slowed: the first freeAttempts failures cost nothing, each one
// after that reserves the next attempt a delay of unit, doubled per failure up to maxDelay.
struct GuessPolicy {
    unsigned freeAttempts = 3;
    std::chrono::milliseconds unit { 1000 };
    std::chrono::milliseconds maxDelay { 60000 };
};

struct AttemptSlot {
    enum class Verdict { Proceed, TooManyWaiting, StateUnusable };
    Verdict verdict = Verdict::StateUnusable;
    unsigned failures = 0;                // counting this attempt
    std::chrono::milliseconds wait { 0 }; // how long before the password may be checked
    std::string problem;                  // why the state cannot be used
};

// Failed password checks, one record per account in a folder only root can write. Each
// attempt is counted as a failure before its password is checked, so killing the checker
// never hides it; only a success clears the record. Records are locked while they change,
// so parallel attempts take turns: each reserves its own time slot, and an attempt that
// would have to wait for more than one full delay behind others is refused outright.
class GuessCounter {
public:
    GuessCounter(std::string stateDir, GuessPolicy policy);

    // Counts an attempt against the record named key (a file name without "/").
    AttemptSlot countAttempt(const std::string& key) const;

    // Removes the record after a success; false when it cannot be changed.
    bool clear(const std::string& key) const;

    // The delay reserved after the given number of failures.
    std::chrono::milliseconds delayAfter(unsigned failures) const;

private:
    // Opens the state folder, making it when missing; -1 with the reason when it is not safe.
    int openStateDir(std::string& problem) const;

    std::string m_stateDir;
    GuessPolicy m_policy;
};

} // namespace kw::authexec
