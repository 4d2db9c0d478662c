#include "app/application.h"

#include <unistd.h>

#include <climits>
#include <iostream>

#include "app/autostart.h"
#include "app/ini_settings_store.h"
#include "link/protocol.h"
#include "link/ups_commands.h"
#include "monitor/external_program.h"
#include "monitor/power_control.h"

namespace gw::app {

namespace {

constexpr std::chrono::milliseconds kStartTimerDelay{100};

}  // namespace

std::string OwnProgramPath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

Application::Application(link::MainLoop& loop, Presentation& ui, ApplicationOptions options,
                         std::function<void()> on_end)
    : loop_(loop),
      ui_(ui),
      options_(std::move(options)),
      on_end_(std::move(on_end)),
      hid_bus_(link::CreateHidBus()),
      wire_(ups_, data_mutex_, log_, hid_bus_.get()) {
    poller_ = std::make_unique<link::Poller>(wire_, loop_, [this](bool exchange_failed) {
        bool good = false;
        if (link_watch_) link_watch_->OnLinkChange(poller_->TakeLinkChange());
        if (!exchange_failed) quiet_log_.OnCycleThrough();
        if (exchange_failed) {
            evaluation_->EvaluateFailedCycle();
        } else {
            good = evaluation_->EvaluateStatus(poller_->CopyStoredReply()).End ==
                   monitor::EvaluationEnd::Complete;
        }
        AfterCycle(good, exchange_failed);
    });
    history_ = std::make_unique<HistoryService>(loop_, log_);
    http_ = std::make_unique<HttpService>(loop_, display_, ups_, state_, ui_, log_);
    http_->SetHistory(history_.get());
    nut_ = std::make_unique<NutService>(loop_, display_, ups_, ui_, log_, GW_VERSION);
    nut_->SetCommandRunner(
        [this](monitor::UserCommand which, int minutes) { SendCommand(which, minutes); });
    history_->SetStateSource([this] { return state_.Current(); });
    // The parts that follow the state each cycle, in this order.
    state_.Subscribe([this](const monitor::UpsState& state) { history_->OnCycle(state); });
    state_.Subscribe([this](const monitor::UpsState& state) {
        nut_->OnCycle(state, response_->State() == monitor::ResponseState::Acting);
    });
    state_.Subscribe([this](const monitor::UpsState& state) {
        if (link_watch_ && !watch_) link_watch_->OnCycle(state.NewReply);
    });
    state_.Subscribe([this](const monitor::UpsState& state) {
        if (state.NewReply && commands_ && !watch_) commands_->OnStatusShown(state);
    });
    // The page shows this cycle's readings from the next request on.
    state_.Subscribe([this](const monitor::UpsState&) {
        if (http_->Running()) http_->Publish();
    });
    polling_control_ = std::make_unique<monitor::PollingControlOf<link::Poller>>(*poller_);
}

Application::~Application() {
    // Whatever ended the program, the polling thread must not outlive what it reports to.
    if (!closed_ && started_) Close();
    hotplug_.reset();
    detection_.reset();
    retired_detection_.reset();
    watch_.reset();
    evaluation_.reset();
    battery_.reset();
    response_.reset();
    if (poller_) poller_->EndPolling();
}

void Application::AfterCycle(bool good, bool cycle_failed) {
    monitor::UpsStateInputs inputs = StateInputs();
    inputs.Evaluated = !cycle_failed;
    state_.OnCycle(good, inputs);
    ModelChange change;
    change.Kind = ModelChange::What::Cycle;
    change.CycleFailed = cycle_failed;
    Tell(change);
}

bool Application::OpenWatch() {
    const monitor::WatchChoice choice = monitor::ChooseWatch(options_.Watch, display_.WatchUpsE,
                                                             service_runs_, options_.ServiceWatch);
    // A typing error leaves the machine's own port, as before the setting.
    if (!choice.Error.empty()) Report({"Watch UPS: " + choice.Error});
    if (!choice.Target) return false;
    watch_ = std::make_unique<monitor::NutWatch>(
        *choice.Target, display_.WatchUserE, display_.WatchPasswordE, loop_, ups_, display_, log_,
        *evaluation_, *countdown_, [this](bool good) { AfterCycle(good, !good); });
    // Beside the system service the window only shows: the service protects the machine.
    watch_->SetSecondary(choice.Secondary);
    countdown_->SetOpen(choice.Secondary);
    watch_for_actions_ = choice.Secondary ? watch_.get() : nullptr;
    return true;
}

monitor::UpsStateInputs Application::StateInputs() const {
    monitor::UpsStateInputs inputs;
    inputs.Status = &evaluation_->Status();
    inputs.UpsFound = ups_.UpsFound || watch_ != nullptr;
    if (watch_) {
        inputs.Source = watch_->Name();
        inputs.Problem = watch_->Problem();
    }
    inputs.NominalBatteryVolts = ups_.NominalBatteryVoltage;
    inputs.Protection.State = response_->State();
    inputs.Protection.Left = response_->SecondsLeft();
    inputs.Protection.Action = monitor::ChosenAction(display_);
    const monitor::BatteryModel* battery = battery_ ? battery_->Model() : nullptr;
    if (battery != nullptr) inputs.HealthEvidence = battery->Knowledge().Evidence;
    inputs.Manufacturer = display_.MfrE;
    inputs.Model = display_.ModelE.empty() ? display_.ProductNameE : display_.ModelE;
    inputs.Firmware = display_.VerE;
    return inputs;
}

void Application::OpenJournal() {
    std::string error;
    const std::string dir =
        options_.JournalDir.empty() ? monitor::DefaultJournalDir() : options_.JournalDir;
    const bool opened = journal_.Open(dir, error);
    // Named and attached also when it did not open: the journal keeps the lines and keeps
    // trying that folder.
    log_.SetJournalPath(journal_.Path());
    quiet_log_.AddObserver(monitor::JournalWriter(
        journal_,
        [this](const std::string& failure) {
            const std::string text = "The journal cannot be written (" + failure +
                                     "); its lines are kept until it can be.";
            log_.AppendLog(text);
            ui_.ShowStatus(text);
        },
        &loop_));
    if (!opened) ui_.ShowError("Journal: " + error);
}

void Application::Report(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) {
        log_.AppendLog(problem);
        ui_.ShowError(problem);
    }
}

