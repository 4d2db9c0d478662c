#include "app/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/settings_keys.h"

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

// A copy of `from` at `to`, readable by the owner only, replacing any older copy whole.
bool KeepCopy(const std::string& from, const std::string& to, std::string& error) {
    QFile source(FileName(from));
    if (!source.open(QIODevice::ReadOnly)) {
        error = source.errorString().toStdString();
        return false;
    }
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError) {
        error = source.errorString().toStdString();
        return false;
    }
    QSaveFile copy(FileName(to));
    if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.commit()) {
        error = copy.errorString().toStdString();
        return false;
    }
    if (::chmod(to.c_str(), kPrivateFile) != 0) {
        error = ErrnoText();
        return false;
    }
    return true;
}

class QtSettingsStore final : public SettingsStore {
public:
    explicit QtSettingsStore(std::string path) : path_(std::move(path)) {}

    StoredValues Load(std::string& problem) override {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0) {
            if (errno != ENOENT) problem = Unreadable(ErrnoText());
            return {};
        }
        if (!S_ISREG(info.st_mode)) {
            problem = Unreadable("not a regular file");
            return {};
        }
        if (::access(path_.c_str(), R_OK) != 0) {
            problem = Unreadable(ErrnoText());
            return {};
        }
        // QSettings parses on first use and says what it met only then, and only to the first
        // object that parsed this file in the process.
        QSettings settings(FileName(path_), QSettings::IniFormat);
        const QStringList keys = settings.childKeys();
        if (settings.status() == QSettings::AccessError) {
            problem = Unreadable("access denied");
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

    std::string Save(const std::vector<StoreWrite>& writes, bool keep_backup) override {
        std::string error;
        const std::string folder = path_.substr(0, path_.find_last_of('/'));
        if (!folder.empty() && !MakePrivateFolders(folder, error)) return SaveFailed(error);
        struct stat info {};
        const bool exists = ::stat(path_.c_str(), &info) == 0;
        if (exists && !S_ISREG(info.st_mode)) return SaveFailed("not a regular file");
        if (exists && keep_backup && !KeepCopy(path_, path_ + ".bak", error)) {
            return FormatText(SettingsText::BackupFailed, {path_, error});
        }
        if (!exists) {
            // Made private before QSettings writes it: its rewrites keep the mode they find, so
            // the passwords are never readable by others, not even for a moment.
            const int fd =
                ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFile);
            if (fd < 0) return SaveFailed(ErrnoText());
            ::close(fd);
        }
        {
            QSettings settings(FileName(path_), QSettings::IniFormat);
            for (const StoreWrite& write : writes) {
                const QString key = QString::fromStdString(write.Name);
                if (write.Value) {
                    settings.setValue(key, ToVariant(*write.Value));
                } else {
                    settings.remove(key);
                }
            }
            settings.sync();
            // A FormatError here is about what was read before writing; the file is written.
            if (settings.status() == QSettings::AccessError) {
                return SaveFailed("the file or its folder cannot be written");
            }
        }
        if (::chmod(path_.c_str(), kPrivateFile) != 0) return SaveFailed(ErrnoText());
        return {};
    }

private:
    std::string Unreadable(const std::string& reason) const {
        return FormatText(SettingsText::FileUnreadable, {path_, reason});
    }
    std::string SaveFailed(const std::string& reason) const {
        return FormatText(SettingsText::SaveFailed, {path_, reason});
    }

    std::string path_;
};

}  // namespace

std::unique_ptr<SettingsStore> OpenQtSettingsStore(const std::string& file_path) {
    return std::make_unique<QtSettingsStore>(file_path);
}

}  // namespace gw::app
