#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/headless.h"
#include "app/history_csv.h"
#include "monitor/journal_file.h"
#include "app/process_setup.h"
#include "ui/window_runner.h"

namespace {

void Usage() {
    std::cout << "usage: gridwarden [--headless] [--com N] [--refresh SECONDS] [--print-replies]\n"
                 "                  [--status-json] [--cycles N] [--journal-dir DIR]\n"
                 "                  [--power=logind|simulated] [--power-bus ADDRESS] [--retry SECONDS]\n"
                 "                  [--test-reports] [--notify-bus ADDRESS] [--no-history]\n"
                 "       gridwarden [--journal-dir DIR] --history-csv FROM TO\n"
                 "       gridwarden --version\n";
}

// The window needs a display; without one (a server, a service, a test run) the program runs
// headless rather than fail to start.
bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

bool ParseInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    gw::app::PrepareProcess();
    gw::app::HeadlessOptions options;
    bool headless = false;
    const char* csv_from = nullptr;
    const char* csv_to = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--print-replies") {
            options.PrintReplies = true;
        } else if (arg == "--status-json") {
            options.StatusJson = true;
        } else if (arg == "--com" && has_value && ParseInt(argv[i + 1], 1, 9, options.ComPort)) {
            ++i;
        } else if (arg == "--refresh" && has_value &&
                   ParseInt(argv[i + 1], 1, 60, options.RefreshSeconds)) {
            ++i;
        } else if (arg == "--cycles" && has_value &&
                   ParseInt(argv[i + 1], 0, 1000000, options.Cycles)) {
            ++i;
        } else if (arg == "--power=logind") {
            options.Power = gw::app::PowerBackend::Logind;
        } else if (arg == "--power=simulated") {
            options.Power = gw::app::PowerBackend::Simulated;
        } else if (arg == "--power-bus" && has_value) {
            options.PowerBusAddress = argv[++i];
        } else if (arg == "--retry" && has_value &&
                   ParseInt(argv[i + 1], 1, 3600, options.RetrySeconds)) {
            ++i;
        } else if (arg == "--test-reports") {
            options.SendTestReports = true;
        } else if (arg == "--notify-bus" && has_value) {
            options.NotifyBusAddress = argv[++i];
        } else if (arg == "--journal-dir" && has_value) {
            options.JournalDir = argv[++i];
        } else if (arg == "--no-history") {
            options.KeepHistory = false;
        } else if (arg == "--history-csv" && i + 2 < argc) {
            csv_from = argv[++i];
            csv_to = argv[++i];
        } else if (arg == "--version") {
            std::cout << "Gridwarden " << GW_VERSION << "\n";
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            std::cerr << "gridwarden: bad argument '" << arg << "'\n";
            Usage();
            return 2;
        }
    }
    if (csv_from != nullptr) {
        return gw::app::WriteHistoryCsv(
            options.JournalDir.empty() ? gw::monitor::DefaultJournalDir() : options.JournalDir,
            csv_from, csv_to, std::cout, std::cerr);
    }
    if (headless || !DisplayAvailable()) return gw::app::RunHeadless(options);
    return gw::ui::RunWindow(argc, argv, options);
}
