// HidHotplug over a libudev monitor of the "hidraw" subsystem.
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "link/hid_hotplug.h"

namespace gw::link {

namespace {

using Clock = std::chrono::steady_clock;

// A device that keeps changing must not hold the list back for ever.
constexpr int kMaxSettleSteps = 8;

class UdevHotplug final : public HidHotplug {
public:
    UdevHotplug(udev* context, udev_monitor* monitor, int stop_fd, MainLoop& loop,
                std::function<void()> on_change, std::chrono::milliseconds settle)
        : context_(context),
          monitor_(monitor),
          stop_fd_(stop_fd),
          loop_(loop),
          on_change_(std::make_shared<std::function<void()>>(std::move(on_change))),
          alive_(std::make_shared<bool>(true)),
          settle_(settle) {
        thread_ = std::thread([this] { Body(); });
    }

    ~UdevHotplug() override {
        const std::uint64_t one = 1;
        // The eventfd cannot be full after one write; its result needs no check.
        [[maybe_unused]] const ssize_t ignored = ::write(stop_fd_, &one, sizeof one);
        thread_.join();
        // Calls already posted find this and do nothing.
        *alive_ = false;
        udev_monitor_unref(monitor_);
        udev_unref(context_);
        ::close(stop_fd_);
    }

private:
    void Body() {
        const int monitor_fd = udev_monitor_get_fd(monitor_);
        bool pending = false;
        Clock::time_point give_up{};
        for (;;) {
            int timeout = -1;
            if (pending) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, settle_.count()));
            }
            pollfd fds[2] = {{monitor_fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || fds[1].revents != 0) return;
            if (ready == 0 || (pending && Clock::now() >= give_up)) {
                pending = false;
                PostChange();
                if (ready == 0) continue;
            }
            if ((fds[0].revents & POLLIN) != 0 && Drain() && !pending) {
                pending = true;
                give_up = Clock::now() + settle_ * kMaxSettleSteps;
            }
            if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
        }
    }

    // True when an addition or removal was among what waited.
    bool Drain() {
        bool changed = false;
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            const char* action = udev_device_get_action(device);
            if (action != nullptr &&
                (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
                changed = true;
            }
            udev_device_unref(device);
        }
        return changed;
    }

    void PostChange() {
        loop_.Post([alive = alive_, on_change = on_change_] {
            if (*alive) (*on_change)();
        });
    }

    udev* context_;
    udev_monitor* monitor_;
    int stop_fd_;
    MainLoop& loop_;
    std::shared_ptr<std::function<void()>> on_change_;
    // Read and written on the main thread only: by posted calls and by the destructor.
    std::shared_ptr<bool> alive_;
    std::chrono::milliseconds settle_;
    std::thread thread_;
};

std::string ErrnoText(const char* what, int code) {
    return std::string(what) + ": " + std::strerror(code);
}

}  // namespace

std::unique_ptr<HidHotplug> StartHidHotplug(MainLoop& loop, std::function<void()> on_change,
                                            std::string& error, std::chrono::milliseconds settle) {
    udev* context = udev_new();
    if (context == nullptr) {
        error = ErrnoText("udev", errno != 0 ? errno : ENOSYS);
        return nullptr;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    int result = 0;
    if (monitor == nullptr) {
        error = ErrnoText("udev monitor", errno != 0 ? errno : ENOSYS);
    } else if ((result = udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw",
                                                                         nullptr)) < 0) {
        error = ErrnoText("udev filter", -result);
    } else if ((result = udev_monitor_enable_receiving(monitor)) < 0) {
        error = ErrnoText("udev monitor", -result);
    } else {
        const int fd = udev_monitor_get_fd(monitor);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            error = ErrnoText("udev monitor", errno);
        } else if (const int stop_fd = ::eventfd(0, EFD_CLOEXEC); stop_fd < 0) {
            error = ErrnoText("eventfd", errno);
        } else {
            return std::make_unique<UdevHotplug>(context, monitor, stop_fd, loop,
                                                 std::move(on_change), settle);
        }
    }
    if (monitor != nullptr) udev_monitor_unref(monitor);
    udev_unref(context);
    return nullptr;
}

}  // namespace gw::link
