// The user's settings: a per-user store of named values, and the binding that moves them between
// that store and the DisplayModel (start-up load, link-opening load, save).
//
// Thread rule: main thread only. The binding never stops at a bad value: each problem comes back
// as one message for the user (the app shows it and logs it), the value concerned keeps what the
// model held, and the next save first keeps a copy of the file that held it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/autostart.h"
#include "monitor/display_model.h"

namespace gw::app {

struct SettingRow;

// One value as the store holds it. Integer and boolean settings are written as integers,
// strings as text; a store that keeps only text (the INI file) hands integers back as Text and
// the reader decides whether the text is a whole number.
struct StoredValue {
    enum class Type {
        Integer,
        Text,
        Other,       // something of another kind (a list, a byte array, ...)
        Unreadable,  // the name is there but its value could not be had
    };
    Type Is = Type::Text;
    long long Integer = 0;
    std::string Text;

    static StoredValue OfInteger(long long value) { return {Type::Integer, value, {}}; }
    static StoredValue OfText(std::string text) { return {Type::Text, 0, std::move(text)}; }
    bool operator==(const StoredValue& other) const {
        return Is == other.Is && Integer == other.Integer && Text == other.Text;
    }
};

using StoredValues = std::map<std::string, StoredValue>;

// Writes Value under Name, or deletes Name when Value is empty.
struct StoreWrite {
    std::string Name;
    std::optional<StoredValue> Value;
};

// The per-user store. Keeps nothing between calls that the caller relies on.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Every value held. A store that does not exist yet is empty, not a problem. When the store
    // cannot be read whole, `problem` gets the user's message and the result holds what could be
    // read (possibly nothing).
    virtual StoredValues Load(std::string& problem) = 0;

    // Applies `writes` in order; names not written keep what they hold. All or nothing: a save
    // that fails leaves the store and its copy as they were. With `keep_backup`, a copy of the
    // store as it stood is kept first, and nothing is written unless that copy was made. Empty
    // on success, else the user's message, with the cause alone in `reason`.
    virtual std::string Save(const std::vector<StoreWrite>& writes, bool keep_backup,
                             std::string& reason) = 0;
};

// The user's messages about a store kept in the file at `path`: it cannot be read, or a save
// failed, with the cause.
std::string StoreUnreadable(const std::string& path, const std::string& reason);
std::string StoreSaveFailed(const std::string& path, const std::string& reason);

// $XDG_CONFIG_HOME, else ~/.config: the folder QSettings and the auto-start entries use.
std::string UserConfigHome();

// <config home>/Tallowmere/Gridwarden.conf, the file QSettings("Tallowmere", "Gridwarden") uses.
std::string DefaultSettingsPath();

// The store in the INI file at `file_path`, through QSettings. The file holds passwords: it and
// the folders made for it are readable by the user only.
std::unique_ptr<SettingsStore> OpenQtSettingsStore(const std::string& file_path);

// Makes the missing folders of `path` (itself included) with mode 0700. False with the reason
// in `error` when one cannot be made or a file stands in a folder's place.
bool MakePrivateFolders(const std::string& path, std::string& error);

// What the save needs to know of the link and the platform.
struct SaveConditions {
    bool LinkOpen = false;  // a HID UPS is present or a COM port is open
    bool ComOpen = false;
    int ComPort = 0;  // 1..9
    bool ForceOptionsApply = false;
    bool ThresholdsLoaded = false;  // the three battery thresholds were read from the store
};

class SettingsBinding {
public:
    // `autostart` with an empty EntryPath leaves the auto-start entry alone.
    SettingsBinding(SettingsStore& store, AutostartEntry autostart)
        : store_(store), autostart_(std::move(autostart)) {}

    // The values of start-up into `model`, out-of-range numbers clamped (and noted, see
    // TakeNotes), then the auto-start check into AutoRunCB. Fill LANServerNameE with the host
    // name first.
    std::vector<std::string> LoadAtStartup(monitor::DisplayModel& model, bool force_options_apply);

    // The stored "COM Port" when the scan found that port (`port_available`, COM1 first),
    // else 0.
    int LoadComPort(const std::array<bool, 9>& port_available, std::vector<std::string>& errors);

    // The stored battery thresholds, after ApplyNominalVoltage has set their range. One outside
    // that range is dropped (LoadStoredThreshold).
    std::vector<std::string> LoadThresholds(monitor::DisplayModel& model);

    // Writes what `conditions` allow, then applies AutoRunCB to the auto-start entry.
    std::vector<std::string> Save(const monitor::DisplayModel& model,
                                  const SaveConditions& conditions);

    // A load met something it could not use, and no save has kept the old file yet.
    bool BackupDue() const { return backup_due_; }
    // Why the last save did not reach the store (the cause alone); empty after one that did.
    const std::string& SaveFailure() const { return save_failure_; }
    // Lines for the log, each once per start: a stored number out of its range, or not a
    // number at all, and what is used instead. Taken, they are gone.
    std::vector<std::string> TakeNotes() { return std::move(notes_); }

private:
    StoredValues LoadStore(std::vector<std::string>& errors);
    // Applies the stored value of every row `wanted` picks; a value that cannot be used is
    // reported and makes the copy of the old file due.
    void ApplyRows(monitor::DisplayModel& model, const StoredValues& values,
                   std::vector<std::string>& errors,
                   const std::function<bool(const SettingRow&)>& wanted);

    SettingsStore& store_;
    AutostartEntry autostart_;
    bool backup_due_ = false;
    std::string save_failure_;
    // The store's problem that was last reported: the loads of one start meet the same
    // unreadable file three times, and the user hears of it once.
    std::string reported_problem_;
    void AddNote(std::string note);
    std::vector<std::string> notes_;
    std::set<std::string> noted_;  // every note of this start, taken or not
};

// RefreshUD as the poller's interval.
std::uint32_t RefreshIntervalMs(const monitor::DisplayModel& model);

}  // namespace gw::app
