#include "fuzz/http_request_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gw::fuzz::CheckHttpRequest(data, size);
    return 0;
}
