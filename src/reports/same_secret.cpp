#include "reports/same_secret.h"

#include <cstddef>

namespace gw::reports {

bool SameSecret(std::string_view sent, std::string_view stored) {
    // One pass over what was sent, whatever it holds: the time grows with the length the
    // client chose and with nothing else, neither the first difference nor the stored length.
    // The stored text is read round and round so that every step does the same work.
    volatile unsigned char differ = sent.size() == stored.size() ? 0 : 1;
    const std::size_t period = stored.empty() ? 1 : stored.size();
    const unsigned char* other =
        reinterpret_cast<const unsigned char*>(stored.empty() ? "" : stored.data());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto mine = static_cast<unsigned char>(sent[i]);
        differ = differ | static_cast<unsigned char>(mine ^ other[i % period]);
    }
    return differ == 0;
}

}  // namespace gw::reports
