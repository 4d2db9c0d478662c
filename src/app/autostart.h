// The per-user auto-start entry "Gridwarden": a desktop entry in <config home>/autostart whose
// Exec line is the quoted program path.
//
// Thread rule: main thread only.
#pragma once

#include <string>

namespace gw::app {

struct AutostartEntry {
    std::string EntryPath;    // .../autostart/Gridwarden.desktop
    std::string ProgramPath;  // the running executable, absolute
};

// <config home>/autostart/Gridwarden.desktop.
std::string DefaultAutostartEntryPath();

// `program_path` in double quotes, escaped as an Exec line needs it (so a path holding "$",
// "\\", "`", "\"" or "%" still names the program). For an ordinary path: "\"/usr/bin/x\"".
std::string QuotedProgramPath(const std::string& program_path);

// True when the entry exists and its Exec line contains the quoted program path anywhere
// (case-sensitive). An entry that cannot be read counts as absent.
bool AutostartIsOn(const AutostartEntry& entry);

// On: an entry whose Exec line contains the quoted path stays as it is; any other (or none) is
// replaced by a fresh entry. Off: the entry is removed if it exists. Empty on success, else the
// user's message.
std::string ApplyAutostart(const AutostartEntry& entry, bool on);

}  // namespace gw::app
