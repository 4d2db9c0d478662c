#include "monitor/journal_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace gw::monitor {
namespace {

constexpr char kJournalName[] = "journal.log";

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Like `mkdir -p` with mode 0700. On failure `failed` names the path that could not be made.
bool MakeDirs(const std::string& dir, std::string& failed) {
    std::size_t pos = dir.find_first_not_of('/');
    while (pos != std::string::npos) {
        const std::size_t end = dir.find('/', pos);
        const std::string prefix = dir.substr(0, end);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            failed = prefix;
            return false;
        }
        pos = end == std::string::npos ? end : dir.find_first_not_of('/', end);
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        failed = dir;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        failed = dir;
        errno = ENOTDIR;
        return false;
    }
    return true;
}

int OpenForAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

std::uintmax_t FileSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

// True when the file is non-empty and its last byte is not a newline, as after a torn write
// or a power cut in the middle of one.
bool EndsMidLine(const std::string& path, std::uintmax_t size) {
    if (size == 0) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char last = '\n';
    const bool read_ok = ::pread(fd, &last, 1, static_cast<off_t>(size - 1)) == 1;
    ::close(fd);
    return read_ok && last != '\n';
}

}  // namespace

std::string DefaultJournalDir() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/gridwarden";

    std::string home;
    const char* home_env = std::getenv("HOME");
    if (home_env != nullptr && home_env[0] != '\0') {
        home = home_env;
    } else {
        struct passwd pw {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    // No home at all: an empty result makes Open fail with a message rather than write to "/".
    if (home.empty()) return "";
    return home + "/.local/state/gridwarden";
}

JournalFile::~JournalFile() { Close(); }

bool JournalFile::Open(const std::string& dir, std::string& error, std::uintmax_t max_bytes) {
    Close();
    if (dir.empty()) {
        error = "The journal has no folder (neither XDG_STATE_HOME nor HOME is usable)";
        return false;
    }
    dir_ = dir;
    path_ = dir + "/" + kJournalName;
    rotated_path_ = path_ + ".1";
    max_bytes_ = max_bytes;
    return Reopen(error);
}

void JournalFile::Close() {
    std::string ignored;
    if (!dir_.empty()) Flush(ignored);
    unwritten_.clear();
    lost_ = 0;
    DropFile();
    dir_.clear();
}

void JournalFile::DropFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
    needs_newline_ = false;
}

bool JournalFile::Reopen(std::string& error) {
    DropFile();
    if (dir_.empty()) {
        error = "The journal is not open";
        return false;
    }
    std::string failed;
    if (!MakeDirs(dir_, failed)) {
        error = "Cannot create the journal folder " + Quoted(failed) + ": " + std::strerror(errno);
        return false;
    }
    fd_ = OpenForAppend(path_);
    if (fd_ < 0) {
        error = "Cannot open the journal " + Quoted(path_) + ": " + std::strerror(errno);
        return false;
    }
    size_ = FileSize(fd_);
    needs_newline_ = EndsMidLine(path_, size_);
    return true;
}

void JournalFile::RotateIfNeeded(std::uintmax_t next_bytes) {
    if (size_ == 0 || size_ + next_bytes <= max_bytes_) return;
    // ENOENT: someone removed journal.log under us; simply start a new one.
    if (::rename(path_.c_str(), rotated_path_.c_str()) != 0 && errno != ENOENT) return;
    const int fd = OpenForAppend(path_);
    // Keep writing through the old descriptor (now journal.log.1) rather than lose the line;
    // the next Append tries again.
    if (fd < 0) return;
    ::close(fd_);
    fd_ = fd;
    size_ = FileSize(fd_);
    needs_newline_ = EndsMidLine(path_, size_);
}

bool JournalFile::Append(std::string_view line, std::string& error) {
    if (dir_.empty()) {
        error = "The journal is not open";
        return false;
    }
    unwritten_.emplace_back(line);
    if (unwritten_.size() > max_unwritten_) {
        unwritten_.pop_front();
        ++lost_;
    }
    return Flush(error);
}

