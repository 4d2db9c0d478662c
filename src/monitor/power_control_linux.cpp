// Power actions through systemd-logind on the system bus.
//
// Method calls are sent from the main thread without waiting: a stalled logind must not stall
// evaluation and the countdown. Replies and signals arrive on the connection's own event loop
// thread and are only posted from there; a call without a reply fails after a short time-out.
// logind queues a power action and carries it out after the delay inhibitors are released, so
// it may announce the action before its reply to the request.
#include <sdbus-c++/sdbus-c++.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "monitor/power_backend_handlers.h"
#include "monitor/power_control.h"

namespace gw::monitor {

DelayInhibitor& DelayInhibitor::operator=(DelayInhibitor&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void DelayInhibitor::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int KernelMajorVersion() {
    utsname names{};
    if (::uname(&names) != 0) return 0;
    return std::atoi(names.release);
}

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kObject = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kWho = "Gridwarden";
constexpr auto kCallTimeout = std::chrono::seconds(5);

struct LogindRow {
    PowerAction Action;
    const char* CanMethod;
    const char* DoMethod;
};

// clang-format off
constexpr LogindRow kLogindMethods[] = {
    {PowerAction::PowerOff,  "CanPowerOff",  "PowerOff"},
    {PowerAction::Suspend,   "CanSuspend",   "Suspend"},
    {PowerAction::Hibernate, "CanHibernate", "Hibernate"},
};
// clang-format on

const LogindRow& MethodsOf(PowerAction action) {
    for (const auto& row : kLogindMethods) {
        if (row.Action == action) return row;
    }
    return kLogindMethods[0];
}

std::string ErrorText(const sdbus::Error& error) {
    return error.getMessage().empty() ? error.getName() : error.getMessage();
}

class LogindPowerControl final : public PowerControl {
public:
    LogindPowerControl(std::unique_ptr<sdbus::IConnection> connection, link::MainLoop& loop)
        : connection_(std::move(connection)),
          loop_(loop),
          handlers_(std::make_shared<BackendHandlers>()) {
        proxy_ = sdbus::createProxy(*connection_, kService, kObject);
        std::shared_ptr<BackendHandlers> handlers = handlers_;
        link::MainLoop* main_loop = &loop;
        proxy_->uponSignal("PrepareForSleep").onInterface(kManager).call([=](bool start) {
            PostWhileAlive(*main_loop, handlers, [handlers, start] {
                if (handlers->Sleep) handlers->Sleep(start);
            });
        });
        proxy_->uponSignal("PrepareForShutdown").onInterface(kManager).call([=](bool start) {
            PostWhileAlive(*main_loop, handlers, [handlers, start] {
                if (handlers->Shutdown) handlers->Shutdown(start);
            });
        });
        proxy_->finishRegistration();
        // Not enterEventLoopAsync: its thread lets the error escape when the bus goes away (at
        // power-off the bus may stop first), which ends the program before its close sequence.
        // Here the loop just ends; later calls fail as they are sent.
        event_loop_ = std::thread([connection = connection_.get()] {
            try {
                connection->enterEventLoop();
            } catch (const sdbus::Error&) {
            }
        });
    }

    ~LogindPowerControl() override {
        handlers_->Alive = false;
        // Joins the event loop thread: no reply or signal after this. The proxy then drops the
        // calls still waiting for a reply.
        connection_->leaveEventLoop();
        event_loop_.join();
        proxy_.reset();
    }

    void Can(PowerAction action, std::function<void(Capability)> done) override {
        auto reply = [loop = &loop_, handlers = handlers_, done](const sdbus::Error* error,
                                                                 std::string answer) {
            Capability capability;
            if (error != nullptr) {
                capability.Error = ErrorText(*error);
            } else {
                capability.Allowed = answer == "yes";
                capability.Answer = std::move(answer);
            }
            PostWhileAlive(*loop, handlers, [done, capability] { done(capability); });
        };
        auto fail = [done](const std::string& error) { done({false, {}, error}); };
        Send(fail, [&] {
            proxy_->callMethodAsync(MethodsOf(action).CanMethod)
                .onInterface(kManager)
                .withTimeout(kCallTimeout)
                .uponReplyInvoke(std::move(reply));
        });
    }

    void Do(PowerAction action, std::function<void(std::string)> done) override {
        auto reply = [loop = &loop_, handlers = handlers_, done](const sdbus::Error* error) {
            std::string text = error != nullptr ? ErrorText(*error) : std::string();
            PostWhileAlive(*loop, handlers, [done, text] { done(text); });
        };
        Send(done, [&] {
            proxy_->callMethodAsync(MethodsOf(action).DoMethod)
                .onInterface(kManager)
                .withTimeout(kCallTimeout)
                .withArguments(/*interactive=*/false)
                .uponReplyInvoke(std::move(reply));
        });
    }

    void TakeDelayInhibitor(std::string_view what, std::string_view why,
                            std::function<void(DelayInhibitor, std::string)> done) override {
        auto reply = [loop = &loop_, handlers = handlers_, done](const sdbus::Error* error,
                                                                 sdbus::UnixFd fd) {
            std::string text;
            if (error != nullptr) {
                text = ErrorText(*error);
            } else if (!fd.isValid()) {
                text = "Inhibit returned no file descriptor";
            }
            // Owned from here on, so that it is closed however the task ends: run, dropped
            // because the backend is gone, or never run.
            auto inhibitor = std::make_shared<DelayInhibitor>(fd.release());
            PostWhileAlive(*loop, handlers,
                           [done, inhibitor, text] { done(std::move(*inhibitor), text); });
        };
        auto fail = [done](const std::string& error) { done({}, error); };
        Send(fail, [&] {
            proxy_->callMethodAsync("Inhibit")
                .onInterface(kManager)
                .withTimeout(kCallTimeout)
                .withArguments(std::string(what), kWho, std::string(why), "delay")
                .uponReplyInvoke(std::move(reply));
        });
    }

    void OnPrepareForSleep(std::function<void(bool)> handler) override {
        handlers_->Sleep = std::move(handler);
    }
    void OnPrepareForShutdown(std::function<void(bool)> handler) override {
        handlers_->Shutdown = std::move(handler);
    }

private:
    // Sending itself can fail (the connection broke): that answer, too, comes later.
    void Send(std::function<void(std::string)> fail, const std::function<void()>& send) {
        try {
            send();
        } catch (const sdbus::Error& failure) {
            PostWhileAlive(loop_, handlers_, [fail, text = ErrorText(failure)] { fail(text); });
        }
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    link::MainLoop& loop_;
    std::unique_ptr<sdbus::IProxy> proxy_;
    std::shared_ptr<BackendHandlers> handlers_;
    std::thread event_loop_;
};

std::unique_ptr<sdbus::IConnection> Connect(const std::string& bus_address) {
    return bus_address.empty() ? sdbus::createSystemBusConnection()
                               : sdbus::createSessionBusConnectionWithAddress(bus_address);
}

// What the program gets when the bus cannot be reached at start: a service started before the
// bus (or while it restarts) must still protect once it is there. Every request tries to
// connect first; until that works, each fails with the connection's error, so each power
// action leaves a log line saying why, and the inhibitor's retries keep trying.
class LateConnectingPowerControl final : public PowerControl {
public:
    LateConnectingPowerControl(std::string bus_address, std::string error, link::MainLoop& loop)
        : bus_address_(std::move(bus_address)),
          error_(std::move(error)),
          loop_(loop),
          handlers_(std::make_shared<BackendHandlers>()) {}
    ~LateConnectingPowerControl() override { handlers_->Alive = false; }

    void Can(PowerAction action, std::function<void(Capability)> done) override {
        if (Connected()) return connected_->Can(action, std::move(done));
        PostWhileAlive(loop_, handlers_, [done, error = error_] { done({false, {}, error}); });
    }
    void Do(PowerAction action, std::function<void(std::string)> done) override {
        if (Connected()) return connected_->Do(action, std::move(done));
        PostWhileAlive(loop_, handlers_, [done, error = error_] { done(error); });
    }
    void TakeDelayInhibitor(std::string_view what, std::string_view why,
                            std::function<void(DelayInhibitor, std::string)> done) override {
        if (Connected()) return connected_->TakeDelayInhibitor(what, why, std::move(done));
        PostWhileAlive(loop_, handlers_, [done, error = error_] { done({}, error); });
    }
    void OnPrepareForSleep(std::function<void(bool)> handler) override {
        sleep_ = handler;
        if (connected_) connected_->OnPrepareForSleep(std::move(handler));
    }
    void OnPrepareForShutdown(std::function<void(bool)> handler) override {
        shutdown_ = handler;
        if (connected_) connected_->OnPrepareForShutdown(std::move(handler));
    }

private:
    bool Connected() {
        if (connected_) return true;
        try {
            connected_ = std::make_unique<LogindPowerControl>(Connect(bus_address_), loop_);
        } catch (const sdbus::Error& failure) {
            error_ = ErrorText(failure);
            return false;
        }
        if (sleep_) connected_->OnPrepareForSleep(sleep_);
        if (shutdown_) connected_->OnPrepareForShutdown(shutdown_);
        return true;
    }

    std::string bus_address_;
    std::string error_;
    link::MainLoop& loop_;
    std::shared_ptr<BackendHandlers> handlers_;
    std::function<void(bool)> sleep_;
    std::function<void(bool)> shutdown_;
    std::unique_ptr<LogindPowerControl> connected_;
};

}  // namespace

std::unique_ptr<PowerControl> CreateLogindPowerControl(const std::string& bus_address,
                                                       link::MainLoop& loop, std::string& error) {
    try {
        return std::make_unique<LogindPowerControl>(Connect(bus_address), loop);
    } catch (const sdbus::Error& failure) {
        error = ErrorText(failure);
    }
    return std::make_unique<LateConnectingPowerControl>(bus_address, error, loop);
}

}  // namespace gw::monitor
