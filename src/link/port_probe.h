// Asks serial ports, one after the other, whether a UPS answers there — on a worker thread,
// because a silent port costs about a second per inquiry and the main thread must stay free
// for the countdown, the sleep notices and the window meanwhile.
//
// Thread rule: construct, Probe, Cancel and destroy on the main thread; the result is posted
// to the main loop. Each port's open, exchanges and close run under DataMutex, so the probe
// never crosses another exchange on the wire.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "link/main_loop.h"
#include "link/protocol.h"
#include "link/ups_link.h"

namespace gw::link {

class PortProber {
public:
    // `wire` and `loop` outlive this.
    PortProber(Wire& wire, MainLoop& loop);
    // Waits for the port being probed, if any (a second at most); the result is then dropped.
    ~PortProber();
    PortProber(const PortProber&) = delete;
    PortProber& operator=(const PortProber&) = delete;

    // Opens each of `ports` in turn, asks `inquiries` in order until one is accepted, closes
    // it again. `done` runs on the main thread with the first port that answered, 0 for none.
    // A probe still under way is cancelled first: its `done` never runs.
    void Probe(std::vector<int> ports, std::vector<Command> inquiries,
               std::function<void(int port)> done);
    void Cancel();
    bool Busy() const { return busy_; }

private:
    struct Run;

    Wire& wire_;
    MainLoop& loop_;
    std::shared_ptr<Run> run_;
    std::thread worker_;
    bool busy_ = false;
};

}  // namespace gw::link
