// What the user can ask of the program from the window's controls, as one narrow interface so
// that the window can be built and tested against a fake. `Application` implements it.
//
// Thread rule: main thread only.
#pragma once

#include <memory>

#include "history/history_reader.h"
#include "monitor/power_control.h"
#include "monitor/user_commands.h"

namespace gw::app {

class UserActions {
public:
    virtual ~UserActions() = default;
    virtual void StartMonitoring() = 0;
    virtual void StopMonitoring() = 0;
    // One of the tool bar's commands to the UPS; `minutes` only for the timed test.
    virtual void SendCommand(monitor::UserCommand which, int minutes) = 0;
    // The tool bar's Sleep, Hibernate and Shutdown.
    virtual void ActNow(monitor::PowerAction action) = 0;
    virtual void ApplyRefreshInterval() = 0;
    virtual void SaveSettings() = 0;
    virtual void RequestExit() = 0;
    virtual bool CloseAllowed() const = 0;
    // The report tabs: the test buttons, and the period timers following their boxes and
    // arrows (the model already holds the new state).
    virtual void SendTestMail() = 0;
    virtual void SendTestLanMessage() = 0;
    virtual void OnSmtpReportsClicked() = 0;
    virtual void OnSmtpDelayClicked() = 0;
    virtual void OnLanReportsClicked() = 0;
    virtual void OnLanDelayClicked() = 0;
    // The HTTP tab: HTTPCB starts or stops the status server (the model holds the new state);
    // the port may be edited only while it is stopped, the credentials only with HTTPAuthCB.
    virtual void OnHttpEnabledClicked() = 0;
    virtual bool HttpPortEditable() const = 0;
    virtual bool HttpCredentialsEditable() const = 0;
    // A page setting changed: the server answers from it at once.
    virtual void HttpPageChanged() = 0;
    // The network UPS server's group: its box starts or stops the server (the model holds the
    // new state); the address and the port may be edited only while it is stopped; an edit of
    // the login reaches the server at once.
    virtual void OnNutEnabledClicked() = 0;
    virtual bool NutFieldsEditable() const = 0;
    virtual void NutLoginChanged() = 0;
    // What the History page reads; null while no history is kept.
    virtual std::shared_ptr<const history::HistoryReader> HistoryReader() const {
        return nullptr;
    }
};

}  // namespace gw::app