bool JournalFile::Flush(std::string& error) {
    if (!HasUnwritten()) return true;
    if (fd_ < 0 && !Reopen(error)) return false;
    if (lost_ > 0) {
        if (!WriteLine(kGapLead + std::to_string(lost_) + kGapTail, error)) return false;
        lost_ = 0;
    }
    while (!unwritten_.empty()) {
        if (!WriteLine(unwritten_.front(), error)) return false;
        unwritten_.pop_front();
    }
    // EINVAL: the file cannot be synced at all (not a disk file); the writes themselves
    // succeeded.
    if (::fdatasync(fd_) != 0 && errno != EINVAL) {
        error = "Cannot sync the journal " + Quoted(path_) + ": " + std::strerror(errno);
        // After a failed sync the kernel may have dropped the data; start over with a fresh
        // descriptor rather than trust this one. The lines are not written again: they may
        // well be in the file, and twice would be worse than a sync error reported.
        DropFile();
        return false;
    }
    return true;
}

bool JournalFile::WriteLine(std::string_view line, std::string& error) {
    RotateIfNeeded(line.size() + 1 + (needs_newline_ ? 1 : 0));

    std::string record;
    record.reserve(line.size() + 2);
    if (needs_newline_) record += '\n';
    record += line;
    record += '\n';

    // One write(2) per line, so that O_APPEND keeps lines whole; a short write is resumed.
    const char* data = record.data();
    std::size_t left = record.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            const int failure = errno;
            // The part that reached the file is taken back, so that the line goes whole
            // later; when it cannot be, the reopened file sees the torn end and starts the
            // next line on a line of its own.
            if (left < record.size()) {
                [[maybe_unused]] const int best_effort =
                    ::ftruncate(fd_, static_cast<off_t>(size_));
            }
            error = "Cannot write the journal " + Quoted(path_) + ": " + std::strerror(failure);
            DropFile();
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    size_ += record.size();
    needs_newline_ = false;
    return true;
}

namespace {

struct Attachment {
    JournalFile& journal;
    std::function<void(const std::string& error)> on_error;
    link::MainLoop* retry_loop;
    bool reported = false;
    link::TimerHandle retry;
};

void ArmRetry(const std::shared_ptr<Attachment>& attachment) {
    if (attachment->retry_loop == nullptr || attachment->retry.Armed() ||
        !attachment->journal.HasUnwritten()) {
        return;
    }
    attachment->retry = attachment->retry_loop->StartTimer(
        kJournalRetryPeriod, [weak = std::weak_ptr<Attachment>(attachment)] {
            const std::shared_ptr<Attachment> held = weak.lock();
            if (!held) return;
            held->retry.Reset();
            std::string error;
            if (held->journal.Flush(error)) {
                held->reported = false;
            } else {
                ArmRetry(held);
            }
        });
}

}  // namespace

EventLog::ObserverId AttachJournal(EventLog& log, JournalFile& journal,
                                   std::function<void(const std::string& error)> on_error,
                                   link::MainLoop* retry_loop) {
    return log.AddObserver(JournalWriter(journal, std::move(on_error), retry_loop));
}

EventLog::LineObserver JournalWriter(JournalFile& journal,
                                     std::function<void(const std::string& error)> on_error,
                                     link::MainLoop* retry_loop) {
    auto attachment = std::make_shared<Attachment>(
        Attachment{journal, std::move(on_error), retry_loop, false, {}});
    return [attachment](const std::string& line) {
        std::string error;
        if (attachment->journal.Append(line, error)) {
            attachment->reported = false;
            attachment->retry.Reset();
            return;
        }
        ArmRetry(attachment);
        if (attachment->reported) return;
        // Set before the call: on_error may log, and that line comes back here.
        attachment->reported = true;
        if (attachment->on_error) attachment->on_error(error);
    };
}

}  // namespace gw::monitor
