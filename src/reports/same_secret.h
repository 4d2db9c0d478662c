// Comparing a password or a login a client sent with the stored one.
//
// Thread rule: a plain function; any thread.
#pragma once

#include <string_view>

namespace gw::reports {

// Equal texts, compared in a time that tells nothing about where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace gw::reports
