#include "link/status_reply.h"

#include "link/protocol.h"

namespace gw::link {

std::string BuildStatusText(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0 || byte >= 128) continue;
        if (byte == '\r') {
            text += '#';
            break;
        }
        text += c;
        if (text.size() == kMaxStatusText) break;
    }
    if (text.size() > kMaxStatusText) text.resize(kMaxStatusText);
    return text;
}

std::vector<std::string_view> SplitStatusText(std::string_view status_text) {
    if (status_text.empty() || status_text.front() != '(') return {};
    return ScanFields(status_text, 1, kStatusFieldCount, '#');
}

bool StatusBit(std::string_view bits_field, StatusFlag flag) {
    for (const auto& row : kStatusBits) {
        if (row.Flag == flag) {
            return row.Character <= bits_field.size() && bits_field[row.Character - 1] == '1';
        }
    }
    return false;
}

}  // namespace gw::link
