#include "fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gw::fuzz::CheckReplyParsers(data, size);
    return 0;
}
