// The settings store of the daemon: the window's INI file, read and written without the window's
// settings library (whose text layer alone would outweigh the rest of the daemon's install).
// The same file, the same format, the same messages; each save is durable (a temporary file,
// synced, renamed over the old one), so a full disk or a power cut keeps the old settings.
//
// Thread rule: main thread only.
#pragma once

#include <memory>
#include <string>

#include "app/settings_store.h"

namespace gw::app {

std::unique_ptr<SettingsStore> OpenIniSettingsStore(const std::string& file_path);

}  // namespace gw::app
