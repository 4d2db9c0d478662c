// The text of one report mail: the addresses from the settings' fields, the header lines and
// the body as the DATA command carries it. Pure functions, any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace gw::reports {

struct MailAddress {
    std::string DisplayName;  // empty when none was given
    std::string Address;      // what goes between the angle brackets of MAIL FROM / RCPT TO
};

// "addr", "Name <addr>" or "\"Name\" <addr>". Control characters are dropped so that a value
// edited in the settings file cannot add a command or a header line.
MailAddress ParseAddress(std::string_view text);
// A comma-separated list; empty entries are skipped. Commas inside quotes or angle brackets
// do not separate.
std::vector<MailAddress> ParseAddressList(std::string_view text);
// "Name <addr>", the name quoted when it holds characters that would end it; or "addr".
std::string FormatAddress(const MailAddress& address);

// "Wed, 09 Dec 2026 03:02:26 +0100": the Internet mail form in local time with its offset,
// English names whatever the user's locale.
std::string InternetDate(std::chrono::system_clock::time_point t);

struct MailHeaders {
    MailAddress From;
    std::vector<MailAddress> To;
    std::string Subject;
    std::chrono::system_clock::time_point Date;
    std::string MessageId;  // without the angle brackets; empty leaves the line out
};

// What follows the DATA command up to and including the terminating ".": the header lines, a
// blank line, the body split at its line ends (CR LF, LF or CR) and joined by CR LF, lines
// starting with "." doubled. The body's bytes pass unchanged otherwise.
std::string MailPayload(const MailHeaders& headers, std::string_view body);

}  // namespace gw::reports
