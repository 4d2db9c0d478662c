#include "app/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/ini_settings_store.h"
#include "app/settings_keys.h"
#include "monitor/durable_file.h"

namespace gw::app {

namespace {

constexpr mode_t kPrivateFile = 0600;

QString FileName(const std::string& path) { return QFile::decodeName(path.c_str()); }

std::string ErrnoText() { return std::strerror(errno); }

StoredValue FromVariant(const QVariant& variant) {
    if (!variant.isValid()) return {StoredValue::Type::Unreadable, 0, {}};
    switch (variant.typeId()) {
        case QMetaType::QString:
            return StoredValue::OfText(variant.toString().toStdString());
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
            return StoredValue::OfInteger(variant.toLongLong());
        default:
            return {StoredValue::Type::Other, 0, variant.typeName()};
    }
}

QVariant ToVariant(const StoredValue& value) {
    if (value.Is == StoredValue::Type::Integer) {
        return QVariant(
            static_cast<int>(std::clamp<long long>(value.Integer, INT32_MIN, INT32_MAX)));
    }
    return QVariant(QString::fromStdString(value.Text));
}

bool ReadWhole(const std::string& path, QByteArray& bytes, std::string& error) {
    QFile file(FileName(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString().toStdString();
        return false;
    }
    bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}

// A name beside `target` that nothing else uses, not even an earlier save of this process:
// QSettings keeps what it parsed by file name.
std::string ScratchName(const std::string& target) {
    static unsigned counter = 0;
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return folder + "." + base + "." + std::to_string(::getpid()) + "." +
           std::to_string(++counter) + ".tmp";
}

// A new private file at `path` holding `bytes`, on disk when this returns true.
bool CreateWithBytes(const std::string& path, const QByteArray& bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFile);
    if (fd < 0) {
        error = ErrnoText();
        return false;
    }
    const bool written =
        monitor::WriteAll(
            fd, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) &&
        ::fsync(fd) == 0;
    if (!written) error = ErrnoText();
    if (::close(fd) != 0 && written) {
        error = ErrnoText();
        ::unlink(path.c_str());
        return false;
    }
    if (!written) ::unlink(path.c_str());
    return written;
}

bool SyncFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fchmod(fd, kPrivateFile) == 0 && ::fsync(fd) == 0;
    if (!synced) error = ErrnoText();
    if (fd >= 0) ::close(fd);
    return synced;
}

// Puts the finished file `scratch` in place of `target` in one step: `target` is either the
// old file or the new one, whole, whatever happens.
bool ReplaceWith(const std::string& scratch, const std::string& target, std::string& error) {
    if (!SyncFile(scratch, error)) return false;
    if (::rename(scratch.c_str(), target.c_str()) != 0) {
        error = ErrnoText();
        return false;
    }
    monitor::SyncFolderOf(target);
    return true;
}

// A copy of `from` in `scratch`, readable by the owner only, on disk when this returns true.
bool MakeCopy(const std::string& from, const std::string& scratch, std::string& error) {
    QByteArray bytes;
    return ReadWhole(from, bytes, error) && CreateWithBytes(scratch, bytes, error);
}

// Integers come back from the INI file as their text.
QVariant Comparable(const QVariant& value) {
    switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
            return QString::number(value.toLongLong());
        default:
            return value;
    }
}

QVariantMap AllValues(const QSettings& settings) {
    QVariantMap values;
    for (const QString& key : settings.allKeys()) values[key] = Comparable(settings.value(key));
    return values;
}

// QSettings drops or replaces every byte that is not UTF-8 and writes the file back so, changing
// keys and values the user never touched. Such a file is read and written by the daemon's own
// reader and writer of the same format instead, which keep those bytes while they are unchanged.
bool IsUtf8(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString decoded = utf8.decode(bytes);
    return !utf8.hasError();
}

class QtSettingsStore final : public SettingsStore {
public:
    explicit QtSettingsStore(std::string path) : path_(std::move(path)) {}

