#include "app/ini_settings_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "monitor/durable_file.h"
#include "app/ini_format.h"
#include "app/settings_keys.h"

namespace gw::app {

namespace {

constexpr mode_t kPrivateFile = 0600;

StoredValue ToStored(const ini::Value& value) {
    switch (value.Is) {
        case ini::Value::Kind::Text:
            return StoredValue::OfText(value.Text);
        case ini::Value::Kind::List:
            return {StoredValue::Type::Other, 0, "QStringList"};
        case ini::Value::Kind::Typed:
            break;
    }
    if (value.Text == "@Invalid()") return {StoredValue::Type::Unreadable, 0, {}};
    return {StoredValue::Type::Other, 0, value.Text.substr(1, value.Text.find('(') - 1)};
}

ini::Value ToIni(const StoredValue& value) {
    if (value.Is == StoredValue::Type::Integer) {
        // The window's library stores 32-bit integers.
        const long long clamped = value.Integer < INT32_MIN   ? INT32_MIN
                                  : value.Integer > INT32_MAX ? INT32_MAX
                                                              : value.Integer;
        return ini::Value::OfText(std::to_string(clamped));
    }
    return ini::Value::OfText(value.Text);
}

class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(std::string path) : path_(std::move(path)) {}

    StoredValues Load(std::string& problem) override {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0) {
            if (errno != ENOENT) problem = StoreUnreadable(path_, std::strerror(errno));
            return {};
        }
        if (!S_ISREG(info.st_mode)) {
            problem = StoreUnreadable(path_, "not a regular file");
            return {};
        }
        std::string error;
        const std::optional<std::string> bytes = monitor::ReadWholeFile(path_, error);
        if (!bytes) {
            problem = StoreUnreadable(path_, error);
            return {};
        }
        const ini::Document document = ini::Parse(*bytes);
        if (document.FormatError) problem = FormatText(SettingsText::FileDamaged, {path_, path_});
        StoredValues values;
        for (const auto& [key, value] : document.Values) {
            if (key.first.empty()) values[key.second] = ToStored(value);
        }
        return values;
    }

    std::string Save(const std::vector<StoreWrite>& writes, bool keep_backup,
                     std::string& reason) override {
        std::string error;
        const auto failed = [&](const std::string& why) {
            reason = why;
            return StoreSaveFailed(path_, why);
        };
        const std::string folder = path_.substr(0, path_.find_last_of('/'));
        if (!folder.empty() && !MakePrivateFolders(folder, error)) return failed(error);
        struct stat info {};
        const bool exists = ::stat(path_.c_str(), &info) == 0;
        if (exists && !S_ISREG(info.st_mode)) return failed("not a regular file");
        std::string old_bytes;
        if (exists) {
            std::optional<std::string> bytes = monitor::ReadWholeFile(path_, error);
            if (!bytes) return failed(error);
            old_bytes = std::move(*bytes);
        }
        if (exists && keep_backup &&
            !monitor::WriteFileDurably(path_ + ".bak", old_bytes, kPrivateFile, error)) {
            reason = "no copy of the old file could be kept: " + error;
            return FormatText(SettingsText::BackupFailed, {path_, error});
        }
        ini::Document document = ini::Parse(old_bytes);
        for (const StoreWrite& write : writes) {
            if (write.Value) {
                // A value saved as it was read keeps the bytes it was read from.
                ini::Value value = ToIni(*write.Value);
                const ini::Key key = ini::Document::Split(write.Name);
                const auto stored = document.Values.find(key);
                if (stored == document.Values.end() || !(stored->second == value)) {
                    document.Values[key] = std::move(value);
                }
            } else {
                document.Remove(write.Name);
            }
        }
        if (!monitor::WriteFileDurably(path_, ini::Write(document), kPrivateFile, error)) {
            return failed(error);
        }
        return {};
    }

private:
    std::string path_;
};

}  // namespace

std::unique_ptr<SettingsStore> OpenIniSettingsStore(const std::string& file_path) {
    return std::make_unique<IniSettingsStore>(file_path);
}

}  // namespace gw::app
