#include "app/settings_keys.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "monitor/battery_charge.h"
#include "monitor/power_fail_response.h"

namespace gw::app {

namespace {

int Clamped(long long value, int min, int max) {
    return static_cast<int>(std::clamp<long long>(value, min, max));
}

// What the model holds for a number row, as the file would say it.
std::string InForce(const DisplayModel& model, const SettingRow& row) {
    switch (row.Where) {
        case Binding::ActionGroup:
            for (std::size_t i = 0; i < std::size(kActionButtons); ++i) {
                if (model.*kActionButtons[i]) return std::to_string(i + 1);
            }
            return "none";
        case Binding::Control:
            if (row.Kind == SettingKind::Boolean) return model.*row.Check ? "1" : "0";
            [[fallthrough]];
        case Binding::Threshold:
            return std::to_string((model.*row.Position).Position);
        case Binding::ExternalProgram:
        case Binding::ComPort:
            break;
    }
    return "none";
}

std::string Note(SettingsText id, const DisplayModel& model, const SettingRow& row,
                 const StoredValue& value) {
    return FormatText(id, {row.Name, ShownValue(value), InForce(model, row)});
}

}  // namespace

std::string FormatText(SettingsText id, std::initializer_list<std::string_view> args) {
    const char* format = "";
    for (const auto& row : kSettingsTexts) {
        if (row.Id == id) format = row.Format;
    }
    std::string text;
    auto next = args.begin();
    for (const char* c = format; *c != '\0'; ++c) {
        if (c[0] == '%' && c[1] == 's' && next != args.end()) {
            text.append(*next++);
            ++c;
        } else {
            text.push_back(*c);
        }
    }
    return text;
}

std::string StoredKindError(const SettingRow& row, const StoredValue& value) {
    return FormatText(value.Is == StoredValue::Type::Unreadable ? SettingsText::FailedToGet
                                                                : SettingsText::InvalidDataType,
                      {row.Name});
}

const SettingRow* FindSetting(std::string_view name) {
    for (const auto& row : kSettings) {
        if (name == row.Name) return &row;
    }
    return nullptr;
}

std::optional<long long> StoredInteger(const StoredValue& value) {
    if (value.Is == StoredValue::Type::Integer) return value.Integer;
    if (value.Is != StoredValue::Type::Text || value.Text.empty()) return std::nullopt;
    const char* first = value.Text.data();
    const char* last = first + value.Text.size();
    long long number = 0;
    const auto [end, ec] = std::from_chars(first, last, number);
    if (end != last) return std::nullopt;
    if (ec == std::errc::result_out_of_range) return value.Text[0] == '-' ? LLONG_MIN : LLONG_MAX;
    if (ec != std::errc()) return std::nullopt;
    return number;
}

std::string ShownValue(const StoredValue& value) {
    if (value.Is == StoredValue::Type::Integer) return std::to_string(value.Integer);
    constexpr std::size_t kShown = 40;
    std::string shown;
    for (const char c : value.Text.substr(0, kShown)) shown += c >= ' ' && c <= '~' ? c : '?';
    return value.Text.size() > kShown ? shown + "..." : shown;
}

std::string ApplyStored(DisplayModel& model, const SettingRow& row, const StoredValue& value,
                        std::string& note) {
    if (row.Kind == SettingKind::String) {
        if (value.Is != StoredValue::Type::Text) return StoredKindError(row, value);
        if (row.Where == Binding::ExternalProgram) {
            monitor::ShowProgramPath(model, value.Text);
        } else {
            model.*row.Text = value.Text;
        }
        return {};
    }
    const std::optional<long long> number = StoredInteger(value);
    if (!number) {
        if (value.Is == StoredValue::Type::Text) {
            note = Note(SettingsText::NotANumber, model, row, value);
        }
        return StoredKindError(row, value);
    }
    bool in_range = true;
    switch (row.Where) {
        case Binding::Control:
            if (row.Kind == SettingKind::Boolean) {
                model.*row.Check = *number != 0;
            } else {
                (model.*row.Position).Position = Clamped(*number, row.Min, row.Max);
                in_range = *number == (model.*row.Position).Position;
            }
            break;
        case Binding::ActionGroup:
            in_range = *number >= row.Min && *number <= row.Max;
            if (in_range) {
                for (std::size_t i = 0; i < std::size(kActionButtons); ++i) {
                    model.*kActionButtons[i] = static_cast<long long>(i) + 1 == *number;
                }
            }
            break;
        case Binding::Threshold:
            for (const auto& threshold : monitor::kThresholds) {
                if (threshold.Control != row.Position) continue;
                in_range = monitor::LoadStoredThreshold(model, threshold.Which,
                                                        Clamped(*number, INT_MIN, INT_MAX));
            }
            break;
        case Binding::ExternalProgram:
        case Binding::ComPort:
            break;
    }
    if (!in_range) note = Note(SettingsText::OutOfRange, model, row, value);
    return {};
}

std::optional<StoreWrite> WriteFor(const DisplayModel& model, const SettingRow& row) {
    switch (row.Where) {
        case Binding::Control:
        case Binding::Threshold:
            if (row.Kind == SettingKind::Boolean) {
                return StoreWrite{row.Name, StoredValue::OfInteger(model.*row.Check ? 1 : 0)};
            }
            if (row.Kind == SettingKind::Integer) {
                return StoreWrite{row.Name, StoredValue::OfInteger((model.*row.Position).Position)};
            }
            return StoreWrite{row.Name, StoredValue::OfText(model.*row.Text)};
        case Binding::ActionGroup:
            for (std::size_t i = 0; i < std::size(kActionButtons); ++i) {
                if (model.*kActionButtons[i]) {
                    return StoreWrite{row.Name, StoredValue::OfInteger(static_cast<int>(i) + 1)};
                }
            }
            return std::nullopt;
        case Binding::ExternalProgram:
            if (model.ExternalProgramPath.empty()) return StoreWrite{row.Name, std::nullopt};
            return StoreWrite{row.Name, StoredValue::OfText(model.ExternalProgramPath)};
        case Binding::ComPort:
            break;
    }
    return std::nullopt;
}

}  // namespace gw::app
