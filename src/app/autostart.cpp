#include "app/autostart.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

#include "monitor/durable_file.h"
#include "app/settings_keys.h"
#include "app/settings_store.h"

namespace gw::app {

namespace {

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The value of Exec in the [Desktop Entry] group, or none.
std::optional<std::string> ExecLine(const std::string& entry_path) {
    std::ifstream file(entry_path);
    std::string line;
    bool in_entry = false;
    while (std::getline(file, line)) {
        const std::string_view text = Trimmed(line);
        if (!text.empty() && text.front() == '[') {
            in_entry = text == "[Desktop Entry]";
            continue;
        }
        const auto equals = text.find('=');
        if (!in_entry || equals == std::string_view::npos) continue;
        if (Trimmed(text.substr(0, equals)) == "Exec") {
            return std::string(Trimmed(text.substr(equals + 1)));
        }
    }
    return std::nullopt;
}

std::string Failed(const AutostartEntry& entry, const std::string& reason) {
    return FormatText(SettingsText::AutostartFailed, {entry.EntryPath, reason});
}

}  // namespace

std::string DefaultAutostartEntryPath() {
    return UserConfigHome() + "/autostart/Gridwarden.desktop";
}

std::string QuotedProgramPath(const std::string& program_path) {
    // Two levels: the quoting of an Exec argument puts "\" before " ` $ \, and the value's own
    // escapes then write each "\" as "\\"; "%" starts a field code unless doubled.
    std::string quoted = "\"";
    for (const char c : program_path) {
        switch (c) {
            case '"':
            case '`':
            case '$':
                quoted += "\\\\";
                quoted += c;
                break;
            case '\\':
                quoted += "\\\\\\\\";
                break;
            case '%':
                quoted += "%%";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\t':
                quoted += "\\t";
                break;
            case '\r':
                quoted += "\\r";
                break;
            default:
                quoted += c;
        }
    }
    return quoted + "\"";
}

bool AutostartIsOn(const AutostartEntry& entry) {
    const std::optional<std::string> exec = ExecLine(entry.EntryPath);
    return exec && exec->find(QuotedProgramPath(entry.ProgramPath)) != std::string::npos;
}

std::string ApplyAutostart(const AutostartEntry& entry, bool on) {
    if (!on) {
        if (::unlink(entry.EntryPath.c_str()) != 0 && errno != ENOENT) {
            return Failed(entry, std::strerror(errno));
        }
        return {};
    }
    if (entry.ProgramPath.empty()) return Failed(entry, "the program's own path is unknown");
    if (AutostartIsOn(entry)) return {};
    std::string error;
    const std::string folder = entry.EntryPath.substr(0, entry.EntryPath.find_last_of('/'));
    if (!folder.empty() && !MakePrivateFolders(folder, error)) return Failed(entry, error);
    const std::string text = "[Desktop Entry]\nType=Application\nName=Gridwarden\nExec=" +
                             QuotedProgramPath(entry.ProgramPath) + "\n";
    if (!monitor::WriteFileDurably(entry.EntryPath, text, 0644, error)) return Failed(entry, error);
    return {};
}

}  // namespace gw::app
