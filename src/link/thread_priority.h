#pragma once

namespace gw::link {

// Lets the calling thread run only when nothing else wants the processor,
// so polling never competes with the user's work. Best effort.
void LowerThreadPriority();

}  // namespace gw::link
