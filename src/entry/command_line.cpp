#include "entry/command_line.h"

#include <cstdlib>
#include <iostream>
#include <string>

#include "app/history_csv.h"
#include "link/nut_client.h"
#include "monitor/journal_file.h"
#include "reports/nut_protocol.h"

namespace gw::entry {

namespace {

void Usage(Program program) {
    const bool window = program == Program::Window;
    const std::string name = window ? "gridwarden" : "gridwardend";
    // The options' column starts after the name.
    const std::string pad(name.size() + 8, ' ');
    std::cout << "usage: " << name << (window ? " [--headless]" : "")
              << " [--com N | --watch UPS@HOST[:PORT]]\n"
              << pad << "[--refresh SECONDS] [--print-replies]\n"
              << pad << "[--status-json] [--cycles N] [--journal-dir DIR]\n"
              << pad << "[--settings FILE] [--lock-dir DIR]\n"
              << pad << "[--power=logind|simulated] [--power-bus ADDRESS]\n"
              << pad << "[--retry SECONDS] [--test-reports] [--notify-bus ADDRESS]\n"
              << pad << "[--no-history] [--battery-time-scale X]\n"
              << (window ? "" : pad + "[--nut-loopback PORT]\n") << "       " << name
              << " [--journal-dir DIR] --history-csv FROM TO\n"
              << "       " << name << " --version\n";
}

bool ParseScale(const char* text, double& value) {
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(parsed >= 1 && parsed <= 1000)) return false;
    value = parsed;
    return true;
}

bool WatchTarget(const char* text) {
    std::string error;
    if (link::ParseNutTarget(text, error)) return true;
    std::cerr << error << "\n";
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

std::optional<int> ParseCommandLine(int argc, char** argv, Program program, CommandLine& line) {
    app::HeadlessOptions& options = line.Options;
    // The service's listener for the window on the same machine (0 turns it off).
    if (program == Program::Daemon) options.NutLoopbackPort = reports::kNutPort;
    const char* csv_from = nullptr;
    const char* csv_to = nullptr;
    int loopback_port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--headless" && program == Program::Window) {
            line.Headless = true;
        } else if (arg == "--print-replies") {
            options.PrintReplies = true;
        } else if (arg == "--status-json") {
            options.StatusJson = true;
        } else if (arg == "--com" && has_value && ParseInt(argv[i + 1], 1, 9, options.ComPort)) {
            ++i;
        } else if (arg == "--watch" && has_value && WatchTarget(argv[i + 1])) {
            options.Watch = argv[++i];
        } else if (arg == "--refresh" && has_value &&
                   ParseInt(argv[i + 1], 1, 60, options.RefreshSeconds)) {
            ++i;
        } else if (arg == "--cycles" && has_value &&
                   ParseInt(argv[i + 1], 0, 1000000, options.Cycles)) {
            ++i;
        } else if (arg == "--power=logind") {
            options.Power = app::PowerBackend::Logind;
        } else if (arg == "--power=simulated") {
            options.Power = app::PowerBackend::Simulated;
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
        } else if (arg == "--settings" && has_value) {
            options.SettingsPath = argv[++i];
        } else if (arg == "--lock-dir" && has_value) {
            options.LockDir = argv[++i];
        } else if (arg == "--nut-loopback" && program == Program::Daemon && has_value &&
                   ParseInt(argv[i + 1], 0, 65535, loopback_port)) {
            options.NutLoopbackPort = static_cast<std::uint16_t>(loopback_port);
            ++i;
        } else if (arg == "--no-history") {
            options.KeepHistory = false;
        } else if (arg == "--battery-time-scale" && has_value &&
                   ParseScale(argv[i + 1], options.BatteryTimeScale)) {
            ++i;
        } else if (arg == "--history-csv" && i + 2 < argc) {
            csv_from = argv[++i];
            csv_to = argv[++i];
        } else if (arg == "--version") {
            std::cout << "Gridwarden " << GW_VERSION << "\n";
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            Usage(program);
            return 0;
        } else {
            std::cerr << (program == Program::Window ? "gridwarden" : "gridwardend")
                      << ": bad argument '" << arg << "'\n";
            Usage(program);
            return 2;
        }
    }
    if (options.ComPort != 0 && !options.Watch.empty()) {
        std::cerr << (program == Program::Window ? "gridwarden" : "gridwardend")
                  << ": --com and --watch name two different UPSes\n";
        Usage(program);
        return 2;
    }
    if (csv_from != nullptr) {
        return app::WriteHistoryCsv(
            options.JournalDir.empty() ? monitor::DefaultJournalDir() : options.JournalDir,
            csv_from, csv_to, std::cout, std::cerr);
    }
    return std::nullopt;
}

}  // namespace gw::entry
