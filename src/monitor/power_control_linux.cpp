// Power actions through systemd-logind on the system bus.
//
// Method calls are synchronous on the main thread with a short time-out; logind answers them at
// once (a power action is queued, and carried out after the delay inhibitors are released).
// Signals arrive on the connection's own event loop thread and are only posted from there.
#include <sdbus-c++/sdbus-c++.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

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
constexpr const char* kInhibitWhat = "sleep:shutdown";
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

// Shared between the backend and the tasks its signals post: the tasks may still wait in the
// main loop's queue when the backend is gone. Touched on the main thread only.
struct Handlers {
    bool Alive = true;
    std::function<void(bool)> Sleep;
    std::function<void(bool)> Shutdown;
};

class LogindPowerControl final : public PowerControl {
public:
    LogindPowerControl(std::unique_ptr<sdbus::IConnection> connection, link::MainLoop& loop)
        : connection_(std::move(connection)), handlers_(std::make_shared<Handlers>()) {
        proxy_ = sdbus::createProxy(*connection_, kService, kObject);
        std::shared_ptr<Handlers> handlers = handlers_;
        link::MainLoop* main_loop = &loop;
        proxy_->uponSignal("PrepareForSleep").onInterface(kManager).call([=](bool start) {
            main_loop->Post([handlers, start] {
                if (handlers->Alive && handlers->Sleep) handlers->Sleep(start);
            });
        });
        proxy_->uponSignal("PrepareForShutdown").onInterface(kManager).call([=](bool start) {
            main_loop->Post([handlers, start] {
                if (handlers->Alive && handlers->Shutdown) handlers->Shutdown(start);
            });
        });
        proxy_->finishRegistration();
        connection_->enterEventLoopAsync();
    }

    ~LogindPowerControl() override {
        handlers_->Alive = false;
        connection_->leaveEventLoop();  // joins the event loop thread: no signal after this
        proxy_.reset();
    }

    Capability Can(PowerAction action) override {
        Capability capability;
        try {
            proxy_->callMethod(MethodsOf(action).CanMethod)
                .onInterface(kManager)
                .withTimeout(kCallTimeout)
                .storeResultsTo(capability.Answer);
        } catch (const sdbus::Error& error) {
            capability.Error = ErrorText(error);
            return capability;
        }
        capability.Allowed = capability.Answer == "yes";
        return capability;
    }

    bool Do(PowerAction action, std::string& error) override {
        try {
            proxy_->callMethod(MethodsOf(action).DoMethod)
                .onInterface(kManager)
                .withTimeout(kCallTimeout)
                .withArguments(/*interactive=*/false);
        } catch (const sdbus::Error& failure) {
            error = ErrorText(failure);
            return false;
        }
        return true;
    }

    DelayInhibitor TakeDelayInhibitor(std::string_view why, std::string& error) override {
        sdbus::UnixFd fd;
        try {
            proxy_->callMethod("Inhibit")
                .onInterface(kManager)
                .withTimeout(kCallTimeout)
                .withArguments(kInhibitWhat, kWho, std::string(why), "delay")
                .storeResultsTo(fd);
        } catch (const sdbus::Error& failure) {
            error = ErrorText(failure);
            return {};
        }
        if (!fd.isValid()) {
            error = "Inhibit returned no file descriptor";
            return {};
        }
        return DelayInhibitor(fd.release());
    }

    void OnPrepareForSleep(std::function<void(bool)> handler) override {
        handlers_->Sleep = std::move(handler);
    }
    void OnPrepareForShutdown(std::function<void(bool)> handler) override {
        handlers_->Shutdown = std::move(handler);
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
    std::shared_ptr<Handlers> handlers_;
};

// What the program gets when the bus cannot be reached: every question and request fails with
// the connection's error, so each power action leaves a log line saying why.
class UnreachablePowerControl final : public PowerControl {
public:
    explicit UnreachablePowerControl(std::string error) : error_(std::move(error)) {}

    Capability Can(PowerAction) override { return {false, {}, error_}; }
    bool Do(PowerAction, std::string& error) override {
        error = error_;
        return false;
    }
    DelayInhibitor TakeDelayInhibitor(std::string_view, std::string& error) override {
        error = error_;
        return {};
    }
    void OnPrepareForSleep(std::function<void(bool)>) override {}
    void OnPrepareForShutdown(std::function<void(bool)>) override {}

private:
    std::string error_;
};

}  // namespace

std::unique_ptr<PowerControl> CreateLogindPowerControl(const std::string& bus_address,
                                                       link::MainLoop& loop, std::string& error) {
    try {
        auto connection = bus_address.empty()
                              ? sdbus::createSystemBusConnection()
                              : sdbus::createSessionBusConnectionWithAddress(bus_address);
        return std::make_unique<LogindPowerControl>(std::move(connection), loop);
    } catch (const sdbus::Error& failure) {
        error = ErrorText(failure);
    }
    return std::make_unique<UnreachablePowerControl>(error);
}

}  // namespace gw::monitor
