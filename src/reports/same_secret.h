// Comparing a password or a login a client sent with the stored one.
//
// Thread rule: a plain function; any thread.
#pragma once

#include <string_view>

namespace gw::reports {

// Equal texts, compared in a time that tells nothing about where they differ nor about the
// stored text's length: it depends on the length of what was sent alone.
bool SameSecret(std::string_view sent, std::string_view stored);

}  // namespace gw::reports
