#include "reports/html_escape.h"

#include <gtest/gtest.h>

namespace gw::reports {
namespace {

TEST(HtmlEscapeTest, MarkupFromTheUpsCannotReachThePage) {
    struct Case {
        const char* text;
        const char* escaped;
    };
    // clang-format off
    const Case cases[] = {
        {"",                          ""},
        {"PLAIN 1.0",                 "PLAIN 1.0"},
        {"<script>x</script>",        "&lt;script&gt;x&lt;/script&gt;"},
        {"a&b \"c\" 'd'",             "a&amp;b &quot;c&quot; &#39;d&#39;"},
        {"&amp;",                     "&amp;amp;"},
        {"\xb5V",                     "\xb5V"},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(HtmlEscape(c.text), c.escaped) << c.text;
}

}  // namespace
}  // namespace gw::reports
