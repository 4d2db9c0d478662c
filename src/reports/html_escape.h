// Escaping of text that comes from the UPS or the user before it goes into a page.
// A pure function, any thread.
#pragma once

#include <string>
#include <string_view>

namespace gw::reports {

// Replaces the five characters HTML gives meaning to (& < > " ') by their entities, so a
// model name or a raw reply cannot open a tag or end an attribute in the status page. Other
// bytes pass unchanged: the page is 8-bit like the wire.
std::string HtmlEscape(std::string_view text);

}  // namespace gw::reports
