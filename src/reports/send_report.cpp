#include "reports/send_report.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace gw::reports {

// What the workers share with the channels' owner. A worker that ends after the owner went
// finds `loop` empty and keeps its result to itself.
struct SendWorkers::Shared {
    mutable std::mutex mutex;
    mutable std::condition_variable idle;
    link::MainLoop* loop = nullptr;
    monitor::StatusBar* status = nullptr;  // main thread only
    int running = 0;
};

SendWorkers::SendWorkers(link::MainLoop& loop, monitor::StatusBar& status)
    : shared_(std::make_shared<Shared>()), status_(status) {
    shared_->loop = &loop;
    shared_->status = &status;
}

SendWorkers::~SendWorkers() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->loop = nullptr;
    shared_->status = nullptr;
}

void SendWorkers::Start(std::function<std::string()> work, const std::string& failed) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        ++shared_->running;
    }
    try {
        std::thread([shared = shared_, work = std::move(work)] {
            const std::string text = work();
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->loop != nullptr) {
                shared->loop->Post([shared, text] {
                    if (shared->status != nullptr) shared->status->ShowStatus(text);
                });
            }
            --shared->running;
            shared->idle.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            --shared_->running;
        }
        status_.ShowStatus(failed);
    }
}

int SendWorkers::Running() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->running;
}

bool SendWorkers::WaitUntilIdle(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->idle.wait_for(lock, limit, [this] { return shared_->running == 0; });
}

SmtpSettings TakeSmtpSettings(const monitor::DisplayModel& display) {
    SmtpSettings settings;
    settings.Host = display.SMTPHostE;
    settings.Port = display.SMTPPortE;
    settings.Login = display.SMTPLoginE;
    settings.Password = display.SMTPPswE;
    settings.From = display.SMTPFromE;
    settings.Mail = display.SMTPMailE;
    settings.Authenticate = display.SMTPAuthCB;
    settings.Tls = static_cast<TlsMode>(display.SMTPTLSCombo.Position);
    return settings;
}

namespace {

// The body of one mail's worker thread, with its own copies.
struct SendRep {
    SmtpSettings Settings;
    SmtpOutgoing Mail;
    SmtpOptions Options;

    std::string operator()() const { return StatusText(SendMail(Settings, Mail, Options)); }
};

// The body of one LAN message's worker thread.
struct LANRep {
    LanSettings Settings;
    std::string Text;  // the LanOutgoing
    std::shared_ptr<Notifier> Desktop;

    std::string operator()() const { return StatusText(SendLanReport(Settings, Text, *Desktop)); }
};

}  // namespace

void SmtpChannel::StartSmtpSend(std::string subject, std::string body) {
    workers_.Start(
        SendRep{TakeSmtpSettings(display_), {std::move(subject), std::move(body)}, options_},
        StatusText(SendResult{}));
}

void LanChannel::StartLanSend(std::string text) {
    workers_.Start(LANRep{{display_.LANServerNameE, computer_name_}, std::move(text), notifier_},
                   StatusText(LanStatus::Failed));
}

}  // namespace gw::reports
