// The simulator's serial line: a pseudo-terminal whose slave side clients
// open as "COMn", the COMn link that points at it, and the paced writer.
//
// All on the simulator's single thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace gw::upssim {

class PtyPort {
public:
    // Opens a master in raw mode (2400 baud for looks). No end of the slave
    // is kept open here: a client that looks for ports in use by other
    // programs must find this one free, as a real UPS's port would be.
    static std::unique_ptr<PtyPort> Open(std::string& error);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slave_path_; }

    // Non-blocking. Return the byte count, 0 when nothing could be moved now
    // (EAGAIN, EINTR), or -1 with `error` set. While no client has the slave
    // open a read gives 0 and the master polls as hung up: the caller backs
    // off for a moment rather than spin, and looks again.
    ssize_t Read(char* buffer, std::size_t size, std::string& error);
    ssize_t Write(const char* data, std::size_t size, std::string& error);

private:
    PtyPort(int master, std::string slave_path);

    int master_;
    std::string slave_path_;
};

// Makes `link` a symbolic link to `target`, creating its folder and
// replacing a link left by an earlier run. A file that is not a link is left
// alone and reported.
bool PublishLink(const std::string& link, const std::string& target, std::string& error);

// Removes `link` only while it still points at `target`: a later simulator
// may have taken the name over.
void WithdrawLink(const std::string& link, const std::string& target);

// Holds reply bytes until the line can take them: all at once, or one byte
// per `byte_interval` to behave like a real 2400-baud line.
class OutputQueue {
public:
    using Clock = std::chrono::steady_clock;

    // 10 bits per byte at 2400 baud.
    static constexpr std::chrono::nanoseconds k2400BaudByte{4'166'667};
    // Replies nobody reads are dropped beyond this, oldest first.
    static constexpr std::size_t kMaxQueued = 64 * 1024;

    explicit OutputQueue(std::chrono::nanoseconds byte_interval) : interval_(byte_interval) {}

    void Append(const std::string& bytes, Clock::time_point now);
    bool Empty() const { return queued_.empty(); }

    // Writes what is due at `now`; false with `error` when the port failed.
    bool Flush(PtyPort& port, Clock::time_point now, std::string& error);

    // When paced bytes are held back: the time the next one is due.
    std::optional<Clock::time_point> NextWrite() const;
    // Whether the caller should wait for the port to become writable.
    bool WaitsForPort() const { return blocked_ && !queued_.empty(); }

private:
    std::chrono::nanoseconds interval_;
    std::string queued_;
    Clock::time_point next_{};
    bool blocked_ = false;
};

}  // namespace gw::upssim