void Application::ReportSettings(const std::vector<std::string>& problems) {
    Report(problems);
    for (const std::string& note : settings_->TakeNotes()) log_.AppendLog(note);
}

void Application::SaveSettingsNow() {
    std::vector<std::string> problems = settings_->Save(display_, Conditions());
    if (settings_->SaveFailure().empty()) {
        Report(problems);
        return;
    }
    // The old file stays as it was and the next save tries again: a line in the log and one in
    // the status bar say so, where a message box could hold up the close sequence.
    log_.AppendLog(problems.front());
    ui_.ShowStatus("Settings could not be saved: " + settings_->SaveFailure());
    problems.erase(problems.begin());
    Report(problems);
}

void Application::EnablePowerChoices() {
    display_.SleepSBEnabled = display_.SleepRBEnabled =
        power_->Allowed(monitor::PowerAction::Suspend);
    display_.HibernateSBEnabled = display_.HibernateRBEnabled =
        power_->Allowed(monitor::PowerAction::Hibernate);
    display_.ShutdownSBEnabled = display_.ShutdownRBEnabled =
        power_->Allowed(monitor::PowerAction::PowerOff);
}

Application::Started Application::StartUp() {
    // A second copy ends before it touches anything the first one owns, the journal included.
    const std::string lock_dir = options_.RuntimeDir.empty() ? RuntimeDir() : options_.RuntimeDir;
    locks_.Take(lock_dir);
    if (locks_.AnotherCopyRuns) return Started::AnotherCopyRuns;
    started_ = true;
    // Two monitors on one UPS would fight over its port, and both would act on a power failure.
    service_runs_ = !options_.ServiceLockDir.empty() && options_.ServiceLockDir != lock_dir &&
                    LockHeld(options_.ServiceLockDir, kInstanceLockName);

    OpenJournal();
    if (options_.KeepHistory) {
        history_->Open(options_.JournalDir.empty() ? monitor::DefaultJournalDir()
                                                   : options_.JournalDir);
    }
    if (!locks_.Problem.empty()) log_.AppendLog("Single instance lock: " + locks_.Problem);

    platform_ = ReadPlatformVersion();
    display_.OSL = OsLabel(platform_);
    const bool force_options = monitor::ForceOptionsEnabled(platform_.Major);
    display_.ForceShutdownCBEnabled = display_.ForceSuspendCBEnabled = force_options;
    display_.VersionL = GW_VERSION;

    std::unique_ptr<monitor::PowerControl> backend;
    if (options_.Power == PowerBackend::Simulated) {
        backend = monitor::CreateSimulatedPowerControl(log_, loop_);
    } else {
        std::string error;
        backend = monitor::CreateLogindPowerControl(options_.PowerBusAddress, loop_, error);
        if (!error.empty()) log_.AppendLog("Power control: " + error);
    }
    power_ =
        std::make_unique<monitor::SystemPower>(std::move(backend), loop_, log_, *polling_control_,
                                               static_cast<monitor::PowerHooks&>(*this));
    // The answers to "may I?" come later from the system; the choices follow each of them.
    power_->OnAllowedChanged([this] {
        EnablePowerChoices();
        ModelChanged(ModelChange::What::PowerChoices);
    });
    system_actions_ = std::make_unique<monitor::SystemActionsOf<monitor::SystemPower>>(*power_);
    launcher_ = monitor::MakeProgramLauncher(loop_);
    recorded_actions_ = std::make_unique<RecordedActions>(*system_actions_, *history_);
    secondary_actions_ =
        std::make_unique<monitor::SecondaryActions>(*recorded_actions_, watch_for_actions_);
    response_ = std::make_unique<monitor::PowerFailResponse>(
        loop_, display_, log_, *secondary_actions_, *launcher_,
        monitor::UnlessWatching(monitor::UpsCommandsOver(wire_), watch_for_actions_, log_));
    countdown_ = std::make_unique<monitor::GatedCountdown>(*response_);
    evaluation_ = std::make_unique<monitor::StatusEvaluation>(ups_, display_, log_, ui_, notices_,
                                                              *countdown_);
    // What is learned about the battery lives beside the journal.
    battery_store_ = std::make_unique<monitor::BatteryFileStore>(
        options_.JournalDir.empty() ? monitor::DefaultJournalDir() : options_.JournalDir);
    battery_ = std::make_unique<monitor::BatteryWatch>(
        ups_, display_, log_, ui_, notices_, *countdown_, *battery_store_, [this](int minutes) {
            // A watched UPS is tested by whoever holds its cable.
            if (watch_) return;
            // A unit that knows no timed test still runs the 10-second one.
            if (minutes <= 0 || link::IsEcho(link::Command::TestMinutes,
                                             wire_.ExchangeCommand(link::CommandText(
                                                 link::Command::TestMinutes, minutes)),
                                             minutes)) {
                wire_.ExchangeCommand(link::CommandText(link::Command::Test10s));
            }
        });
    battery_->SetTimeScale(options_.BatteryTimeScale);
    evaluation_->SetBatteryHook(
        [this](monitor::UpsStatus& status) { battery_->OnEvaluated(status); });
    history_->SetCapacitySource([this] { return LearnedCapacityOf(battery_->Model()); });
    response_->SetSecondaries(nut_.get());
    link_watch_ = std::make_unique<monitor::LinkWatch>(ups_, display_, log_, ui_);
    EnablePowerChoices();

    display_.LANServerNameE = ComputerName();
    ReportChannelOptions report_options;
    report_options.ComputerName = display_.LANServerNameE;
    report_options.NotifyBusAddress = options_.NotifyBusAddress;
    report_options.SmtpCaFile = options_.SmtpCaFile;
    report_options.SmtpReplyTimeout = options_.SmtpReplyTimeout;
    channels_ = std::make_unique<ReportChannels>(loop_, display_, ups_, state_, ui_, notices_,
                                                 report_options);
    poller_->SetRefreshInterval(link::kStartRefreshInterval);

    const std::string settings_path =
        options_.SettingsPath.empty() ? DefaultSettingsPath() : options_.SettingsPath;
    store_ = options_.OpenStore ? options_.OpenStore(settings_path)
                                : OpenIniSettingsStore(settings_path);
    AutostartEntry autostart;
    if (options_.ManageAutostart) {
        autostart = {
            options_.AutostartPath.empty() ? DefaultAutostartEntryPath() : options_.AutostartPath,
            options_.ProgramPath.empty() ? OwnProgramPath() : options_.ProgramPath};
    }
    settings_ = std::make_unique<SettingsBinding>(*store_, std::move(autostart));
    // A bad value is reported and keeps its default; start-up goes on so that the UPS is
    // watched all the same.
    ReportSettings(settings_->LoadAtStartup(display_, force_options));
    // Loaded Reports boxes start their timers now, also when no UPS is ever found.
    channels_->OnSmtpReportsClicked();
    channels_->OnLanReportsClicked();
    // The stored box ticks itself, which starts the server before monitoring does.
    if (display_.HTTPCB) http_->OnEnabledChanged();
    if (display_.NUTServerCB) nut_->OnEnabledChanged();
    nut_->SetLoopbackPort(options_.NutLoopbackPort);
    poller_->SetRefreshInterval(options_.RefreshSeconds > 0
                                    ? static_cast<std::uint32_t>(options_.RefreshSeconds) * 1000
                                    : RefreshIntervalMs(display_));
    OpenWatch();

    monitor::DetectionPeers peers{
        ui_,
        ui_,
        *this,
        *this,
        *polling_control_,
        [this](monitor::PowerAction action) { return power_->Allowed(action); },
        [this] { power_->RefreshAllowed(); }};
    detection_ = std::make_unique<monitor::UpsDetection>(wire_, display_, log_, ui_, loop_, peers,
                                                         options_.RetryPeriod);
    if (options_.WatchHidDevices && !service_runs_ && !watch_) {
        std::string error;
        hotplug_ = link::StartHidHotplug(
            loop_,
            [this] {
                if (!closed_) detection_->HidEnumerationPass();
            },
            error);
        if (!hotplug_) log_.AppendLog("HID device changes are not followed: " + error);
    }

    commands_ = std::make_unique<monitor::UserCommands>(
        [this](std::string_view command) { return wire_.ExchangeCommand(command); },
        [this] { return ups_.HidPresent || ups_.ComOpen; }, display_, ui_);

    start_timer_ = loop_.StartTimer(kStartTimerDelay, [this] {
        start_timer_.Reset();
        if (closed_) return;
        if (watch_) {
            if (service_runs_) {
                log_.AppendLog(kServiceRunsText);
                ui_.ShowStatus(kServiceRunsText);
            }
            // No port is probed or opened: the UPS is the server's.
            watch_->Start(std::chrono::milliseconds(poller_->RefreshInterval()));
            ModelChange change;
            change.Kind = ModelChange::What::StartDetected;
            change.Monitoring = true;
            Tell(change);
            return;
        }
        if (service_runs_) {
            log_.AppendLog(kServiceRunsText);
            ui_.ShowStatus(kServiceRunsText);
            ModelChange change;
            change.Kind = ModelChange::What::StartDetected;
            Tell(change);
            return;
        }
        detection_->StartUpDetection([this](monitor::StartOutcome) {
            if (http_->Running()) http_->Publish();
            if (nut_->Running()) nut_->Publish();
            ModelChange change;
            change.Kind = ModelChange::What::StartDetected;
            change.Monitoring = ups_.LinkUsable && (ups_.Q1Answered || ups_.QSAnswered);
            Tell(change);
        });
    });
    return Started::Running;
}

