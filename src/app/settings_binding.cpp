// The binding of the settings table to the display model, over whichever store holds them.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/settings_keys.h"
#include "app/settings_store.h"

namespace gw::app {

namespace {

std::string ErrnoText() { return std::strerror(errno); }

bool SavedNow(const SettingRow& row, const SaveConditions& conditions) {
    if (row.Where == Binding::Threshold && !conditions.ThresholdsLoaded) return false;
    switch (row.Saved) {
        case SavedWhen::Always:
        case SavedWhen::ComLink:
            return true;
        case SavedWhen::Link:
            return conditions.LinkOpen;
        case SavedWhen::LinkOldPlatform:
            return conditions.LinkOpen && conditions.ForceOptionsApply;
    }
    return false;
}

}  // namespace

std::string UserConfigHome() {
    // As the window's settings library finds it, so that both name the same file.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] != '\0') return config;
    const char* home = std::getenv("HOME");
    std::string base = home != nullptr && home[0] != '\0' ? home : "/";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return (base == "/" ? "" : base) + "/.config";
}

std::string DefaultSettingsPath() { return UserConfigHome() + "/Tallowmere/Gridwarden.conf"; }

bool MakePrivateFolders(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no folder";
        return false;
    }
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        struct stat info {};
        if (::stat(prefix.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) {
                error = "'" + prefix + "' is not a folder";
                return false;
            }
        } else if (errno != ENOENT || (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)) {
            error = "'" + prefix + "': " + ErrnoText();
            return false;
        }
        if (end == std::string::npos) return true;
    }
}

StoredValues SettingsBinding::LoadStore(std::vector<std::string>& errors) {
    std::string problem;
    StoredValues values = store_.Load(problem);
    if (!problem.empty()) backup_due_ = true;
    if (!problem.empty() && problem != reported_problem_) errors.push_back(problem);
    reported_problem_ = std::move(problem);
    return values;
}

void SettingsBinding::AddNote(std::string note) {
    if (note.empty()) return;
    // What the user wrote goes only once the next save has kept a copy of it.
    backup_due_ = true;
    if (noted_.insert(note).second) notes_.push_back(std::move(note));
}

void SettingsBinding::ApplyRows(monitor::DisplayModel& model, const StoredValues& values,
                                std::vector<std::string>& errors,
                                const std::function<bool(const SettingRow&)>& wanted) {
    for (const auto& row : kSettings) {
        if (!wanted(row)) continue;
        const auto found = values.find(row.Name);
        if (found == values.end()) continue;
        std::string note;
        std::string error = ApplyStored(model, row, found->second, note);
        if (!error.empty()) {
            errors.push_back(std::move(error));
            backup_due_ = true;
        }
        AddNote(std::move(note));
    }
}

std::vector<std::string> SettingsBinding::LoadAtStartup(monitor::DisplayModel& model,
                                                        bool force_options_apply) {
    std::vector<std::string> errors;
    const StoredValues values = LoadStore(errors);
    ApplyRows(model, values, errors, [force_options_apply](const SettingRow& row) {
        if (row.Where == Binding::ComPort || row.Where == Binding::Threshold) return false;
        return row.Saved != SavedWhen::LinkOldPlatform || force_options_apply;
    });
    if (!autostart_.EntryPath.empty()) model.AutoRunCB = AutostartIsOn(autostart_);
    return errors;
}

int SettingsBinding::LoadComPort(const std::array<bool, 9>& port_available,
                                 std::vector<std::string>& errors) {
    const StoredValues values = LoadStore(errors);
    for (const auto& row : kSettings) {
        if (row.Where != Binding::ComPort) continue;
        const auto found = values.find(row.Name);
        if (found == values.end()) return 0;
        const std::optional<long long> port = StoredInteger(found->second);
        if (!port) {
            errors.push_back(StoredKindError(row, found->second));
            backup_due_ = true;
            return 0;
        }
        if (*port < row.Min || *port > row.Max) {
            AddNote(FormatText(SettingsText::OutOfRange,
                               {row.Name, ShownValue(found->second), "none"}));
            return 0;
        }
        if (!port_available[*port - 1]) return 0;
        return static_cast<int>(*port);
    }
    return 0;
}

std::vector<std::string> SettingsBinding::LoadThresholds(monitor::DisplayModel& model) {
    std::vector<std::string> errors;
    const StoredValues values = LoadStore(errors);
    ApplyRows(model, values, errors,
              [](const SettingRow& row) { return row.Where == Binding::Threshold; });
    return errors;
}

std::vector<std::string> SettingsBinding::Save(const monitor::DisplayModel& model,
                                               const SaveConditions& conditions) {
    std::vector<StoreWrite> writes;
    for (const auto& row : kSettings) {
        if (!SavedNow(row, conditions)) continue;
        if (row.Where == Binding::ComPort) {
            const bool known = conditions.ComOpen && conditions.ComPort >= row.Min &&
                               conditions.ComPort <= row.Max;
            writes.push_back(
                {row.Name,
                 known ? std::optional(StoredValue::OfInteger(conditions.ComPort)) : std::nullopt});
        } else if (std::optional<StoreWrite> write = WriteFor(model, row)) {
            writes.push_back(std::move(*write));
        }
    }
    std::vector<std::string> errors;
    std::string error = store_.Save(writes, backup_due_, save_failure_);
    if (error.empty()) {
        backup_due_ = false;
        save_failure_.clear();
    } else {
        errors.push_back(std::move(error));
    }
    if (!autostart_.EntryPath.empty()) {
        error = ApplyAutostart(autostart_, model.AutoRunCB);
        if (!error.empty()) errors.push_back(std::move(error));
    }
    return errors;
}

std::uint32_t RefreshIntervalMs(const monitor::DisplayModel& model) {
    return static_cast<std::uint32_t>(std::max(1, model.RefreshUD.Position)) * 1000;
}

std::string StoreUnreadable(const std::string& path, const std::string& reason) {
    return FormatText(SettingsText::FileUnreadable, {path, reason});
}

std::string StoreSaveFailed(const std::string& path, const std::string& reason) {
    return FormatText(SettingsText::SaveFailed, {path, reason});
}

}  // namespace gw::app
