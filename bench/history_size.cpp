// The history file's size: a simulated day of poll cycles (the simulator's readings, with its
// mains noise, a daily outage and a battery test) written the way the program writes them, in
// one transaction per 5 s, on a virtual clock; then the same day folded to minutes; and the
// steady size of a year from the two (7 days in full, the rest in minutes, and once the pages
// an empty file has). Each day's figure leaves those pages out. Also the writer's
// processor time per reading, and the main thread's hand-off per poll cycle. Prints figures,
// asserts nothing.
//
//     gw_history_size_bench [REFRESH_SECONDS...]   (default: 1 3)
#include <sys/resource.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "history/history_store.h"
#include "history/history_writer.h"
#include "history/sqlite_db.h"

namespace {

using namespace gw::history;
constexpr Millis kDay = 24LL * 3600 * 1000;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Megabytes(const std::string& path) {
    std::error_code code;
    const auto size = std::filesystem::file_size(path, code);
    return code ? 0 : static_cast<double>(size) / 1e6;
}

// Like the simulator: 228.6 V mains with a little noise, 12 % load, a full 13.6 V battery; a
// 10-minute outage at noon draining it, a 10-second test in the evening.
Reading Simulated(Millis t, Millis start, std::mt19937& noise) {
    std::normal_distribution<double> volts(228.6, 0.4);
    const Millis in_day = t - start;
    const bool outage = in_day >= 12 * 3600000LL && in_day < 12 * 3600000LL + 600000;
    const bool test = in_day >= 20 * 3600000LL && in_day < 20 * 3600000LL + 10000;
    Reading r;
    r.Time = t;
    const double input = outage ? 0.0 : std::round(volts(noise) * 10) / 10;
    r[Field::InputVoltage] = input;
    r[Field::InputFaultVoltage] = input;
    r[Field::OutputVoltage] = outage || test ? 230.0 : input;
    r[Field::Load] = 12;
    r[Field::InputFrequency] = outage ? 0.0 : 50.0;
    const double drain = outage ? (in_day - 12 * 3600000LL) / 600000.0 : 0;
    r[Field::BatteryVoltage] = std::round((13.6 - 1.5 * drain) * 100) / 100;
    r[Field::Temperature] = 27.4;
    r[Field::Charge] = 100 - 80 * drain;
    // The battery model's figures: from a full battery on mains, falling on battery.
    r[Field::Runtime] = std::round(2400 * (1 - 0.8 * drain));
    r[Field::BatteryHealth] = 0;
    r.Bits = 0b1001'0000 | (outage ? kPowerFailBit : 0) | (test ? kTestBit : 0);
    return r;
}

void Measure(int refresh_seconds) {
    const std::string path = std::filesystem::temp_directory_path() /
                             ("gw-history-size-" + std::to_string(refresh_seconds) + ".sqlite");
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    const Millis start = 1'800'000'000'000;
    HistoryStore store;
    if (!store.Open(path, start).Ok) {
        std::printf("cannot open %s\n", path.c_str());
        return;
    }
    // The pages every file has (schema, the tables' roots): counted once, not once a day.
    store.Close();
    Database db;
    db.Open(path, Database::Mode::ReadWrite);
    db.Execute("PRAGMA wal_checkpoint(TRUNCATE); VACUUM;");
    db.Close();
    const double empty = Megabytes(path);
    store.Open(path, start);
    std::mt19937 noise(7);
    std::vector<Reading> batch;
    std::string error;
    bool damaged = false;
    long rows = 0;
    const double cpu0 = CpuSeconds();
    const Millis step = refresh_seconds * 1000LL;
    for (Millis t = start; t < start + kDay; t += step) {
        batch.push_back(Simulated(t, start, noise));
        ++rows;
        if ((t - start) % 5000 < step && batch.size() * step >= 5000) {
            store.Write(batch, {}, error, damaged);
            batch.clear();
        }
    }
    store.Write(batch, {}, error, damaged);
    const double cpu_ms_per_row = (CpuSeconds() - cpu0) * 1000 / rows;
    store.Close();
    db.Open(path, Database::Mode::ReadWrite);
    db.Execute("PRAGMA wal_checkpoint(TRUNCATE); VACUUM;");
    db.Close();
    const double full_day = Megabytes(path) - empty;

    store.Open(path, start + kDay);
    store.Thin(start + kDay + HistoryStore::kFullResolution + 60000, error);
    store.Close();
    db.Open(path, Database::Mode::ReadWrite);
    db.Execute("PRAGMA wal_checkpoint(TRUNCATE); VACUUM;");
    db.Close();
    const double minute_day = Megabytes(path) - empty;
    const double year = empty + 7 * full_day + 359 * minute_day;
    std::printf("%-10d%10ld%14.4f%16.3f%16.4f%14.1f\n", refresh_seconds, rows, cpu_ms_per_row,
                full_day, minute_day, year);
    if (std::getenv("GW_KEEP_HISTORY_FILE") == nullptr) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    }
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// What a poll cycle costs the main thread: the reading made from the status record and handed
// to the writer's queue, with the writer running beside it (a flush every 10 cycles stands for
// its 10-second commits, so the queue never fills).
void MeasureHandOff() {
    const std::string path = std::filesystem::temp_directory_path() / "gw-history-hand-off.sqlite";
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    gw::monitor::UpsStatus status;
    status.FieldText = {"228.6", "228.6", "230.0", "012", "50.0", "13.60", "27.4", "00001001"};
    status.IPVoltage = 228.6L;
    status.OPVoltage = 230.0L;
    status.BatteryVoltage = 13.6L;
    status.BatteryCharge = 100.0L;
    status.RuntimeSeconds = 2400.0L;
    status.BatteryHealth = "Good";
    status.Flags[3] = status.Flags[7] = true;
    status.FieldNumber = {228.6L, 228.6L, 230.0L, 12.0L, 50.0L, 13.6L, 27.4L, std::nullopt};
    gw::monitor::UpsStateInputs inputs;
    inputs.Status = &status;
    inputs.UpsFound = true;
    inputs.NominalBatteryVolts = 12;
    const auto steady = std::chrono::steady_clock::now();
    gw::monitor::UpsState state = gw::monitor::MakeUpsState(inputs, steady, steady);
    constexpr int kCycles = 50000;
    double cpu = 0;
    {
        HistoryWriter writer({path}, [](const std::string&) {});
        const auto time = std::chrono::system_clock::now();
        const double cpu0 = ThreadCpuSeconds();
        for (int i = 0; i < kCycles; ++i) {
            state.LastReply = time + std::chrono::seconds(i);
            writer.Add(ReadingOf(state));
            if (i % 10 == 9) writer.Flush();
        }
        cpu = ThreadCpuSeconds() - cpu0;
        writer.Stop(std::chrono::seconds(60));
    }
    std::printf("main thread hand-off: %.4f ms CPU per cycle (reading and queue)\n",
                cpu * 1000 / kCycles);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("%-10s%10s%14s%16s%16s%14s\n", "refresh s", "rows/day", "CPU ms/row",
                "MB/day (full)", "MB/day (min)", "MB/year");
    if (argc < 2) {
        Measure(1);
        Measure(3);
    }
    for (int i = 1; i < argc; ++i) Measure(std::atoi(argv[i]));
    MeasureHandOff();
    return 0;
}