void Application::Arm() {
    if (channels_) channels_->Arm();
}

void Application::Stop() {
    if (channels_) channels_->Stop();
}

void Application::SendTestMail() {
    if (channels_) channels_->SendTestMail();
}

void Application::SendTestLanMessage() {
    if (channels_) channels_->SendTestLanMessage();
}

void Application::OnSmtpReportsClicked() {
    if (channels_) channels_->OnSmtpReportsClicked();
}

void Application::OnSmtpDelayClicked() {
    if (channels_) channels_->OnSmtpDelayClicked();
}

void Application::OnLanReportsClicked() {
    if (channels_) channels_->OnLanReportsClicked();
}

void Application::OnLanDelayClicked() {
    if (channels_) channels_->OnLanDelayClicked();
}

int Application::LoadComPort(const std::array<bool, 9>& port_available) {
    if (options_.ComPort >= 1 && options_.ComPort <= 9) {
        return port_available[static_cast<std::size_t>(options_.ComPort - 1)] ? options_.ComPort
                                                                              : 0;
    }
    std::vector<std::string> problems;
    const int port = settings_->LoadComPort(port_available, problems);
    ReportSettings(problems);
    return port;
}

void Application::LoadThresholds(monitor::DisplayModel& model) {
    thresholds_loaded_ = true;
    ReportSettings(settings_->LoadThresholds(model));
}

