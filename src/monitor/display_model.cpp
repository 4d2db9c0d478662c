#include "monitor/display_model.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <vector>

namespace gw::monitor {

long double RoundHalfEven(long double value) {
    if (!std::isfinite(value)) return value;
    const long double below = std::floor(value);
    const long double fraction = value - below;
    if (fraction < 0.5L) return below;
    if (fraction > 0.5L) return below + 1;
    return std::fmod(below, 2.0L) == 0 ? below : below + 1;
}

std::string FixedText(long double value, int decimals) {
    // A reply of 255 digits is a valid number; grow until it fits.
    std::vector<char> buffer(64);
    for (;;) {
        const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                             std::chars_format::fixed, decimals);
        if (ec == std::errc()) {
            std::string text(buffer.data(), end);
            if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) {
                text.erase(0, 1);
            }
            return text;
        }
        buffer.resize(buffer.size() * 4);
    }
}

void TRLed::SetValue(long double value) {
    const long double rounded = RoundHalfEven(value);
    if (std::isnan(rounded) || rounded > Max) return;
    position_ = rounded < INT_MIN ? INT_MIN : static_cast<int>(rounded);
}

int TRLed::SegmentCount() const {
    if (SegmentSize <= 0 || Height <= 2) return 0;
    return (Height - 2) / SegmentSize;
}

int TRLed::LitSegments() const {
    if (Max <= 0) return 0;
    const long double percent = RoundHalfEven(100.0L * position_ / Max);
    if (percent <= 0) return 0;
    const int count = SegmentCount();
    const long double lit = RoundHalfEven(count * percent / 100);
    return std::clamp(static_cast<int>(std::min<long double>(lit, count)), 0, count);
}

bool TRLed::IsLit(int segment) const {
    const int count = SegmentCount();
    return segment >= 1 && segment <= count && segment > count - LitSegments();
}

bool TRLed::InHighZone(int segment) const {
    return segment < RoundHalfEven(static_cast<long double>(SegmentCount()) * BreakPos / 100);
}

Rgb TRLed::SegmentColour(int segment) const {
    const Rgb zone = InHighZone(segment) ? kHighColour : kLowColour;
    if (IsLit(segment)) return zone;
    return Rgb{static_cast<std::uint8_t>(zone.R / 2), static_cast<std::uint8_t>(zone.G / 2),
               static_cast<std::uint8_t>(zone.B / 2)};
}

}  // namespace gw::monitor
