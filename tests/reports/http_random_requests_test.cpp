// The fuzz target's checks on mutated requests in the ordinary build, so the gcc pass runs them
// too: flipped, dropped and repeated bytes of a few good requests.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fuzz/http_request_checks.h"

namespace gw::reports {
namespace {

TEST(HttpRandomRequestsTest, MutatedRequestsKeepEveryRule) {
    // "user:se:cret" in Base64.
    const std::string seeds[] = {
        "GET /?a=1 HTTP/1.1\r\nHost: x\r\nAuthorization: Basic dXNlcjpzZTpjcmV0\r\n\r\n",
        "POST / HTTP/1.0\r\nAuthorization: basic dXNlcjpzZTpjcmV0\r\nContent-Length: 3\r\n\r\nabc",
        "GET %2F?x=%zz HTTP/1.1\r\nAuthorization:   Basic  dXNlcjpzZTpjcmV0 \r\n\r\n",
        "HEAD / HTTP/1.1\r\nAuthorization: Basic dXNlcjpzZTpjcmV0\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nAuthorization: Basic dXNlcjpzZTpjcmV0\r\n\r\n",
        "GET /history?range=week HTTP/1.1\r\nAuthorization: Basic dXNlcjpzZTpjcmV0\r\n\r\n",
        "GET /history.json?from=-1h&to=now HTTP/1.1\r\nAuthorization: Basic "
        "dXNlcjpzZTpjcmV0\r\n\r\n",
    };
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string text = seeds[round % std::size(seeds)];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = random() % text.size();
            switch (random() % 4) {
                case 0:
                    text[at] = static_cast<char>(random());
                    break;
                case 1:
                    text.erase(at, 1);
                    break;
                case 2:
                    text.insert(at, 1, text[at]);
                    break;
                default:
                    text[at] ^= 0x20;
                    break;  // letter case
            }
        }
        fuzz::CheckHttpRequest(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    // The seeds reach what the credentials guard, so the checks above are not vacuous.
    for (const std::string& seed : seeds) {
        EXPECT_TRUE(
            fuzz::CheckHttpRequest(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()))
            << seed;
    }
}

}  // namespace
}  // namespace gw::reports
