// Slows down guessing of a server's password: after a failed login, the next check of
// credentials from the same address waits its turn, and each further failure doubles the wait.
// Checks from one address run one after the other, however many connections it opens, so the
// rate of guesses is bounded per address, not per connection. Failures are counted per burst
// (failures from one address with less than kQuiet between them) for one log line each, which
// the owner takes on its own thread.
//
// Thread rule: every method from any thread (the servers' threads schedule and record, the
// main thread takes the log lines); one mutex guards the table.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace gw::reports {

class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // The wait after the first failure; it doubles up to kLongestDelay.
    static constexpr std::chrono::milliseconds kFirstDelay{250};
    static constexpr std::chrono::milliseconds kLongestDelay{8000};
    // An address whose turn lies further ahead than this is refused without a check: it has
    // more attempts queued than it could have honestly.
    static constexpr std::chrono::milliseconds kLongestWait = 2 * kLongestDelay;
    // A burst ends (and the address starts afresh) after this long without a failure.
    static constexpr std::chrono::seconds kQuiet{60};
    // A burst that goes on is reported this often, so that a running attack shows in the log.
    static constexpr std::chrono::minutes kReportEvery{10};
    // Addresses remembered at once; beyond, the one quiet longest is reported and forgotten.
    static constexpr std::size_t kMaxAddresses = 4096;

    explicit LoginThrottle(std::chrono::milliseconds first_delay = kFirstDelay)
        : first_delay_(first_delay) {}

    // When the next check of credentials from `address` may run (`now` when it has not failed
    // lately); none when that lies beyond kLongestWait: refuse without checking.
    std::optional<Clock::time_point> Schedule(const std::string& address, Clock::time_point now);
    void Failed(const std::string& address, Clock::time_point now);
    // A login passed: the next one from there need not wait. The burst is still reported.
    void Passed(const std::string& address);

    // The lines "N failed logins from ADDRESS" of the bursts that ended by `now`, or ran for
    // kReportEvery; with `all`, of every burst (when the server stops).
    std::vector<std::string> TakeReports(Clock::time_point now, bool all = false);

private:
    struct Address {
        int Streak = 0;                // failures since the last pass or quiet spell
        Clock::time_point NextTurn{};  // when the next check may run
        Clock::time_point LastFailure{};
        Clock::time_point BurstStart{};
        int Unreported = 0;  // failures not in a log line yet
    };

    static std::string ReportLine(int count, const std::string& address);
    std::chrono::milliseconds Delay(int streak) const;
    void ForgetQuietest();

    const std::chrono::milliseconds first_delay_;
    std::mutex mutex_;
    std::unordered_map<std::string, Address> addresses_;
    std::vector<std::string> pending_;  // lines of forgotten addresses
};

}  // namespace gw::reports
