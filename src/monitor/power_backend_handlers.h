// What a power backend shares with the tasks it posts to the main loop: its event handlers and
// whether it still exists. The tasks may still wait in the loop's queue when the backend is
// gone; then they do nothing.
//
// Thread rule: the struct is touched on the main thread only; PostWhileAlive may be called
// from any thread. For the backends' own files only.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "link/main_loop.h"

namespace gw::monitor {

struct BackendHandlers {
    bool Alive = true;
    std::function<void(bool)> Sleep;
    std::function<void(bool)> Shutdown;
};

// Runs `task` on the main thread unless the backend is gone by then.
inline void PostWhileAlive(link::MainLoop& loop, const std::shared_ptr<BackendHandlers>& handlers,
                           std::function<void()> task) {
    loop.Post([handlers, task = std::move(task)] {
        if (handlers->Alive) task();
    });
}

}  // namespace gw::monitor
