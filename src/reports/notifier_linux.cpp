#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <map>
#include <vector>

#include "reports/notifier.h"

namespace gw::reports {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kObject = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr std::chrono::seconds kCallTimeout{5};
constexpr std::int32_t kNeverExpires = 0;

// D-Bus carries UTF-8 and desktops break lines at LF: the reports' Latin-1 and CR LF end here.
std::string DesktopText(const std::string& text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (byte < 0x80) {
            utf8.push_back(static_cast<char>(byte));
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return utf8;
}

class DesktopNotifier final : public Notifier {
public:
    explicit DesktopNotifier(std::string bus_address) : bus_address_(std::move(bus_address)) {}

    bool Notify(const Notification& notification, std::string& error) override {
        try {
            auto connection = bus_address_.empty()
                                  ? sdbus::createSessionBusConnection()
                                  : sdbus::createSessionBusConnectionWithAddress(bus_address_);
            auto proxy = sdbus::createProxy(*connection, kService, kObject);
            const std::uint8_t urgency = notification.Urgency == NotifyUrgency::Critical ? 2 : 1;
            std::map<std::string, sdbus::Variant> hints{{"urgency", sdbus::Variant(urgency)}};
            std::uint32_t id = 0;
            proxy->callMethod("Notify")
                .onInterface(kInterface)
                .withTimeout(kCallTimeout)
                .withArguments(DesktopText(notification.AppName), std::uint32_t{0},
                               notification.Icon, DesktopText(notification.Title),
                               DesktopText(notification.Text), std::vector<std::string>{}, hints,
                               kNeverExpires)
                .storeResultsTo(id);
            return true;
        } catch (const sdbus::Error& e) {
            error = e.getName() + ": " + e.getMessage();
            return false;
        }
    }

private:
    std::string bus_address_;
};

}  // namespace

std::unique_ptr<Notifier> CreateDesktopNotifier(std::string bus_address) {
    return std::make_unique<DesktopNotifier>(std::move(bus_address));
}

}  // namespace gw::reports
