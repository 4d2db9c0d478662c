// The history's life in the program: the writer opened at start-up in the state folder beside
// the journal and closed at the end, fed after each poll cycle's evaluation, with every event
// log line and every power action; the counters and the latest reading that "/metrics" shows;
// the reader the status server and the window query.
//
// Feeding costs the main thread a copy and a short lock: the file is written on the writer's
// own thread, so neither the polls nor the power-fail response ever wait for the disk.
//
// Thread rule: main thread only. Reader() may be handed to any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "history/history_reader.h"
#include "history/history_writer.h"
#include "link/main_loop.h"
#include "link/ups_link.h"
#include "monitor/battery_model.h"
#include "monitor/display_model.h"
#include "monitor/event_log.h"
#include "monitor/power_control.h"
#include "monitor/power_fail_response.h"
#include "monitor/status_evaluation.h"
#include "monitor/ups_state.h"
#include "reports/metrics_text.h"

namespace gw::app {

// The text of a log line without its DateTimeText stamp.
std::string WithoutStamp(const std::string& line);

class HistoryService {
public:
    HistoryService(link::MainLoop& loop, monitor::EventLog& log);
    ~HistoryService();
    HistoryService(const HistoryService&) = delete;
    HistoryService& operator=(const HistoryService&) = delete;

    // Starts keeping the history in `dir`; the file is opened on the writer's thread, and a
    // problem there becomes one log line.
    void Open(const std::string& dir);
    // Writes what is queued and stops the writer (bounded); later feeding is ignored.
    void Close();
    bool Keeping() const { return writer_ != nullptr; }

    // After each poll cycle, with its record: a new reply is kept. The counters of "/metrics"
    // run also while no history is kept.
    void OnCycle(const monitor::UpsState& state);
    // A power action the program itself starts; written at once, before the machine goes.
    void OnPowerAction(monitor::PowerAction action);

    // Where "/metrics" finds the learned battery capacity (fraction of the generic block's;
    // none until learned).
    void SetCapacitySource(std::function<std::optional<double>()> source) {
        capacity_ = std::move(source);
    }

    // Where "/metrics" finds the record as of now, for its freshness and summary.
    void SetStateSource(std::function<monitor::UpsState()> source) { state_ = std::move(source); }

    // The record as of now; an empty one until the source is set.
    monitor::UpsState State() const { return state_ ? state_() : monitor::UpsState{}; }

    // What "/metrics" shows now.
    reports::MetricsState Metrics(const monitor::DisplayModel& display) const;
    // Null while no history is kept.
    std::shared_ptr<const history::HistoryReader> Reader() const { return reader_; }

private:
    link::MainLoop& loop_;
    monitor::EventLog& log_;
    std::unique_ptr<history::HistoryWriter> writer_;
    std::shared_ptr<const history::HistoryReader> reader_;
    monitor::EventLog::ObserverId observer_ = 0;
    // Lets a problem line posted by the writer's thread find out that this object is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    bool known_ = false;
    history::Reading latest_;
    std::string avr_state_;
    bool on_battery_ = false;
    std::uint64_t cycles_ = 0;
    std::uint64_t power_failures_ = 0;
    std::function<std::optional<double>()> capacity_;
    std::function<monitor::UpsState()> state_;
};

// The learned capacity of `model` as a fraction of the generic block's; none when `model` is
// null or nothing was learned yet.
std::optional<double> LearnedCapacityOf(const monitor::BatteryModel* model);

// The power-fail response's actions, each written to the history before it is carried out.
class RecordedActions final : public monitor::SystemActions {
public:
    RecordedActions(monitor::SystemActions& actions, HistoryService& history)
        : actions_(actions), history_(history) {}
    void SystemShutdown() override {
        history_.OnPowerAction(monitor::PowerAction::PowerOff);
        actions_.SystemShutdown();
    }
    void SystemSuspend() override {
        history_.OnPowerAction(monitor::PowerAction::Suspend);
        actions_.SystemSuspend();
    }
    void SystemHibernate() override {
        history_.OnPowerAction(monitor::PowerAction::Hibernate);
        actions_.SystemHibernate();
    }

private:
    monitor::SystemActions& actions_;
    HistoryService& history_;
};

}  // namespace gw::app
