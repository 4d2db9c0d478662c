#include "monitor/user_commands.h"

namespace gw::monitor {

namespace {

// A UPS that needs longer than this many status replies to show the change did not make it.
constexpr int kRepliesToWatch = 2;

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
                           StatusBar& status)
    : exchange_(std::move(exchange)),
      link_present_(std::move(link_present)),
      display_(display),
      status_(status) {}

bool UserCommands::Send(UserCommand which, int minutes) {
    const UserCommandRow& row = RowOf(which);
    const std::string command = CommandBytes(which, minutes);
    if (command.empty()) return false;
    if (!link_present_()) {
        status_.ShowStatus(kNoUpsForCommand);
        return false;
    }
    const bool beeper_before = display_.UPSStatusCB8;
    const std::string reply = exchange_(command);
    // The UPS echoes what it does not know: as many characters as the command has.
    const std::string_view echo(command.data(), command.size() - 1);
    if (reply.compare(0, echo.size(), echo) == 0) {
        display_.*row.Enabled = false;
        status_.ShowStatus(row.NotSupported);
        awaited_ = CommandEffect::None;
        return true;
    }
    awaited_ = row.Effect;
    beeper_before_ = beeper_before;
    replies_left_ = kRepliesToWatch;
    return true;
}

void UserCommands::OnStatusShown() {
    if (awaited_ == CommandEffect::None) return;
    const bool seen = awaited_ == CommandEffect::TestRuns ? display_.UPSStatusCB6
                                                          : display_.UPSStatusCB8 != beeper_before_;
    if (seen) {
        awaited_ = CommandEffect::None;
        return;
    }
    if (--replies_left_ > 0) return;
    status_.ShowStatus(awaited_ == CommandEffect::TestRuns ? kTestNotStarted : kBeeperNotChanged);
    awaited_ = CommandEffect::None;
}

}  // namespace gw::monitor