    StoredValues Load(std::string& problem) override {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0) {
            if (errno != ENOENT) problem = StoreUnreadable(path_, ErrnoText());
            return {};
        }
        if (!S_ISREG(info.st_mode)) {
            problem = StoreUnreadable(path_, "not a regular file");
            return {};
        }
        if (::access(path_.c_str(), R_OK) != 0) {
            problem = StoreUnreadable(path_, ErrnoText());
            return {};
        }
        QByteArray bytes;
        std::string error;
        if (!ReadWhole(path_, bytes, error)) {
            problem = StoreUnreadable(path_, error);
            return {};
        }
        if (!IsUtf8(bytes)) return OpenIniSettingsStore(path_)->Load(problem);
        // QSettings parses on first use and says what it met only then, and only to the first
        // object that parsed this file in the process.
        QSettings settings(FileName(path_), QSettings::IniFormat);
        const QStringList keys = settings.childKeys();
        if (settings.status() == QSettings::AccessError) {
            problem = StoreUnreadable(path_, "access denied");
            return {};
        }
        if (settings.status() == QSettings::FormatError) {
            problem = FormatText(SettingsText::FileDamaged, {path_, path_});
        }
        StoredValues values;
        for (const QString& key : keys)
            values[key.toStdString()] = FromVariant(settings.value(key));
        return values;
    }

    // The new file is made beside the old one and replaces it only once it reads back as
    // intended: QSettings reports a write that a full disk or a size limit cut short as a
    // success, and would leave a short or empty file in the old one's place.
    std::string Save(const std::vector<StoreWrite>& writes, bool keep_backup,
                     std::string& reason) override {
        const auto failed = [&](std::string why) {
            reason = std::move(why);
            return StoreSaveFailed(path_, reason);
        };
        std::string error;
        const std::string folder = path_.substr(0, path_.find_last_of('/'));
        if (!folder.empty() && !MakePrivateFolders(folder, error)) return failed(error);
        // The file a save replaces: what a symbolic link at `path_` names, so that the link stays.
        const std::string target = monitor::LinkTarget(path_);
        struct stat info {};
        const bool exists = ::stat(target.c_str(), &info) == 0;
        if (exists && !S_ISREG(info.st_mode)) return failed("not a regular file");

        // Every file is made beside its place and put there only once the new settings read
        // back whole, so that a failure anywhere leaves the old file and the old copy as they
        // were.
        QByteArray old_bytes;
        if (exists && !ReadWhole(target, old_bytes, error)) return failed(error);
        if (!IsUtf8(old_bytes))
            return OpenIniSettingsStore(path_)->Save(writes, keep_backup, reason);

        const std::string backup = keep_backup && exists ? ScratchName(path_ + ".bak") : "";
        const std::string written = ScratchName(target);
        const std::string checked = ScratchName(target);
        struct Cleanup {
            std::vector<std::string> paths;
            ~Cleanup() {
                for (const std::string& path : paths) ::unlink(path.c_str());
            }
        } cleanup{{backup, written, checked}};
        if (!backup.empty() && !MakeCopy(target, backup, error)) {
            reason = "no copy of the old file could be kept: " + error;
            return FormatText(SettingsText::BackupFailed, {path_, error});
        }
        // Private from the start: QSettings' rewrites keep the mode they find, so the passwords
        // are never readable by others, not even for a moment.
        if (!CreateWithBytes(written, old_bytes, error)) return failed(error);
        QVariantMap expected;
        {
            QSettings settings(FileName(written), QSettings::IniFormat);
            expected = AllValues(settings);
            for (const StoreWrite& write : writes) {
                const QString key = QString::fromStdString(write.Name);
                if (write.Value) {
                    settings.setValue(key, ToVariant(*write.Value));
                    expected[key] = Comparable(ToVariant(*write.Value));
                } else {
                    settings.remove(key);
                    // QSettings removes a group's keys with the group's name, so the check must.
                    expected.remove(key);
                    const QString group = key + '/';
                    for (auto it = expected.begin(); it != expected.end();) {
                        it = it.key().startsWith(group) ? expected.erase(it) : std::next(it);
                    }
                }
            }
            settings.sync();
            // A FormatError here is about what was read before writing; the file is written.
            if (settings.status() == QSettings::AccessError) {
                return failed("the file or its folder cannot be written");
            }
        }
        // Read back under a name QSettings has not seen, so that it parses the file on disk
        // rather than hand back what it remembers writing.
        if (::rename(written.c_str(), checked.c_str()) != 0) return failed(ErrnoText());
        {
            QSettings settings(FileName(checked), QSettings::IniFormat);
            if (AllValues(settings) != expected || settings.status() != QSettings::NoError) {
                return failed("the new file did not read back whole; is the disk full?");
            }
        }
        if (!backup.empty() && !ReplaceWith(backup, path_ + ".bak", error)) {
            reason = "no copy of the old file could be kept: " + error;
            return FormatText(SettingsText::BackupFailed, {path_, error});
        }
        if (!ReplaceWith(checked, target, error)) return failed(error);
        return {};
    }

private:
    std::string path_;
};

}  // namespace

std::unique_ptr<SettingsStore> OpenQtSettingsStore(const std::string& file_path) {
    return std::make_unique<QtSettingsStore>(file_path);
}

}  // namespace gw::app
