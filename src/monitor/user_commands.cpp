#include "monitor/user_commands.h"

#include <algorithm>

namespace gw::monitor {

namespace {

using std::chrono::minutes;
using std::chrono::seconds;

// A reply taken this soon after the command may predate its effect (or the command itself:
// a poll stored just before it is evaluated just after): it may confirm, never refute.
constexpr seconds kSettle{3};
// The UPS's clock and ours differ a little: a 10-second test may end a moment early.
constexpr seconds kEndMargin{1};
// Longer tests, and the beeper, are judged only so long: a change seen later may be anyone's.
constexpr seconds kLongestWatch{120};

// How long the command's effect should show in the status replies.
seconds EffectLasts(UserCommand which, int test_minutes) {
    switch (which) {
        case UserCommand::Test10s:
            return seconds(10) - kEndMargin;
        case UserCommand::TestMinutes:
            return std::min<seconds>(minutes(test_minutes), kLongestWatch) - kEndMargin;
        default:
            return kLongestWatch;
    }
}

}  // namespace

const UserCommandRow& RowOf(UserCommand which) {
    for (const UserCommandRow& row : kUserCommands) {
        if (row.Which == which) return row;
    }
    return kUserCommands[0];
}

std::string CommandBytes(UserCommand which, int minutes) {
    std::string text = RowOf(which).Text;
    if (which == UserCommand::TestMinutes) {
        if (minutes < 1 || minutes > 99) return {};
        text += static_cast<char>('0' + minutes / 10);
        text += static_cast<char>('0' + minutes % 10);
    }
    return text + '\r';
}

UserCommands::UserCommands(Exchange exchange, LinkPresent link_present, DisplayModel& display,
                           StatusBar& status, Now now)
    : exchange_(std::move(exchange)),
      link_present_(std::move(link_present)),
      display_(display),
      status_(status),
      now_(std::move(now)) {}

bool UserCommands::Send(UserCommand which, int minutes) {
    const UserCommandRow& row = RowOf(which);
    const std::string command = CommandBytes(which, minutes);
    if (command.empty()) return false;
    if (!link_present_()) {
        status_.ShowStatus(kNoUpsForCommand);
        return false;
    }
    const Clock::time_point sent = now_();
    const std::string reply = exchange_(command);
    // The UPS echoes what it does not know: as many characters as the command has.
    const std::string_view echo(command.data(), command.size() - 1);
    if (reply.compare(0, echo.size(), echo) == 0) {
        display_.*row.Enabled = false;
        status_.ShowStatus(row.NotSupported);
        return true;
    }
    const Clock::time_point answered = now_();
    if (row.Effect == CommandEffect::BeeperFlips && beeper_expected_) {
        beeper_expected_ = !*beeper_expected_;
    }
    if (which == UserCommand::CancelTest) test_.Armed = false;
    // Only while monitoring runs do the replies to come follow the command closely, and does
    // the display show the beeper's state of now.
    if (!display_.StopSBEnabled) return true;
    if (row.Effect == CommandEffect::TestRuns) {
        Arm(test_, sent, answered, EffectLasts(which, minutes));
    } else if (row.Effect == CommandEffect::BeeperFlips && beeper_expected_) {
        Arm(beeper_, sent, answered, EffectLasts(which, minutes));
    }
    return true;
}

void UserCommands::Arm(Watch& watch, Clock::time_point sent, Clock::time_point answered,
                       std::chrono::seconds lasts) {
    watch.Armed = true;
    watch.From = answered + kSettle;
    watch.Until = sent + lasts;
}

bool UserCommands::Refutes(Watch& watch, bool shows_effect, Clock::time_point now) {
    if (!watch.Armed) return false;
    if (shows_effect || now > watch.Until) {
        watch.Armed = false;  // shown, or no reply came while it should have shown
        return false;
    }
    if (now < watch.From) return false;
    watch.Armed = false;
    return true;
}

void UserCommands::OnStatusShown(const UpsState& state) {
    const Clock::time_point now = now_();
    if (Refutes(test_, state.Flag(link::StatusFlag::TestInProgress), now)) {
        status_.ShowStatus(kTestNotStarted);
    }
    const bool beeper = state.Flag(link::StatusFlag::BeeperOn);
    if (Refutes(beeper_, beeper == beeper_expected_, now)) status_.ShowStatus(kBeeperNotChanged);
    // Until a toggle's effect is judged, the expectation is ours; after, the UPS's word.
    if (!beeper_.Armed) beeper_expected_ = beeper;
}

}  // namespace gw::monitor
