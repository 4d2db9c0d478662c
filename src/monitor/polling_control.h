// The polling thread as the main thread drives it: started by detection, paused by Stop and by
// sleep, ended at power-off and close. link::Poller has all five; wrap it with PollingControlOf.
//
// Thread rule: main thread only.
#pragma once

namespace gw::monitor {

class PollingControl {
public:
    virtual ~PollingControl() = default;
    // Starts the polling thread unless one runs.
    virtual void StartPolling() = 0;
    // Keeps polling waiting before its next cycle; returns once an exchange in progress ended.
    virtual void PausePolling() = 0;
    // Called only while paused.
    virtual void ResumePolling() = 0;
    virtual bool PollingPaused() const = 0;
    // Ends the polling thread and waits for it; harmless when none runs.
    virtual void EndPolling() = 0;
};

template <typename Poller>
class PollingControlOf final : public PollingControl {
public:
    explicit PollingControlOf(Poller& poller) : poller_(poller) {}
    void StartPolling() override { poller_.StartPolling(); }
    void PausePolling() override { poller_.PausePolling(); }
    void ResumePolling() override { poller_.ResumePolling(); }
    bool PollingPaused() const override { return poller_.PollingPaused(); }
    void EndPolling() override { poller_.EndPolling(); }

private:
    Poller& poller_;
};

}  // namespace gw::monitor
