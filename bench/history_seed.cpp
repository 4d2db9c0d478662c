// Fills a history file with a year up to now, as the program leaves it after a year at a 1 s
// refresh: the last week in full (a reading a second), the 358 days before in minutes, and an
// event a day. Readings alternate 228–230 V with a 10-minute outage a day, so that every bucket
// of a chart holds values and bits. For the benchmarks of the history pages.
//
//     gw_history_seed PATH
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace {

using namespace gw::history;
constexpr Millis kDay = 24LL * 3600 * 1000;

Reading At(Millis t) {
    const bool outage = t % kDay < 600000;
    Reading r;
    r.Time = t;
    r[Field::InputVoltage] = outage ? 0.0 : 228.0 + static_cast<double>(t / 1000 % 3);
    r[Field::InputFaultVoltage] = r[Field::InputVoltage];
    r[Field::OutputVoltage] = outage ? 230.0 : *r[Field::InputVoltage];
    r[Field::Load] = 12;
    r[Field::InputFrequency] = outage ? 0.0 : 50.0;
    r[Field::BatteryVoltage] = outage ? 12.9 : 13.6;
    r[Field::Temperature] = 27.4;
    r[Field::Charge] = outage ? 80.0 : 100.0;
    r[Field::Runtime] = outage ? 1900.0 : 2400.0;
    r[Field::BatteryHealth] = 0;
    r.Bits = 0b1001'0000 | (outage ? kPowerFailBit : 0);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gw_history_seed PATH\n");
        return 2;
    }
    const std::string path = argv[1];
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    const Millis now = ToMillis(std::chrono::system_clock::now()) / 60000 * 60000;
    const Millis week = now - HistoryStore::kFullResolution;
    HistoryStore store;
    if (!store.Open(path, now).Ok) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    std::string error;
    bool damaged = false;
    std::vector<Reading> batch;
    std::vector<Event> events;
    // Older than a week: one reading a minute, which thinning keeps as that minute's row.
    const auto flush = [&] {
        if (!store.Write(batch, events, error, damaged)) {
            std::fprintf(stderr, "write: %s\n", error.c_str());
            std::exit(1);
        }
        batch.clear();
        events.clear();
    };
    for (Millis t = now - 365 * kDay; t < now; t += t < week ? 60000 : 1000) {
        batch.push_back(At(t));
        if (t % kDay == 0) events.push_back({t, EventKind::LogLine, "Power Fail"});
        if (batch.size() == 50000) flush();
    }
    flush();
    if (!store.Thin(now, error)) {
        std::fprintf(stderr, "thin: %s\n", error.c_str());
        return 1;
    }
    store.Close();
    std::printf("%s: a year to %lld\n", path.c_str(), static_cast<long long>(now / 1000));
    return 0;
}
