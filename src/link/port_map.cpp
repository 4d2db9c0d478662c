#include "link/port_map.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace gw::link {

namespace {

std::string ConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

}  // namespace

std::string PortMapDir() { return ConfigHome() + "/gridwarden/ports"; }

std::string PortMapLink(int port) { return PortMapDir() + "/COM" + std::to_string(port); }

ComRoute ResolveComPort(int port, bool keep_to_link) {
    const std::string link = PortMapLink(port);
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec))) {
        return {link, true};
    }
    if (keep_to_link) return {};
    return {"/dev/ttyS" + std::to_string(port - 1), false};
}

std::string ComPortPath(int port) { return ResolveComPort(port).Path; }

}  // namespace gw::link
