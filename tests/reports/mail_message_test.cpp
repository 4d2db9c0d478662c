#include "reports/mail_message.h"

#include <gtest/gtest.h>

namespace gw::reports {
namespace {

// clang-format off
struct AddressCase { const char* Text; const char* Name; const char* Address; const char* Shown; };
const AddressCase kAddresses[] = {
    {"ups@example.org",                    "",            "ups@example.org", "ups@example.org"},
    {"  UPS Room <ups@example.org> ",      "UPS Room",    "ups@example.org", "UPS Room <ups@example.org>"},
    {"\"Room 1, UPS\" <ups@example.org>",  "Room 1, UPS", "ups@example.org", "\"Room 1, UPS\" <ups@example.org>"},
    {"ups@example.org\r\nRCPT TO:<x@y>",   "ups@example.orgRCPT TO:", "x@y", nullptr},
    {"Evil\r\nBcc: x@y <ups@example.org>", "EvilBcc: x@y", "ups@example.org", nullptr},
};
// clang-format on

TEST(MailAddress, ParsedWithoutControlCharacters) {
    for (const auto& c : kAddresses) {
        SCOPED_TRACE(c.Text);
        const MailAddress address = ParseAddress(c.Text);
        EXPECT_EQ(address.DisplayName, c.Name);
        EXPECT_EQ(address.Address, c.Address);
        if (c.Shown) {
            EXPECT_EQ(FormatAddress(address), c.Shown);
        }
    }
}

TEST(MailAddress, ListSplitsAtCommasOutsideQuotesAndBrackets) {
    const auto list = ParseAddressList("a@x.org, \"B, Jr.\" <b@x.org>,, <c@x.org>,");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Address, "a@x.org");
    EXPECT_EQ(list[1].DisplayName, "B, Jr.");
    EXPECT_EQ(list[1].Address, "b@x.org");
    EXPECT_EQ(list[2].Address, "c@x.org");
}

TEST(MailPayload, HeadersThenTheBodyWithCrLfAndDotsDoubled) {
    MailHeaders headers;
    headers.From = {"UPS", "ups@x.org"};
    headers.To = {{"", "a@x.org"}, {"B", "b@x.org"}};
    headers.Subject = "Warning - \r\nBcc: x@y";
    headers.Date = std::chrono::system_clock::time_point(std::chrono::hours(24 * 365));
    EXPECT_EQ(MailPayload(headers, "one\ntwo\r\n.\r\n..three\rfour\r\n\r\n\260"),
              "From: UPS <ups@x.org>\r\n"
              "To: a@x.org, B <b@x.org>\r\n"
              "Subject: Warning - Bcc: x@y\r\n"
              "Date: Fri, 01 Jan 1971 00:00:00 +0000\r\n"  // the tests run in UTC
              "X-Mailer: Gridwarden\r\n"
              "\r\n"
              "one\r\ntwo\r\n..\r\n...three\r\nfour\r\n\r\n\260\r\n"
              ".\r\n");
}

}  // namespace
}  // namespace gw::reports
