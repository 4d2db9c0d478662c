#include "reports/login_throttle.h"

#include <algorithm>

namespace gw::reports {

namespace {

constexpr int kLongestStreak = 30;  // far beyond the longest delay; keeps the shift in range
constexpr std::size_t kMaxPending = 256;

}  // namespace

std::string LoginThrottle::ReportLine(int count, const std::string& address) {
    return std::to_string(count) + " failed logins from " + address;
}

std::chrono::milliseconds LoginThrottle::Delay(int streak) const {
    return std::min<std::chrono::milliseconds>(first_delay_ * (1LL << std::min(streak - 1, 20)),
                                               kLongestDelay);
}

std::optional<LoginThrottle::Clock::time_point> LoginThrottle::Schedule(const std::string& address,
                                                                        Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = addresses_.find(address);
    if (found == addresses_.end()) return now;
    Address& entry = found->second;
    if (entry.Streak > 0 && now - entry.LastFailure >= kQuiet) entry.Streak = 0;
    if (entry.Streak == 0) return now;
    const Clock::time_point turn = std::max(now, entry.NextTurn);
    if (turn - now > kLongestWait) return std::nullopt;
    // This attempt holds its turn: the next one from there queues behind it, failed or not.
    const std::chrono::milliseconds delay = Delay(entry.Streak);
    entry.NextTurn = turn + delay;
    return turn;
}

void LoginThrottle::Failed(const std::string& address, Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (addresses_.size() >= kMaxAddresses && addresses_.count(address) == 0) ForgetQuietest();
    Address& entry = addresses_[address];
    if (entry.Unreported > 0 && now - entry.LastFailure >= kQuiet) {
        // The last burst ended before anyone took its line.
        if (pending_.size() < kMaxPending)
            pending_.push_back(ReportLine(entry.Unreported, address));
        entry.Unreported = 0;
    }
    if (entry.Streak > 0 && now - entry.LastFailure >= kQuiet) entry.Streak = 0;
    if (entry.Unreported == 0) entry.BurstStart = now;
    entry.Streak = std::min(entry.Streak + 1, kLongestStreak);
    ++entry.Unreported;
    entry.LastFailure = now;
    const std::chrono::milliseconds delay = Delay(entry.Streak);
    entry.NextTurn = std::max(entry.NextTurn, now + delay);
}

void LoginThrottle::Passed(const std::string& address) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = addresses_.find(address);
    if (found != addresses_.end()) found->second.Streak = 0;
}

std::vector<std::string> LoginThrottle::TakeReports(Clock::time_point now, bool all) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines = std::move(pending_);
    pending_.clear();
    for (auto it = addresses_.begin(); it != addresses_.end();) {
        Address& entry = it->second;
        const bool quiet = now - entry.LastFailure >= kQuiet;
        if (entry.Unreported > 0 &&
            (all || quiet || now - entry.BurstStart >= std::chrono::milliseconds(kReportEvery))) {
            lines.push_back(ReportLine(entry.Unreported, it->first));
            entry.Unreported = 0;
            entry.BurstStart = now;
        }
        // A quiet address starts afresh, so it need not be remembered.
        it = entry.Unreported == 0 && quiet ? addresses_.erase(it) : std::next(it);
    }
    return lines;
}

void LoginThrottle::ForgetQuietest() {
    const auto quietest = std::min_element(
        addresses_.begin(), addresses_.end(),
        [](const auto& a, const auto& b) { return a.second.LastFailure < b.second.LastFailure; });
    if (quietest == addresses_.end()) return;
    if (quietest->second.Unreported > 0 && pending_.size() < kMaxPending) {
        pending_.push_back(ReportLine(quietest->second.Unreported, quietest->first));
    }
    addresses_.erase(quietest);
}

}  // namespace gw::reports
