// UTF-8 to UTF-16 code units and back, for the INI layer: the window's settings library escapes
// and sorts by UTF-16 code units, so the daemon's copy of its rules must count the same way.
//
// Thread rule: any thread; pure functions.
#pragma once

#include <string>
#include <string_view>

namespace gw::app {

// Malformed UTF-8 becomes U+FFFD, one per byte.
std::u16string ToUtf16(std::string_view bytes);
// A lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view units);

}  // namespace gw::app
