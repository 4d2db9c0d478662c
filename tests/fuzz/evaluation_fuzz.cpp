// Any status text through the whole evaluation and the JSON line: missing,
// overlong and half-formed fields must neither crash nor break the JSON.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/recording_log.h"
#include "fakes/recording_monitor_fakes.h"
#include "link/status_reply.h"
#include "monitor/battery_charge.h"
#include "monitor/status_evaluation.h"
#include "monitor/status_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace gw;
    static link::UpsLink ups;
    static monitor::DisplayModel display;
    static fakes::RecordingLog log;
    static fakes::RecordingTray tray;
    static fakes::RecordingNotices notices;
    static fakes::RecordingCountdown countdown;
    static monitor::StatusEvaluation& evaluation = *[] {
        ups.LinkUsable = true;
        ups.Q1Answered = true;
        monitor::ApplyNominalVoltage(display, 24);
        return new monitor::StatusEvaluation(ups, display, log, tray, notices, countdown);
    }();
    // Keep the state running across inputs, as a real session does, but
    // bounded in memory.
    if (log.Lines.size() > 1000) log.Lines.clear();

    const std::string text =
        link::BuildStatusText(std::string(reinterpret_cast<const char*>(data), size));
    evaluation.EvaluateStatus({text, std::chrono::system_clock::now()});
    const std::string json = monitor::StatusJson(evaluation.Status());
    if (json.empty() || json.front() != '{' || json.back() != '}' ||
        json.find('\n') != std::string::npos) {
        std::abort();
    }
    return 0;
}
