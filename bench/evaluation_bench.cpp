// One evaluation of a stored status reply: split, convert, flags, charge,
// announcements (none here: the state does not change between rounds).
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>
#include <string_view>

#include "history/history_rows.h"
#include "link/log_sink.h"
#include "link/ups_link.h"
#include "monitor/battery_charge.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/status_evaluation.h"
#include "monitor/ups_state.h"

namespace {

using namespace gw;

struct QuietLog final : link::LogSink {
    void AppendLog(std::string_view) override {}
};
struct QuietTray final : monitor::TrayPresenter {
    void ShowTrayBalloon(std::string_view, std::string_view, monitor::BalloonIcon) override {}
    void SetTrayIcon(int) override {}
};
struct QuietNotices final : monitor::EventNotices {
    void Notify(monitor::NoticeKind, std::chrono::system_clock::time_point,
                monitor::NoticeChannels) override {}
};
struct QuietCountdown final : monitor::Countdown {
    void StartCountdown(std::chrono::seconds) override {}
    void CancelCountdown() override {}
    void FireNow() override {}
};

// A usable unit's evaluation with quiet peers, and one good reply for it.
struct Evaluating {
    Evaluating() {
        ups.LinkUsable = true;
        ups.Q1Answered = true;
        monitor::ApplyNominalVoltage(display, ups.NominalBatteryVoltage);
    }
    link::UpsLink ups;
    monitor::DisplayModel display;
    QuietLog log;
    QuietTray tray;
    QuietNotices notices;
    QuietCountdown countdown;
    monitor::StatusEvaluation evaluation{ups, display, log, tray, notices, countdown};
    const link::StoredReply reply{"(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#",
                                  std::chrono::system_clock::now()};
};

void BM_EvaluateStatus(benchmark::State& state) {
    Evaluating e;
    for (auto _ : state) benchmark::DoNotOptimize(e.evaluation.EvaluateStatus(e.reply));
}
BENCHMARK(BM_EvaluateStatus);

// What the main thread does with a good reply beside the evaluation: the state's record, the
// history's reading made from it and the network UPS service's copy of it.
void BM_CycleRecord(benchmark::State& state) {
    Evaluating e;
    monitor::UpsStateKeeper keeper;
    std::optional<monitor::UpsState> nut_copy;
    keeper.Subscribe([&](const monitor::UpsState& s) {
        benchmark::DoNotOptimize(history::ReadingOf(s));
        nut_copy = s;
    });
    monitor::UpsStateInputs inputs;
    inputs.Status = &e.evaluation.Status();
    inputs.UpsFound = true;
    for (auto _ : state) {
        benchmark::DoNotOptimize(e.evaluation.EvaluateStatus(e.reply));
        keeper.OnCycle(true, inputs);
    }
}
BENCHMARK(BM_CycleRecord);

}  // namespace
