// The window's pictures live in the program as Qt resources. A static library's resources are
// dropped by the linker unless something names them, so every user of an icon calls this
// first. Any thread before the first icon; cheap to repeat.
#pragma once

namespace gw::ui {

void LoadIcons();

}  // namespace gw::ui
