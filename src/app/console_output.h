// Standard output or error as the headless runner writes to it: never blocking the main loop.
//
// A reader that stalls (a pipe nobody reads, a terminal stopped with Ctrl-S, a system journal
// that falls behind) would otherwise hold the main thread in write(2) while the mains fails.
// So each line goes out at once or not at all: what the descriptor cannot take is dropped and
// counted, and the next line that gets through comes after a note of how many were lost. A line
// that went out in part has its rest sent before anything else, so lines are never torn.
//
// The descriptor itself stays blocking for whoever shares it (the shell that started us on a
// terminal would otherwise find its own reads failing): a pipe, FIFO or terminal is opened
// again through /proc/self/fd as a private non-blocking copy, a socket (the system journal's)
// is written with MSG_DONTWAIT, and where neither is possible each write waits for poll(2) to
// report room. A regular file is written as it is: the disk does not stall like a reader.
//
// Thread rule: one thread per object (the main thread); objects on the same descriptor are
// independent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gw::app {

// The note before the first line that got through after a loss:
// "[Lines dropped here because the output was not read: 12]".
// clang-format off
inline constexpr char kOutputDroppedLead[] = "[Lines dropped here because the output was not read: ";
inline constexpr char kOutputDroppedTail[] = "]";
// clang-format on

class ConsoleOutput {
public:
    // `fd` stays open and is not changed; it must outlive this.
    explicit ConsoleOutput(int fd);
    // Tries once more what is owed: the rest of a line, and the note of a loss at the end.
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    // `line` and a newline, whole, or dropped and counted. Once the reader has gone (EPIPE and
    // the like) everything is dropped.
    void WriteLine(std::string_view line);
    // Lines dropped since this was made.
    std::uint64_t DroppedLines() const { return dropped_total_; }

private:
    enum class Way { Send, PrivateCopy, PollFirst, Plain };

    // Writes what the descriptor takes now from the front of `bytes` and erases it.
    void Push(std::string& bytes);
    // Bytes written, 0 when there is no room; sets broken_ when the reader has gone.
    std::size_t WriteSome(const char* data, std::size_t size);

    int fd_;
    int own_fd_ = -1;
    Way way_ = Way::Plain;
    bool broken_ = false;
    std::string rest_;              // of a line that went out in part
    std::uint64_t unreported_ = 0;  // dropped since the last note
    std::uint64_t dropped_total_ = 0;
};

}  // namespace gw::app
