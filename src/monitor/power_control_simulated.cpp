// A backend that touches nothing: for trying out the power-fail response on a machine that
// must stay on.
#include <memory>
#include <string>
#include <utility>

#include "monitor/power_backend_handlers.h"
#include "monitor/power_control.h"

namespace gw::monitor {

namespace {

constexpr const char* kSimulatedPrefix = "Simulated power action: ";

class SimulatedPowerControl final : public PowerControl {
public:
    SimulatedPowerControl(link::LogSink& log, link::MainLoop& loop)
        : log_(log), loop_(loop), handlers_(std::make_shared<BackendHandlers>()) {}
    ~SimulatedPowerControl() override { handlers_->Alive = false; }

    void Can(PowerAction, std::function<void(Capability)> done) override {
        Later([done] { done({true, "yes", {}}); });
    }

    void Do(PowerAction action, std::function<void(std::string)> done) override {
        log_.AppendLog(std::string(kSimulatedPrefix) + RowOf(action).Name);
        Later([done] { done({}); });
        std::shared_ptr<BackendHandlers> handlers = handlers_;
        if (action == PowerAction::PowerOff) {
            // As a machine going down would announce it: the program closes and ends.
            Later([handlers] {
                if (handlers->Shutdown) handlers->Shutdown(true);
            });
        } else {
            // As a machine that slept and woke at once would tell it, after the request's answer.
            Later([handlers] {
                if (handlers->Sleep) handlers->Sleep(true);
            });
            Later([handlers] {
                if (handlers->Sleep) handlers->Sleep(false);
            });
        }
    }

    void TakeDelayInhibitor(std::string_view, std::string_view,
                            std::function<void(DelayInhibitor, std::string)> done) override {
        Later([done] { done({}, {}); });
    }

    void OnPrepareForSleep(std::function<void(bool)> handler) override {
        handlers_->Sleep = std::move(handler);
    }
    void OnPrepareForShutdown(std::function<void(bool)> handler) override {
        handlers_->Shutdown = std::move(handler);
    }

private:
    void Later(std::function<void()> task) { PostWhileAlive(loop_, handlers_, std::move(task)); }

    link::LogSink& log_;
    link::MainLoop& loop_;
    std::shared_ptr<BackendHandlers> handlers_;
};

}  // namespace

std::unique_ptr<PowerControl> CreateSimulatedPowerControl(link::LogSink& log,
                                                          link::MainLoop& loop) {
    return std::make_unique<SimulatedPowerControl>(log, loop);
}

}  // namespace gw::monitor
