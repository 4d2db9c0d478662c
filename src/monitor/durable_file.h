// Writing a whole file so that a crash, a full disk or a power cut leaves either the old file or
// the new one, never a part of either: a private temporary file beside the target, every write
// checked, synced, renamed over the target, and the folder synced.
//
// Thread rule: any thread; nothing is shared. Plain C++: the settings, the auto-start entry and
// the battery store all write through it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace gw::monitor {

// Writes all of `bytes` to `fd`, resuming after signals and short writes; false with errno set
// (ENOSPC where the file system took nothing).
bool WriteAll(int fd, std::string_view bytes);

// Best effort: makes a new name in the folder of `path` last, once the file itself is on disk.
void SyncFolderOf(const std::string& path);

// The file a write to `path` lands in: `path`, or where its symbolic links lead (followed to a
// name that is no link, whether a file stands there yet or not).
std::string LinkTarget(const std::string& path);

// Replaces `path` with `bytes`, the file getting `mode`; a symbolic link stays and its file is
// replaced. False with the reason in `error`; the old file is then untouched and no temporary
// file is left.
bool WriteFileDurably(const std::string& path, std::string_view bytes, mode_t mode,
                      std::string& error);

// The whole file, or nothing with the reason in `error` (ENOENT reads "missing").
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error);

}  // namespace gw::monitor
