#include "reports/smtp_client.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace gw::reports {

// clang-format off
struct OutcomeText { SendOutcome Outcome; const char* Text; };
constexpr OutcomeText kOutcomeTexts[] = {
    {SendOutcome::Sent,    "Report sending O.K."},
    {SendOutcome::NotSent, "Report sending failed"},
};
// clang-format on

std::string StatusText(const SendResult& result) {
    if (result.Outcome == SendOutcome::Error) return result.Text;
    for (const auto& row : kOutcomeTexts) {
        if (row.Outcome != result.Outcome) continue;
        if (result.Text.empty()) return row.Text;
        return std::string(row.Text) + ": " + result.Text;
    }
    return {};
}

std::string MailModulePath(const std::string& program, const std::string& build_dir,
                           const std::string& built_module) {
    if (!build_dir.empty() && program.rfind(build_dir + "/", 0) == 0) return built_module;
    const std::size_t slash = program.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : program.substr(0, slash);
    return folder + "/../lib/gridwarden/gridwarden-mail.so";
}

namespace {

std::string RunningProgram() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

struct LoadedModule {
    const MailModule* Module = nullptr;
    std::string Error;
};

// Loaded once and kept: OpenSSL does not take being unloaded well, and the next mail is likely.
const LoadedModule& Load() {
    static const LoadedModule loaded = [] {
        LoadedModule result;
        const std::string path = MailModulePath(RunningProgram(), GW_BUILD_DIR, GW_MAIL_MODULE);
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) {
            result.Module = static_cast<const MailModule*>(::dlsym(handle, "gw_mail_module_v1"));
        }
        if (result.Module == nullptr) {
            const char* why = ::dlerror();
            result.Error = "The mail module could not be loaded: " +
                           (why != nullptr ? std::string(why) : path);
        }
        return result;
    }();
    return loaded;
}

}  // namespace

SendResult SendMail(const SmtpSettings& settings, const SmtpOutgoing& mail,
                    const SmtpOptions& options) {
    const LoadedModule& loaded = Load();
    if (loaded.Module == nullptr) return {SendOutcome::Error, loaded.Error};
    return loaded.Module->Send(settings, mail, options);
}

}  // namespace gw::reports