void Application::Close() {
    if (closed_ || !started_) return;
    closed_ = true;
    // Nothing may start a new exchange or action while the program winds down.
    start_timer_.Reset();
    hotplug_.reset();
    // Not destroyed here: the close may come from inside one of detection's own dialogs
    // (the session ends while the COM port is asked for), and that call is still on the stack.
    retired_detection_ = std::move(detection_);
    if (response_) response_->CancelCountdown();
    http_->Stop();
    nut_->Stop();
    if (watch_) watch_->Stop();

    if (poller_->PollingPaused()) poller_->ResumePolling();
    Stop();
    poller_->EndPolling();
    wire_.CloseLink();  // keeps ComOpen and ComPort for the save

    SaveSettingsNow();
    history_->Close();
    quiet_log_.Flush();
    journal_.Close();
    // Only now may another copy start: before the save it would read the old file and later
    // write it back over ours.
    locks_.Release();
}

SaveConditions Application::Conditions() const {
    SaveConditions conditions;
    // A UPS watched over the network is as much a UPS to protect from as one on the port.
    conditions.LinkOpen = ups_.HidPresent || ups_.ComOpen || (watch_ && watch_->Reached());
    conditions.ComOpen = ups_.ComOpen;
    conditions.ComPort = ups_.ComPort;
    conditions.ForceOptionsApply = monitor::ForceOptionsEnabled(platform_.Major);
    conditions.ThresholdsLoaded = thresholds_loaded_;
    return conditions;
}

