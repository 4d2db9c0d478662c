// The states every surface must tell alike, each with the summary it gets. Times are UTC
// (the test binaries run with TZ=UTC).
#pragma once

#include <chrono>
#include <vector>

#include "monitor/ups_state.h"

namespace gw::fakes {

struct SampleState {
    const char* Name;
    monitor::UpsState State;
    const char* Summary;
    bool Up;
};

inline monitor::UpsState FreshOnMains() {
    monitor::UpsState s;
    s.Link = monitor::Contact::Fresh;
    s.Known = true;
    // 2023-11-14 22:13:20 UTC
    s.LastReply = std::chrono::system_clock::from_time_t(1'700'000'000);
    s.LastReplyAgeSeconds = 1;
    s.Readings.InputVolts = monitor::Quantity{230.0, 1};
    s.Readings.OutputVolts = monitor::Quantity{229.5, 1};
    s.Readings.LoadPercent = monitor::Quantity{21, 0};
    s.Readings.BatteryVolts = 27.2;
    s.Readings.BatteryCellVolts = 2.27;
    s.Battery.ChargePercent = 97.4;
    s.Battery.RuntimeSeconds = 2040;
    s.Battery.Health = monitor::BatteryVerdict::Good;
    s.Battery.HealthEvidence = "capacity 98 % of new";
    s.Protection.Action = monitor::PowerAction::PowerOff;
    s.Model = "Office 650";
    return s;
}

inline std::vector<SampleState> SampleStates() {
    using monitor::Contact;
    using monitor::ResponseState;
    std::vector<SampleState> out;
    out.push_back({"normal", FreshOnMains(), "On mains · 97 % · about 34 min", true});

    monitor::UpsState counting = FreshOnMains();
    counting.Flags[static_cast<std::size_t>(link::StatusFlag::PowerFail)] = true;
    counting.Mode = monitor::UpsMode::OnBattery;
    counting.Protection.State = ResponseState::Counting;
    counting.Protection.Left = std::chrono::seconds(598);
    out.push_back({"on battery", counting, "ON BATTERY · power off in 9:58", true});

    monitor::UpsState low = counting;
    low.Flags[static_cast<std::size_t>(link::StatusFlag::BatteryLow)] = true;
    low.Protection.State = ResponseState::Acting;
    low.Protection.Left.reset();
    out.push_back({"battery low", low, "BATTERY LOW · powering off", true});

    monitor::UpsState stale = FreshOnMains();
    stale.Link = Contact::Stale;
    stale.LastReplyAgeSeconds = 50;
    out.push_back({"silent", stale, "No reply from the UPS since 22:13:20", false});

    monitor::UpsState none;
    out.push_back({"no UPS", none, "No UPS found: check the cable", false});

    monitor::UpsState replace = FreshOnMains();
    replace.Battery.Health = monitor::BatteryVerdict::Replace;
    replace.Battery.HealthEvidence = "capacity 41 % of new";
    out.push_back({"replace", replace, "Battery: replace", true});
    return out;
}

}  // namespace gw::fakes
