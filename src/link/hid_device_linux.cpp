#include <hidapi/hidapi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "link/hid_device.h"
#include "link/hid_report_descriptor.h"

namespace gw::link {

namespace {

// HID short item prefix: bits 7..4 tag, 3..2 type, 1..0 size code.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint8_t kReportIdPrefix = 0x84;  // tag 8, type global
constexpr std::uint8_t kPrefixSizeMask = 0x03;
constexpr std::size_t kShortItemDataSize[] = {0, 1, 2, 4};

constexpr const char* kHidrawPrefix = "hidraw";

// Wire and log text is 8-bit: code points that do not fit become '?'.
std::string NarrowText(const wchar_t* text) {
    std::string narrow;
    if (text == nullptr) return narrow;
    for (; *text != L'\0'; ++text) {
        const auto code = static_cast<std::uint32_t>(*text);
        narrow += code < 256 ? static_cast<char>(code) : '?';
    }
    return narrow;
}

// hidapi keeps the error of hid_open_path and hid_enumerate in one global,
// and hid_init is not reentrant; this lock keeps two threads from reading
// each other's error text.
std::mutex& GlobalErrorMutex() {
    static std::mutex mutex;
    return mutex;
}

bool ReadNumberedReports(const std::string& descriptor_path) {
    if (descriptor_path.empty()) return false;
    std::ifstream file(descriptor_path, std::ios::binary);
    if (!file) return false;
    const std::vector<std::uint8_t> descriptor{std::istreambuf_iterator<char>(file),
                                               std::istreambuf_iterator<char>()};
    if (file.bad()) return false;
    return HasReportIdItem(descriptor);
}

class HidrawDevice final : public HidDevice {
public:
    HidrawDevice(hid_device* handle, bool numbered) : handle_(handle), numbered_(numbered) {}
    ~HidrawDevice() override { hid_close(handle_); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    int WriteReport(const std::uint8_t* data, std::size_t length) override {
        return hid_write(handle_, data, length);
    }

    int ReadReport(std::uint8_t* buffer, std::size_t length,
                   std::chrono::milliseconds timeout) override {
        // hidapi takes a negative time-out as "wait for ever"; a caller's
        // negative duration means "do not wait" instead.
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT_MAX);
        return hid_read_timeout(handle_, buffer, length, static_cast<int>(ms));
    }

    std::string ErrorText() override { return NarrowText(hid_error(handle_)); }

    bool NumberedReports() const override { return numbered_; }

private:
    hid_device* handle_;
    const bool numbered_;
};

class HidrawBus final : public HidBus {
public:
    std::vector<HidDeviceInfo> Enumerate() override {
        std::vector<HidDeviceInfo> devices;
        std::lock_guard lock(GlobalErrorMutex());
        hid_device_info* list = hid_enumerate(0, 0);
        for (const hid_device_info* it = list; it != nullptr; it = it->next) {
            if (it->path == nullptr) continue;
            devices.push_back(
                {it->path, it->vendor_id, it->product_id, NarrowText(it->product_string)});
        }
        hid_free_enumeration(list);
        return devices;
    }

    std::unique_ptr<HidDevice> Open(const std::string& path, std::string& error) override {
        std::unique_lock lock(GlobalErrorMutex());
        errno = 0;
        hid_device* handle = hid_open_path(path.c_str());
        if (handle == nullptr) {
            const int saved_errno = errno;
            error = NarrowText(hid_error(nullptr));
            // hidapi answers "Success" when it recorded nothing itself.
            if (error.empty() || error == "Success") error = std::strerror(saved_errno);
            return nullptr;
        }
        lock.unlock();
        return std::make_unique<HidrawDevice>(handle,
                                              ReadNumberedReports(ReportDescriptorPath(path)));
    }
};

}  // namespace

bool HasReportIdItem(const std::vector<std::uint8_t>& descriptor) {
    std::size_t at = 0;
    while (at < descriptor.size()) {
        const std::uint8_t prefix = descriptor[at];
        std::size_t item_size = 0;
        if (prefix == kLongItemPrefix) {
            // prefix, data size, long tag, then the data
            if (at + 1 >= descriptor.size()) return false;
            item_size = 3 + descriptor[at + 1];
        } else {
            item_size = 1 + kShortItemDataSize[prefix & kPrefixSizeMask];
            if ((prefix & ~kPrefixSizeMask) == kReportIdPrefix) {
                return at + item_size <= descriptor.size();
            }
        }
        at += item_size;
    }
    return false;
}

std::string ReportDescriptorPath(const std::string& device_path) {
    const std::size_t slash = device_path.rfind('/');
    const std::string name =
        slash == std::string::npos ? device_path : device_path.substr(slash + 1);
    const std::size_t prefix_length = std::strlen(kHidrawPrefix);
    if (name.size() <= prefix_length || name.compare(0, prefix_length, kHidrawPrefix) != 0 ||
        !std::all_of(name.begin() + prefix_length, name.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        return {};
    }
    return "/sys/class/hidraw/" + name + "/device/report_descriptor";
}

std::unique_ptr<HidBus> CreateHidBus() {
    static std::once_flag initialised;
    std::call_once(initialised, [] {
        std::lock_guard lock(GlobalErrorMutex());
        // A failure here resurfaces as the error of the first open.
        hid_init();
    });
    return std::make_unique<HidrawBus>();
}

}  // namespace gw::link
