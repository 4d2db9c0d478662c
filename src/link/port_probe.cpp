#include "link/port_probe.h"

#include <mutex>
#include <utility>

#include "link/com_exchange.h"
#include "link/serial_port.h"

namespace gw::link {

// Shared by the worker and the posted result, which may wait in the loop's queue after a
// cancel. `Cancelled` is read by both threads; `Alive` on the main thread only.
struct PortProber::Run {
    std::atomic<bool> Cancelled{false};
    bool Alive = true;
};

PortProber::PortProber(Wire& wire, MainLoop& loop) : wire_(wire), loop_(loop) {}

PortProber::~PortProber() { Cancel(); }

void PortProber::Cancel() {
    if (run_) {
        run_->Cancelled = true;
        run_->Alive = false;
    }
    if (worker_.joinable()) worker_.join();
    run_.reset();
    busy_ = false;
}

void PortProber::Probe(std::vector<int> ports, std::vector<Command> inquiries,
                       std::function<void(int port)> done) {
    Cancel();
    auto run = std::make_shared<Run>();
    run_ = run;
    busy_ = true;
    worker_ = std::thread([this, run, ports = std::move(ports), inquiries = std::move(inquiries),
                           done = std::move(done)]() mutable {
        int answering = 0;
        for (int port : ports) {
            if (run->Cancelled) break;
            std::lock_guard lock(wire_.Mutex());
            std::string ignored;
            std::unique_ptr<SerialPort> serial = wire_.OpenPortHandle(port, ignored);
            if (!serial) continue;
            bool answered = false;
            for (Command inquiry : inquiries) {
                if (AcceptsReply(inquiry,
                                 ComExchangeCommand(*serial, CommandText(inquiry), wire_.Sleep()))) {
                    answered = true;
                    break;
                }
            }
            std::string dtr_error;
            serial->SetDtr(false, dtr_error);
            if (answered) {
                answering = port;
                break;
            }
        }
        loop_.Post([this, run, answering, done = std::move(done)] {
            if (!run->Alive) return;
            // The worker has posted its last word: it is ending, so the join is short.
            if (worker_.joinable()) worker_.join();
            run_.reset();
            busy_ = false;
            done(answering);
        });
    });
}

}  // namespace gw::link
