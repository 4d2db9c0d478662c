// The fuzz invariants over pseudo-random replies, for builds without
// libFuzzer: noise, truncations and mutations of real replies.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_bodies.h"

namespace gw::fuzz {
namespace {

TEST(RandomBytesTest, ParsersHoldTheirInvariants) {
    const std::vector<std::string> seeds = {
        "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r",
        "#Energizer       ER-HMOF600 A0        \r",
        "#220.0 003 12.00 50.0\r",
        "(000.0 000.0 000.0 000 00.0 0.00 00.0 00000000\r",
    };
    std::mt19937 random(12345);
    const std::string alphabet = std::string("0123456789., ()#\r\n\xB0\xFF", 21) + std::string(1, '\0');
    for (int round = 0; round < 20000; ++round) {
        std::string bytes = seeds[round % seeds.size()];
        switch (round % 4) {
            case 0:  // truncated
                bytes.resize(random() % (bytes.size() + 1));
                break;
            case 1:  // mutated
                for (int i = 0; i < 4; ++i) {
                    bytes[random() % bytes.size()] = alphabet[random() % alphabet.size()];
                }
                break;
            case 2:  // noise from the protocol's own alphabet
                bytes.resize(random() % 300);
                for (char& c : bytes) c = alphabet[random() % alphabet.size()];
                break;
            default:  // any bytes
                bytes.resize(random() % 600);
                for (char& c : bytes) c = static_cast<char>(random());
                break;
        }
        CheckReplyParsers(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}

}  // namespace
}  // namespace gw::fuzz
