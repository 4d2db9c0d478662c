#include "reports/mail_message.h"

#include <ctime>

namespace gw::reports {

namespace {

constexpr const char* kMailer = "Gridwarden";
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string WithoutControls(std::string_view text) {
    std::string clean;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) clean.push_back(c);
    }
    return clean;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

std::string Unquoted(std::string_view name) {
    name = Trimmed(name);
    if (name.size() < 2 || name.front() != '"' || name.back() != '"') return std::string(name);
    std::string plain;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] == '\\' && i + 2 < name.size()) ++i;
        plain.push_back(name[i]);
    }
    return plain;
}

}  // namespace

MailAddress ParseAddress(std::string_view text) {
    const std::string clean = WithoutControls(text);
    const std::string_view view = Trimmed(clean);
    const auto open = view.rfind('<');
    const auto close = view.rfind('>');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return {"", std::string(view)};
    }
    return {Unquoted(view.substr(0, open)),
            std::string(Trimmed(view.substr(open + 1, close - open - 1)))};
}

std::vector<MailAddress> ParseAddressList(std::string_view text) {
    std::vector<MailAddress> list;
    bool quoted = false;
    int angle = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ',';
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '<') ++angle;
        if (!quoted && c == '>' && angle > 0) --angle;
        if (c != ',' || ((quoted || angle > 0) && i < text.size())) continue;
        MailAddress address = ParseAddress(text.substr(start, i - start));
        if (!address.Address.empty()) list.push_back(std::move(address));
        start = i + 1;
    }
    return list;
}

std::string FormatAddress(const MailAddress& address) {
    if (address.DisplayName.empty()) return address.Address;
    std::string name = address.DisplayName;
    if (name.find_first_of("()<>[]:;@\\,.\"") != std::string::npos) {
        std::string quoted = "\"";
        for (const char c : name) {
            if (c == '"' || c == '\\') quoted.push_back('\\');
            quoted.push_back(c);
        }
        name = quoted + "\"";
    }
    return name + " <" + address.Address + ">";
}

std::string InternetDate(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    if (localtime_r(&seconds, &tm) == nullptr) return {};
    const long offset_minutes = tm.tm_gmtoff / 60;
    const long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[tm.tm_wday % 7], tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, offset_minutes < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return text;
}

std::string MailPayload(const MailHeaders& headers, std::string_view body) {
    std::string to;
    for (const MailAddress& address : headers.To) {
        if (!to.empty()) to += ", ";
        to += FormatAddress(address);
    }
    std::string payload;
    payload += "From: " + FormatAddress(headers.From) + "\r\n";
    payload += "To: " + to + "\r\n";
    payload += "Subject: " + WithoutControls(headers.Subject) + "\r\n";
    payload += "Date: " + InternetDate(headers.Date) + "\r\n";
    if (!headers.MessageId.empty()) payload += "Message-ID: <" + headers.MessageId + ">\r\n";
    payload += std::string("X-Mailer: ") + kMailer + "\r\n";
    payload += "\r\n";

    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view line = body.substr(start, end - start);
        if (!line.empty() && line.front() == '.') payload += '.';
        payload.append(line);
        payload += "\r\n";
        start = end;
        if (start < body.size() && body[start] == '\r') {
            ++start;
            if (start < body.size() && body[start] == '\n') ++start;
        } else if (start < body.size()) {
            ++start;  // a bare LF
        }
    }
    payload += ".\r\n";
    return payload;
}

}  // namespace gw::reports
