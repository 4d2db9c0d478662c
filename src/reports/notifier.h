// A message on the user's desktop: the freedesktop notification service on Linux. What the
// LAN channel pops up on this computer's screen.
//
// Thread rule: any thread; each call is independent of the others (the Linux one opens its
// own bus connection per message), so several senders may notify at once.
#pragma once

#include <memory>
#include <string>

namespace gw::reports {

enum class NotifyUrgency { Normal, Critical };

struct Notification {
    std::string AppName;
    std::string Title;
    std::string Text;  // 8-bit text as the reports compose it (Latin-1, CR LF line ends)
    std::string Icon;  // a themed icon name
    NotifyUrgency Urgency = NotifyUrgency::Normal;
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // True when the service took the message; otherwise false with the reason in `error`.
    // Blocks for at most a few seconds.
    virtual bool Notify(const Notification& notification, std::string& error) = 0;
};

// Over org.freedesktop.Notifications on the session bus at `bus_address`; empty: the user's
// session bus. The message stays until the user closes it.
std::unique_ptr<Notifier> CreateDesktopNotifier(std::string bus_address);

}  // namespace gw::reports
