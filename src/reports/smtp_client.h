// One report mail over SMTP: connect, greet, upgrade to TLS where the server and the settings
// allow, log in, send, quit. Blocking: SendMail runs on the sending worker's own thread with
// its own socket, so two sends never share a connection. Every wait has a deadline.
//
// The conversation lives in a module of its own (mail_module/, installed as
// lib/gridwarden/gridwarden-mail.so) that SendMail loads at the first mail: only it links
// OpenSSL, whose load alone would cost a monitor that never mails some 1.7 MB.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace gw::reports {

// "SMTP TLS": what happens when the server offers STARTTLS (or does not).
enum class TlsMode {
    Plain = 0,        // never upgrade: the conversation stays plain text
    WhenOffered = 1,  // upgrade when offered, plain otherwise
    Required = 2,     // upgrade, or send nothing
};

// A copy of the SMTP tab, taken on the main thread when the send starts.
struct SmtpSettings {
    std::string Host;
    std::string Port = "25";  // as the field holds it
    std::string Login;
    std::string Password;
    std::string From;  // "addr" or "Name <addr>"
    std::string Mail;  // recipients, comma-separated
    bool Authenticate = true;
    TlsMode Tls = TlsMode::WhenOffered;
};

// What one send carries, owned by that send alone.
struct SmtpOutgoing {
    std::string Subject;
    std::string Body;
};

enum class SendOutcome { NotSent, Sent, Error };

struct SendResult {
    SendOutcome Outcome = SendOutcome::NotSent;
    std::string Text;  // Error: what went wrong; NotSent: why, when known before connecting
};

// The status bar's text for a result.
std::string StatusText(const SendResult& result);

struct SmtpOptions {
    std::string HeloName;  // this computer's name for EHLO/HELO; empty: "localhost"
    std::chrono::milliseconds ConnectTimeout{1000};
    // For each whole reply, each write and the TLS handshake: a server that accepts and then
    // stays silent would otherwise keep the worker forever.
    std::chrono::milliseconds ReplyTimeout{30000};
    std::string CaFile;  // trusted certificates; empty: the system's store
    std::size_t MaxLine = 4096;
    std::size_t MaxReplyLines = 100;
};

SendResult SendMail(const SmtpSettings& settings, const SmtpOutgoing& mail,
                    const SmtpOptions& options);

// What the module exports as `gw_mail_module_v1`; built with the program, so the types match.
struct MailModule {
    SendResult (*Send)(const SmtpSettings&, const SmtpOutgoing&, const SmtpOptions&);
};

// Where SendMail looks for the module: beside the build's own when `program` (the running
// executable) lies in the build tree `build_dir`, else `../lib/gridwarden/` from the program's
// folder, so an installed program never loads a module from a build folder.
std::string MailModulePath(const std::string& program, const std::string& build_dir,
                           const std::string& built_module);

}  // namespace gw::reports
