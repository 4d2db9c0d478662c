// The life of the program without its window: start-up (one copy per user, the platform, the
// settings, the start timer that finds the UPS and starts monitoring) and the close sequence.
// The headless runner drives it with console stand-ins for the tray and the dialogs; the window
// drives the same object with its widgets.
//
// Thread rule: main thread only. The polling thread reaches it through the main loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/history_service.h"
#include "app/http_service.h"
#include "app/instance_lock.h"
#include "app/nut_service.h"
#include "app/platform_info.h"
#include "app/report_channels.h"
#include "app/settings_store.h"
#include "app/user_actions.h"
#include "link/hid_device.h"
#include "link/hid_hotplug.h"
#include "link/main_loop.h"
#include "link/poller.h"
#include "link/ups_link.h"
#include "monitor/battery_watch.h"
#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/event_log.h"
#include "monitor/journal_file.h"
#include "monitor/link_watch.h"
#include "monitor/nut_watch.h"
#include "monitor/power_fail_response.h"
#include "monitor/quiet_log.h"
#include "monitor/status_evaluation.h"
#include "monitor/system_power.h"
#include "monitor/ups_detection.h"
#include "monitor/ups_state.h"
#include "monitor/user_commands.h"
#include "reports/report_notices.h"

namespace gw::app {

// What the program shows and asks: the tray, the status bar, the message box and the dialogs.
class Presentation : public monitor::TrayPresenter,
                     public monitor::StatusBar,
                     public monitor::DetectionDialogs {};

enum class PowerBackend { Logind, Simulated };

// The system service's own UPS as its network UPS server serves it on the loopback address.
inline constexpr const char* kServiceWatch = "gridwarden@127.0.0.1:3493";

// What made the display model change.
struct ModelChange {
    enum class What { Cycle, StartDetected, Monitoring, PowerChoices, Edited };
    What Kind = What::Edited;
    bool CycleFailed = false;  // Cycle: the exchange failed, nothing new was shown
    bool Monitoring = false;   // StartDetected: polling started
};

struct ApplicationOptions {
    PowerBackend Power = PowerBackend::Logind;
    std::string PowerBusAddress;  // empty: the system bus
    int ComPort = 0;              // 1..9 takes that port instead of the stored one; 0 none
    int RefreshSeconds = 0;       // a poll interval for this run only; 0 keeps the setting's
    std::string JournalDir;       // empty: the default; the history is kept there too
    bool KeepHistory = true;      // the history file beside the journal
    // Seconds of the battery's time per real second, for runs against a simulated UPS whose
    // clock runs faster: what the battery model learns and predicts follows the UPS's pace.
    double BatteryTimeScale = 1;
    std::string SettingsPath;  // empty: the default
    // Opens the settings store at a path; empty: the INI store without Qt.
    std::function<std::unique_ptr<SettingsStore>(const std::string&)> OpenStore;
    std::string AutostartPath;    // empty: the default
    bool ManageAutostart = true;  // false leaves the auto-start entry alone (the daemon)
    std::string ProgramPath;      // empty: this executable
    std::string RuntimeDir;       // for the locks; empty: the default
    // The system service's lock folder: while the service holds its lock there, this copy
    // leaves the UPS to it. Empty: no such check.
    std::string ServiceLockDir = kServiceLockDir;
    std::chrono::milliseconds RetryPeriod = monitor::UpsDetection::kRetryPeriod;
    bool WatchHidDevices = true;
    std::string NotifyBusAddress;  // the desktop notifications' bus; empty: the session bus
    std::string SmtpCaFile;        // trusted mail server certificates; empty: the system's
    std::chrono::milliseconds SmtpReplyTimeout{30000};
    std::uint16_t NutLoopbackPort = 0;  // see NutService::SetLoopbackPort
    // A UPS to watch over the network for this run, UPS@HOST[:PORT]; empty: "Watch UPS".
    std::string Watch;
    // Where the window finds the system service's UPS while the service holds its lock.
    std::string ServiceWatch = kServiceWatch;
};

class Application final : public UserActions,
                          private monitor::PowerHooks,
                          private monitor::DetectionSettings,
                          private monitor::ReportTimers {
public:
    // `ui` outlives this. `on_end` is called once when the program must end (the session or the
    // machine goes down); the close sequence has run by then.
    Application(link::MainLoop& loop, Presentation& ui, ApplicationOptions options,
                std::function<void()> on_end);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    enum class Started { Running, AnotherCopyRuns };
    // The system service watches the UPS: this copy shows so and opens no port.
    inline static const char* const kExitLine = "Exit chosen: this computer is no longer protected";
    inline static const char* const kServiceRunsText =
        "The Gridwarden system service is watching the UPS";
    // The start sequence; ends by arming the 100 ms start timer. On AnotherCopyRuns nothing was
    // touched and the caller ends silently.
    Started StartUp();

    // The close sequence, once; later calls do nothing. Also run by the end of the session.
    void Close();
    // The session ends: close, then `on_end`.
    void EndSession();

    // Every view of the display model (the window, the headless runner's output) follows it
    // here: told after each poll cycle's evaluation, once the start timer's detection has run,
    // and after anything else that changed the model outside a cycle.
    void AddModelObserver(std::function<void(const ModelChange&)> observer) {
        model_observers_.push_back(std::move(observer));
    }
    // Tells every view; for the window's own edits that other views must see.
    void ModelChanged(ModelChange::What what = ModelChange::What::Edited);

    // UserActions, for the window's controls.
    void StartMonitoring() override;
    void StopMonitoring() override;
    void SendCommand(monitor::UserCommand which, int minutes) override;
    void ActNow(monitor::PowerAction action) override;
    // Sets the polling interval from RefreshUD's position.
    void ApplyRefreshInterval() override;
    // Writes every setting to the store now, as at the close.
    void SaveSettings() override;
    // Exit from the tool bar or the tray: the window may close for good; the close sequence
    // runs once and the program ends.
    void RequestExit() override;
    bool CloseAllowed() const override { return close_allowed_; }

    bool Closed() const { return closed_; }
    // The system service held its lock at start-up: this copy watches the service's UPS.
    bool ServiceRuns() const { return service_runs_; }
    monitor::DisplayModel& Display() { return display_; }
    monitor::EventLog& Log() { return log_; }
    // The log as the journal file gets it, for a console that must not flood the system log.
    monitor::QuietLog& QuietedLog() { return quiet_log_; }
    monitor::StatusEvaluation& Evaluation() { return *evaluation_; }
    // The UPS watched over the network; null while the UPS is our own port's.
    monitor::NutWatch* Watch() { return watch_.get(); }
    // The record of the UPS's state, made after every poll cycle; parts that follow it
    // subscribe here.
    monitor::UpsStateKeeper& State() { return state_; }
    monitor::PowerFailResponse& Response() { return *response_; }

    // The HTTP tab. SetHttpServer is the click on HTTPCB: it sets the box, then starts the
    // server on the port HTTPPortE holds, or stops it; the two failures go to ShowError and
    // leave the box ticked.
    void SetHttpServer(bool on);
    // HTTPPortE is editable exactly while the server is stopped; HTTPUserE and HTTPPasswordE
    // exactly while HTTPAuthCB is ticked.
    bool HttpPortEditable() const override { return http_->PortEditable(); }
    bool HttpCredentialsEditable() const override { return http_->CredentialsEditable(); }
    void OnHttpEnabledClicked() override { SetHttpServer(display_.HTTPCB); }
    // After an edit of the user, the password or a page check box: the server answers from it
    // at once (otherwise within HttpService::kRefreshPeriod).
    void HttpPageChanged() override { http_->Publish(); }

    // The network UPS server's group. SetNutServer is the click on its box.
    void SetNutServer(bool on);
    void OnNutEnabledClicked() override { SetNutServer(display_.NUTServerCB); }
    bool NutFieldsEditable() const override { return nut_->FieldsEditable(); }
    void NutLoginChanged() override { nut_->Publish(); }
    std::shared_ptr<const history::HistoryReader> HistoryReader() const override {
        return history_->Reader();
    }

    // The SMTP and LAN tabs. Each does nothing before StartUp. The tests send a status report
    // now; the Reports boxes and the delay arrows make the period timers follow the model's
    // SMTPReportsCB / SMTPDelayUD and LANReportsCB / LANDelayUD after the change.
    void SendTestMail() override;
    void SendTestLanMessage() override;
    void OnSmtpReportsClicked() override;
    void OnSmtpDelayClicked() override;
    void OnLanReportsClicked() override;
    void OnLanDelayClicked() override;

private:
    // PowerHooks
    void StopReportTimers() override { Stop(); }
    void RestartReportTimers() override { Arm(); }
    void AllowClose() override { close_allowed_ = true; }
    void RunCloseSequence() override;
    // DetectionSettings
    int LoadComPort(const std::array<bool, 9>& port_available) override;
    void LoadThresholds(monitor::DisplayModel& model) override;
    // ReportTimers
    void Arm() override;
    void Stop() override;

    void Report(const std::vector<std::string>& problems);
    // A settings load's problems, then its notes for the log alone.
    void ReportSettings(const std::vector<std::string>& problems);
    void SaveSettingsNow();
    void Tell(const ModelChange& change);
    monitor::UpsStateInputs StateInputs() const;
    // After each poll cycle or try of the watched UPS: the record and its followers.
    void AfterCycle(bool good, bool cycle_failed);
    // From --watch, "Watch UPS" or the system service's lock; false: our own port as always.
    bool OpenWatch();
    SaveConditions Conditions() const;
    void OpenJournal();
    void EnablePowerChoices();
    // Tells the owner, once, that the program must end.
    void End();

    link::MainLoop& loop_;
    Presentation& ui_;
    ApplicationOptions options_;
    std::function<void()> on_end_;
    std::vector<std::function<void(const ModelChange&)>> model_observers_;

    monitor::EventLog log_;
    monitor::QuietLog quiet_log_{log_};
    monitor::JournalFile journal_;
    std::unique_ptr<HistoryService> history_;
    InstanceLocks locks_;
    PlatformVersion platform_;
    link::UpsLink ups_;
    link::DataMutex data_mutex_;
    std::unique_ptr<link::HidBus> hid_bus_;
    link::Wire wire_;
    monitor::DisplayModel display_;
    monitor::UpsStateKeeper state_;
    reports::ReportNotices notices_{display_, ups_};
    // Unplugs itself from notices_, so it goes first.
    std::unique_ptr<ReportChannels> channels_;
    std::unique_ptr<HttpService> http_;
    std::unique_ptr<NutService> nut_;

    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<SettingsBinding> settings_;

    std::unique_ptr<link::Poller> poller_;
    std::unique_ptr<monitor::PollingControlOf<link::Poller>> polling_control_;
    std::unique_ptr<monitor::SystemPower> power_;
    std::unique_ptr<monitor::SystemActionsOf<monitor::SystemPower>> system_actions_;
    std::unique_ptr<RecordedActions> recorded_actions_;
    std::unique_ptr<monitor::ProgramLauncher> launcher_;
    std::unique_ptr<monitor::PowerFailResponse> response_;
    std::unique_ptr<monitor::SecondaryActions> secondary_actions_;
    std::unique_ptr<monitor::GatedCountdown> countdown_;
    std::unique_ptr<monitor::StatusEvaluation> evaluation_;
    std::unique_ptr<monitor::NutWatch> watch_;
    monitor::NutWatch* watch_for_actions_ = nullptr;  // watch_ while it protects this machine
    std::unique_ptr<monitor::BatteryFileStore> battery_store_;
    std::unique_ptr<monitor::BatteryWatch> battery_;
    std::unique_ptr<monitor::LinkWatch> link_watch_;
    std::unique_ptr<monitor::UpsDetection> detection_;
    std::unique_ptr<monitor::UpsDetection> retired_detection_;  // after Close, until the end
    std::unique_ptr<link::HidHotplug> hotplug_;
    std::unique_ptr<monitor::UserCommands> commands_;

    link::TimerHandle start_timer_;
    bool started_ = false;
    // The stored thresholds were read in this run; until then the model holds only defaults,
    // which must not overwrite them.
    bool thresholds_loaded_ = false;
    bool close_allowed_ = false;
    bool closed_ = false;
    bool ended_ = false;
    bool service_runs_ = false;  // the system service held its lock at start-up
};

// The running executable's absolute path, for the auto-start entry.
std::string OwnProgramPath();

}  // namespace gw::app
