// The five commands the user sends to the UPS from the tool bar: the three self-tests,
// cancelling a test and the beeper toggle. A Megatec UPS acknowledges a command only by not
// echoing it back, so a refused command (echoed) switches its button off for the rest of the
// run. An accepted test or toggle is checked against the status replies that fall within the
// time it should show, so that a UPS that ignored it silently is told in the status bar
// instead of passing for success; without such a reply nothing is said.
//
// Thread rule: main thread only. The exchange takes DataMutex itself and may wait for a poll
// under way.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "monitor/ups_state.h"

namespace gw::monitor {

enum class UserCommand { ToggleBeeper, Test10s, TestMinutes, TestUntilLow, CancelTest };

// What the status replies must show for an accepted command to have taken effect.
enum class CommandEffect { None, TestRuns, BeeperFlips };

struct UserCommandRow {
    UserCommand Which;
    const char* Button;  // the tool button's objectName
    const char* Hint;
    const char* Text;          // sent with CR; TestMinutes adds two digits first
    const char* NotSupported;  // the status bar text after an echo
    bool DisplayModel::*Enabled;
    CommandEffect Effect;
};

// clang-format off
inline constexpr UserCommandRow kUserCommands[] = {
    {UserCommand::ToggleBeeper, "UPSBeeperSB", "Toggle UPS Beeper", "Q",
     "\"Toggle the UPS beeper\" command not supported!",
     &DisplayModel::UPSBeeperSBEnabled, CommandEffect::BeeperFlips},
    {UserCommand::Test10s, "Test10sSB", "Test for 10 seconds", "T",
     "\"Test for 10 seconds\" command not supported!",
     &DisplayModel::Test10sSBEnabled, CommandEffect::TestRuns},
    {UserCommand::TestMinutes, "TestTSB", "Test for specified time period", "T",
     "\"Test for specified time period\" command not supported!",
     &DisplayModel::TestTSBEnabled, CommandEffect::TestRuns},
    {UserCommand::TestUntilLow, "TestLowSB", "Test until battery low", "TL",
     "\"Test until battery low\" command not supported!",
     &DisplayModel::TestLowSBEnabled, CommandEffect::TestRuns},
    {UserCommand::CancelTest, "CancelTestSB", "Cancel Test", "CT",
     "\"Cancel Test\" command not supported!",
     &DisplayModel::CancelTestSBEnabled, CommandEffect::None},
};
inline constexpr char kTestNotStarted[]     = "The UPS did not start the test";
inline constexpr char kBeeperNotChanged[]   = "The beeper did not change";
inline constexpr char kNoUpsForCommand[]    = "UPS not found!";
// clang-format on

const UserCommandRow& RowOf(UserCommand which);

// The command as sent, CR included: "T05\r" for five minutes. Empty for minutes outside
// 1..99, which are not sent.
std::string CommandBytes(UserCommand which, int minutes = 0);

class UserCommands {
public:
    // Sends the bytes and returns every byte of the reply (empty for none).
    using Exchange = std::function<std::string(std::string_view command)>;
    // True while a HID device is selected or a COM port is open.
    using LinkPresent = std::function<bool()>;
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    UserCommands(Exchange exchange, LinkPresent link_present, DisplayModel& display,
                 StatusBar& status, Now now = Clock::now);

    // One click: `minutes` only for TestMinutes. Returns whether the command went out.
    bool Send(UserCommand which, int minutes = 0);

    // After each cycle whose reply was evaluated in full, with `state` made of it.
    void OnStatusShown(const UpsState& state);

private:
    // The replies shown from `From` to `Until` must show the command's effect.
    struct Watch {
        bool Armed = false;
        Clock::time_point From;
        Clock::time_point Until;
    };
    void Arm(Watch& watch, Clock::time_point sent, Clock::time_point answered,
             std::chrono::seconds lasts);
    // True when the reply just shown proves the command ignored. A reply that settles the
    // question either way ends the watch.
    bool Refutes(Watch& watch, bool shows_effect, Clock::time_point now);

    Exchange exchange_;
    LinkPresent link_present_;
    DisplayModel& display_;
    StatusBar& status_;
    Now now_;

    Watch test_;
    Watch beeper_;
    // The beeper's state after the accepted toggles, known once a reply has shown it.
    std::optional<bool> beeper_expected_;
};

}  // namespace gw::monitor
