// What must hold for any bytes a UPS (or a broken cable) can send. Shared by
// the libFuzzer targets and the random-bytes test of the ordinary build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "link/protocol.h"
#include "link/status_reply.h"

namespace gw::fuzz {

inline void Require(bool condition) {
    if (!condition) std::abort();
}

inline bool Inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

inline void CheckReplyParsers(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);

    const link::NumberResult number = link::ParseNumber(raw);
    Require(number.Value.has_value() != !number.Error.empty());

    for (std::size_t start : {std::size_t{0}, std::size_t{1}, size / 2, size}) {
        const auto fields = link::ScanFields(raw, start, 8, '\r');
        Require(fields.size() <= 8);
        for (std::string_view field : fields) Require(!field.empty() && Inside(field, raw));
    }

    const std::string text = link::BuildStatusText(raw);
    Require(text.size() <= link::kMaxStatusText);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        Require(byte != 0 && byte < 128 && byte != '\r');
    }
    const auto fields = link::SplitStatusText(text);
    Require(fields.size() <= link::kStatusFieldCount);
    for (std::string_view field : fields) Require(Inside(field, text));
    for (const auto& row : link::kStatusBits) {
        link::StatusBit(fields.empty() ? std::string_view() : fields.back(), row.Flag);
    }

    const link::InfoFields info = link::CutInfoFields(raw);
    Require(info.Manufacturer.size() <= 15 && info.Model.size() <= 10 && info.Version.size() <= 10);
    const link::RatingFields rating = link::CutRatingFields(raw);
    Require(rating.Values.size() <= 4);

    for (const auto& row : link::kCommands) {
        link::AcceptsReply(row.Id, raw);
        link::IsEcho(row.Id, raw, 5);
    }
}

}  // namespace gw::fuzz
