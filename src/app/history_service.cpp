#include "app/history_service.h"

#include <cctype>

#include "history/history_store.h"

namespace gw::app {

std::string WithoutStamp(const std::string& line) {
    const auto digits = [&](std::size_t from, std::size_t count) {
        for (std::size_t i = from; i < from + count; ++i) {
            if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i]))) {
                return false;
            }
        }
        return true;
    };
    // "YYYY-MM-DD hh:nn:ss text", or "YYYY-MM-DD text" at exactly midnight.
    if (!digits(0, 4) || line.size() < 11 || line[4] != '-' || line[7] != '-' || line[10] != ' ') {
        return line;
    }
    if (line.size() >= 20 && digits(11, 2) && line[13] == ':' && digits(14, 2) && line[16] == ':' &&
        digits(17, 2) && line[19] == ' ') {
        return line.substr(20);
    }
    return line.substr(11);
}

HistoryService::HistoryService(link::MainLoop& loop, monitor::EventLog& log)
    : loop_(loop), log_(log) {}

HistoryService::~HistoryService() { Close(); }

void HistoryService::Open(const std::string& dir) {
    if (writer_) return;
    history::HistoryWriter::Options options;
    options.Path = history::HistoryPathIn(dir);
    reader_ = std::make_shared<const history::HistoryReader>(options.Path);
    std::weak_ptr<bool> alive = alive_;
    writer_ = std::make_unique<history::HistoryWriter>(
        options, [this, alive, &loop = loop_](const std::string& line) {
            // The writer's thread: the line goes to the log on the main thread.
            if (!alive.lock()) return;
            loop.Post([this, alive, line] {
                if (alive.lock()) log_.AppendLog(line);
            });
        });
    observer_ = log_.AddObserver([this](const std::string& line) {
        if (writer_) {
            writer_->Add(history::Event{history::ToMillis(std::chrono::system_clock::now()),
                                        history::EventKind::LogLine, WithoutStamp(line)});
        }
    });
}

void HistoryService::Close() {
    if (!writer_) return;
    log_.RemoveObserver(observer_);
    writer_->Stop();
    writer_.reset();
}

void HistoryService::OnCycle(const monitor::UpsState& state) {
    ++cycles_;
    if (!state.NewReply) return;
    latest_ = history::ReadingOf(state);
    avr_state_ = monitor::AvrTextOf(state.Avr);
    known_ = true;
    const bool on_battery = (latest_.Bits & history::kPowerFailBit) != 0;
    if (on_battery && !on_battery_) ++power_failures_;
    on_battery_ = on_battery;
    if (writer_) writer_->Add(latest_);
}

void HistoryService::OnPowerAction(monitor::PowerAction action) {
    if (!writer_) return;
    writer_->Add(history::Event{history::ToMillis(std::chrono::system_clock::now()),
                                history::EventKind::PowerAction, monitor::RowOf(action).Name});
    writer_->Flush();
}

reports::MetricsState HistoryService::Metrics(const monitor::DisplayModel& display) const {
    reports::MetricsState state;
    state.Known = known_;
    state.Reading = latest_;
    state.AvrState = avr_state_;
    state.Manufacturer = display.MfrE;
    state.Model = display.ModelE;
    state.Firmware = display.VerE;
    state.PollCycles = cycles_;
    state.PowerFailures = power_failures_;
    if (capacity_) state.LearnedCapacity = capacity_();
    if (state_) reports::TellState(state, state_());
    return state;
}

std::optional<double> LearnedCapacityOf(const monitor::BatteryModel* model) {
    if (model == nullptr || !model->Knowledge().Capacity.Learned) return std::nullopt;
    return model->Knowledge().Capacity.Value / monitor::GenericBattery::kCapacity;
}

}  // namespace gw::app
