// Any line a network client can send: the answer is whole printable lines built only from our
// own names and values, and quoting what the splitter returns gives the same words back.
#include <cstdlib>
#include <string>
#include <vector>

#include "reports/nut_protocol.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

gw::reports::NutState Serving() {
    gw::reports::NutState state;
    state.UpsFound = true;
    state.LastGoodReply = std::chrono::steady_clock::now();
    state.Description = "SIM \"650\"";
    state.Variables = {{"input.voltage", "230.0", true}, {"ups.status", "OL", false}};
    state.User = "nas";
    state.Password = "pw";
    state.Version = "0.1.0";
    return state;
}

struct OneClient final : gw::reports::NutClients {
    int Logins() const override { return 1; }
    std::vector<std::string> Addresses() const override { return {"192.0.2.7"}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const gw::reports::NutState state = Serving();
    static const OneClient clients;
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.substr(0, line.find('\n'));  // the server cuts at LF

    gw::reports::NutConnection connection;
    for (int i = 0; i < 2; ++i) {  // the second time with what the first one set
        const gw::reports::NutAnswer answer =
            gw::reports::AnswerNutLine(line, connection, state, clients, state.LastGoodReply);
        Require(answer.Text.empty() || answer.Text.back() == '\n');
        for (const char c : answer.Text) Require(c == '\n' || (c >= 32 && c < 127));
    }

    if (const auto words = gw::reports::SplitNutLine(line)) {
        std::string quoted;
        for (const std::string& word : *words) quoted += gw::reports::QuoteNutValue(word) + " ";
        Require(gw::reports::SplitNutLine(quoted) == words);
    }
    return 0;
}