void Application::SaveSettings() {
    if (!settings_ || closed_) return;
    SaveSettingsNow();
}

void Application::StartMonitoring() {
    if (closed_ || !detection_) return;
    if (watch_) {
        watch_->Start(std::chrono::milliseconds(poller_->RefreshInterval()));
        ModelChanged(ModelChange::What::Monitoring);
        return;
    }
    if (service_runs_) {
        ui_.ShowStatus(kServiceRunsText);
        return;
    }
    detection_->Start();
    ModelChanged(ModelChange::What::Monitoring);
}

void Application::StopMonitoring() {
    if (closed_ || !detection_) return;
    if (watch_) {
        watch_->Stop();
        ModelChanged(ModelChange::What::Monitoring);
        return;
    }
    detection_->Stop();
    ModelChanged(ModelChange::What::Monitoring);
}

void Application::SendCommand(monitor::UserCommand which, int minutes) {
    if (closed_ || !commands_) return;
    if (watch_) {
        watch_->Send(which);
        ModelChanged(ModelChange::What::Edited);
        return;
    }
    commands_->Send(which, minutes);
    ModelChanged(ModelChange::What::Edited);
}

void Application::ActNow(monitor::PowerAction action) {
    if (closed_ || !power_) return;
    history_->OnPowerAction(action);
    power_->Act(action);
}

void Application::ApplyRefreshInterval() {
    // The poller takes DataMutex for the new interval: the polling thread reads it.
    poller_->SetRefreshInterval(RefreshIntervalMs(display_));
    if (watch_) watch_->SetInterval(std::chrono::milliseconds(RefreshIntervalMs(display_)));
}

void Application::RequestExit() {
    // The journal keeps why the protection ended: the user's choice, not a fault.
    if (!closed_) log_.AppendLog(kExitLine);
    close_allowed_ = true;
    Close();
    End();
}

void Application::ModelChanged(ModelChange::What what) {
    ModelChange change;
    change.Kind = what;
    Tell(change);
}

void Application::Tell(const ModelChange& change) {
    // A view may add another while being told; indices stay valid where iterators would not.
    for (std::size_t i = 0; i < model_observers_.size(); ++i) model_observers_[i](change);
}

void Application::SetHttpServer(bool on) {
    display_.HTTPCB = on;
    if (!closed_) http_->OnEnabledChanged();
}

void Application::SetNutServer(bool on) {
    display_.NUTServerCB = on;
    if (!closed_) nut_->OnEnabledChanged();
}

void Application::RunCloseSequence() {
    close_allowed_ = true;
    Close();
    // The caller (the power layer's event) is still on the stack: end the program after it.
    loop_.Post([this] { End(); });
}

void Application::EndSession() {
    if (power_) {
        power_->SessionEnding();  // the close sequence, through RunCloseSequence
    }
    Close();
    End();
}

void Application::End() {
    if (ended_) return;
    ended_ = true;
    if (on_end_) on_end_();
}

}  // namespace gw::app
