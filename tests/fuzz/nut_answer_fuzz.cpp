// Anything a network UPS server may answer, and any UPS@HOST[:PORT] text: the client's splitter
// and the watch's cut never fail, quoting the words gives them back, and a name that parses
// names itself again.
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "link/nut_client.h"
#include "monitor/nut_watch.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> words = gw::link::SplitNutLine(text);
    std::string again;
    for (const std::string& word : words) again += gw::link::QuoteNutWord(word) + " ";
    Require(gw::link::SplitNutLine(again) == words);

    const gw::monitor::WatchedStatus watched = gw::monitor::CutNutVariables(
        {{"ups.status", text}, {"battery.charge", text}, {"ups.load", text}}, "ups@nas", {});
    Require(watched.Known);

    std::string error;
    const std::optional<gw::link::NutTarget> target = gw::link::ParseNutTarget(text, error);
    if (!target) {
        Require(!error.empty());
        return 0;
    }
    const std::optional<gw::link::NutTarget> named =
        gw::link::ParseNutTarget(target->Name(), error);
    Require(named && named->Ups == target->Ups && named->Host == target->Host &&
            named->Port == target->Port);
    return 0;
}
