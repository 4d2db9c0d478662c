#include "monitor/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "monitor/durable_file.h"

namespace gw::monitor {
namespace {

struct LocalTime {
    std::tm tm{};
    int milliseconds = 0;
    bool valid = false;
};

LocalTime ToLocal(std::chrono::system_clock::time_point t) {
    // floor, not to_time_t's truncation, so times before the epoch keep their second.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(t);
    LocalTime local;
    local.milliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t - seconds).count());
    const std::time_t tt = static_cast<std::time_t>(seconds.time_since_epoch().count());
    local.valid = localtime_r(&tt, &local.tm) != nullptr;
    return local;
}

std::string ErrnoText(int error_number) { return std::strerror(error_number); }

// Saving onto a symbolic link should replace the file it names, not the link.
std::string ResolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

// Creates a file of our own beside `target`; O_EXCL keeps us from ever writing into someone
// else's file.
int CreateTempBeside(const std::string& target, std::string& temp_path) {
    static unsigned counter = 0;
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path = dir + "." + base + "." + std::to_string(::getpid()) + "." +
                    std::to_string(++counter) + ".tmp";
        const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

void SyncDirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Best effort: the file itself is already on disk; this only makes the new name durable.
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

std::string DateTimeText(std::chrono::system_clock::time_point t) {
    const LocalTime local = ToLocal(t);
    // Only a time beyond the calendar gets here; a recognisable stand-in beats an empty stamp.
    if (!local.valid) return "0000-00-00 00:00:00";
    const std::tm& tm = local.tm;
    char text[64];
    if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday);
    } else {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    }
    return text;
}

std::string ProposedLogName(std::chrono::system_clock::time_point t) {
    const LocalTime local = ToLocal(t);
    if (!local.valid) return "Log.txt";
    const std::tm& tm = local.tm;
    char text[64];
    std::snprintf(text, sizeof text, "Log_%02d%02d%02d%02d%02d%02d%03d.txt",
                  (tm.tm_year + 1900) % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, local.milliseconds);
    return text;
}

EventLog::EventLog(Clock clock) : clock_(std::move(clock)) {}

void EventLog::AppendLog(std::string_view text) {
    std::string line = DateTimeText(clock_());
    line += ' ';
    line += text;
    if (lines_.size() == kKeptLines) {
        lines_.pop_front();
        ++dropped_;
    }
    lines_.push_back(line);
    pending_.emplace_back(std::move(line));
    DrainPending();
}

void EventLog::Clear() {
    lines_.clear();
    dropped_ = 0;
    pending_.emplace_back(std::nullopt);
    DrainPending();
}

void EventLog::DrainPending() {
    // The outermost call delivers; nested calls from observers only queue.
    if (delivering_) return;
    delivering_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{delivering_};
    while (!pending_.empty()) {
        const std::optional<std::string> event = std::move(pending_.front());
        pending_.pop_front();
        Deliver(event);
    }
}

void EventLog::Deliver(const std::optional<std::string>& event) {
    const auto snapshot = observers_;
    for (const auto& observer : snapshot) {
        if (observer->removed) continue;
        if (event && observer->on_line) observer->on_line(*event);
        if (!event && observer->on_clear) observer->on_clear();
    }
}

EventLog::ObserverId EventLog::Add(Observer observer) {
    observer.id = next_id_++;
    observers_.push_back(std::make_shared<Observer>(std::move(observer)));
    return observers_.back()->id;
}

EventLog::ObserverId EventLog::AddObserver(LineObserver on_line) {
    return Add(Observer{0, std::move(on_line), nullptr});
}

EventLog::ObserverId EventLog::AddClearObserver(ClearObserver on_clear) {
    return Add(Observer{0, nullptr, std::move(on_clear)});
}

void EventLog::RemoveObserver(ObserverId id) {
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
        if ((*it)->id == id) {
            (*it)->removed = true;
            observers_.erase(it);
            return;
        }
    }
}

bool EventLog::Save(const std::string& path, std::string& error) const {
    const auto fail = [&](const char* what, int error_number) {
        error = "Cannot save the log to \"" + path + "\": " + what + ": " + ErrnoText(error_number);
        return false;
    };
    if (path.empty() || path.back() == '/') return fail("not a file name", EISDIR);

    const std::string target = ResolveTarget(path);
    std::string temp_path;
    const int fd = CreateTempBeside(target, temp_path);
    if (fd < 0) return fail("cannot create a file in its folder", errno);

    const auto abandon = [&](const char* what) {
        const int error_number = errno;
        ::close(fd);
        ::unlink(temp_path.c_str());
        return fail(what, error_number);
    };
    // A replaced file keeps its permissions; a private log must not become world-readable.
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(fd, existing.st_mode & 07777);
    }
    std::string buffer;
    constexpr std::size_t kChunk = 64 * 1024;
    buffer.reserve(kChunk + 256);
    if (dropped_ > 0) {
        buffer += kDroppedLead + std::to_string(dropped_) + kDroppedKept +
                  std::to_string(kKeptLines) + kDroppedWhere +
                  (journal_path_.empty() ? kJournalUnnamed : kJournalLead + journal_path_);
        buffer += "\r\n";
    }
    for (const std::string& line : lines_) {
        buffer += line;
        buffer += "\r\n";
        if (buffer.size() >= kChunk) {
            if (!WriteAll(fd, buffer)) return abandon("write failed");
            buffer.clear();
        }
    }
    if (!WriteAll(fd, buffer)) return abandon("write failed");
    if (::fsync(fd) != 0) return abandon("write failed");
    if (::close(fd) != 0) {
        const int error_number = errno;
        ::unlink(temp_path.c_str());
        return fail("write failed", error_number);
    }
    if (::rename(temp_path.c_str(), target.c_str()) != 0) {
        const int error_number = errno;
        ::unlink(temp_path.c_str());
        return fail("cannot replace the file", error_number);
    }
    SyncDirOf(target);
    return true;
}

}  // namespace gw::monitor
