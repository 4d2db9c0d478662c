#include "monitor/ups_summary.h"

#include <cmath>
#include <cstdio>

#include "monitor/local_time.h"

namespace gw::monitor {

namespace {

constexpr char kDot[] = " \u00B7 ";

const char* ActionAhead(PowerAction action) {
    switch (action) {
        case PowerAction::PowerOff:
            return "power off";
        case PowerAction::Suspend:
            return "sleep";
        case PowerAction::Hibernate:
            return "hibernate";
    }
    return "";
}

const char* ActionUnderway(PowerAction action) {
    switch (action) {
        case PowerAction::PowerOff:
            return "powering off";
        case PowerAction::Suspend:
            return "going to sleep";
        case PowerAction::Hibernate:
            return "hibernating";
    }
    return "";
}

// " · 97 % · about 34 min", of what is known.
std::string BatteryParts(const UpsBattery& battery) {
    std::string text;
    if (battery.ChargePercent) {
        text += kDot + std::to_string(std::lround(*battery.ChargePercent)) + " %";
    }
    if (battery.RuntimeSeconds) text += kDot + RuntimeWords(*battery.RuntimeSeconds);
    return text;
}

}  // namespace

std::string RuntimeWords(double seconds) {
    const long minutes = std::lround(seconds / 60);
    if (minutes < 1) return "under 1 min";
    if (minutes < 60) return "about " + std::to_string(minutes) + " min";
    char text[48];
    std::snprintf(text, sizeof text, "about %ld h %02ld min", minutes / 60, minutes % 60);
    return text;
}

const char* SummaryLevelName(SummaryLevel level) {
    switch (level) {
        case SummaryLevel::Normal:
            return "normal";
        case SummaryLevel::Notice:
            return "notice";
        case SummaryLevel::Alarm:
            return "alarm";
    }
    return "";
}

std::string ClockText(std::chrono::seconds left) {
    const long long total = std::max<long long>(0, left.count());
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

UpsSummary SummaryOf(const UpsState& state) {
    const std::string ups = state.Source.empty() ? "the UPS" : state.Source;
    // A watched UPS's server says why it gave nothing: wrong password, no such UPS, ...
    const std::string why = state.Problem.empty() ? "" : ": " + state.Problem;
    switch (state.Link) {
        case Contact::NoUps:
            if (!state.Source.empty()) return {"No reply from " + ups + why, SummaryLevel::Alarm};
            return {"No UPS found: check the cable", SummaryLevel::Alarm};
        case Contact::NoContact:
            return {"No reply from " + ups + why, SummaryLevel::Alarm};
        case Contact::Stale:
            if (state.LastReply) {
                return {"No reply from " + ups + " since " +
                            LocalTimeText(*state.LastReply, "%H:%M:%S") + why,
                        SummaryLevel::Alarm};
            }
            return {"No reply from " + ups + why, SummaryLevel::Alarm};
        case Contact::Fresh:
            break;
    }
    const UpsProtection& protection = state.Protection;
    const bool low = state.BatteryLow() && state.OnBattery();
    const std::string head = low ? "BATTERY LOW" : "ON BATTERY";
    if (protection.Acting() && protection.Action) {
        return {head + kDot + ActionUnderway(*protection.Action), SummaryLevel::Alarm};
    }
    if (state.OnBattery()) {
        if (protection.State == ResponseState::Counting && protection.Left && protection.Action) {
            return {head + kDot + ActionAhead(*protection.Action) + " in " +
                        ClockText(*protection.Left),
                    SummaryLevel::Alarm};
        }
        return {head + BatteryParts(state.Battery), SummaryLevel::Alarm};
    }
    if (state.Battery.Health == BatteryVerdict::Replace) {
        return {"Battery: replace", SummaryLevel::Notice};
    }
    return {"On mains" + BatteryParts(state.Battery), SummaryLevel::Normal};
}

std::string TrayToolTip(const UpsState& state) { return "Gridwarden\n" + SummaryOf(state).Text; }

int TrayIconFor(const UpsState& state, int evaluation_index) {
    switch (state.Link) {
        case Contact::NoUps:
            return kTrayNoUps;
        case Contact::NoContact:
        case Contact::Stale:
            return kTrayNoContact;
        case Contact::Fresh:
            break;
    }
    if (state.OnBattery() && state.BatteryLow()) return kTrayBatteryLow;
    if (!state.OnBattery() && state.Battery.Health == BatteryVerdict::Replace) return kTrayReplace;
    return evaluation_index;
}

}  // namespace gw::monitor
