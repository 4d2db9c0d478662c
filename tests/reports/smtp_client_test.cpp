// The SMTP conversation against real servers: aiosmtpd on loopback ports in the ways a mail
// server behaves (with and without AUTH, refusing EHLO or a recipient, with STARTTLS and a
// certificate made here) and in the ways a broken one misbehaves.
#include "reports/smtp_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "fakes/manual_main_loop.h"
#include "reports/mail_peer_process.h"
#include "reports/send_report.h"

namespace gw::reports {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kPython = "/usr/bin/python3";

// What a server received for one message: the "key=value" lines and the data.
struct Received {
    std::map<std::string, std::string> Facts;
    std::string Data;
};

class SmtpPeer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (gw::testing::RunQuietly({kPython, "-c", "import aiosmtpd"}) != 0) return;
        char scratch[] = "/tmp/gw-smtp-XXXXXX";
        if (mkdtemp(scratch) == nullptr) return;
        dir_ = new fs::path(scratch);
        fs::create_directory(*dir_ / "mail");
        for (const char* host : {"localhost", "other.example"}) {
            const std::string base = (*dir_ / host).string();
            const int made = gw::testing::RunQuietly(
                {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                 std::string("/CN=") + host, "-addext", std::string("subjectAltName=DNS:") + host,
                 "-keyout", base + ".key", "-out", base + ".pem"});
            if (made != 0) return;
        }
        // Both certificates are trusted: the other host's fails on its name alone.
        std::ofstream(*dir_ / "trusted.pem") << std::ifstream(*dir_ / "localhost.pem").rdbuf()
                                             << std::ifstream(*dir_ / "other.example.pem").rdbuf();
        peer_ = new gw::testing::PeerProcess(
            {kPython, SMTP_PEER_PATH, (*dir_ / "mail").string(), (*dir_ / "localhost.pem").string(),
             (*dir_ / "localhost.key").string(), (*dir_ / "other.example.pem").string(),
             (*dir_ / "other.example.key").string()});
        std::istringstream ports(peer_->ReadLine(30s));
        for (std::string entry; ports >> entry;) {
            const auto equals = entry.find('=');
            (*ports_)[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
    }
    static void TearDownTestSuite() {
        delete peer_;
        peer_ = nullptr;
        if (dir_) fs::remove_all(*dir_);
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (ports_->empty()) GTEST_SKIP() << "python3-aiosmtpd or openssl is missing";
        for (const auto& entry : fs::directory_iterator(*dir_ / "mail")) fs::remove(entry);
        threads_before_ = gw::testing::ThreadCount();
    }
    void TearDown() override {
        // SendMail's resolver thread and sockets are gone when it returns.
        if (!ports_->empty()) {
            EXPECT_EQ(gw::testing::WaitForThreadCount(threads_before_, 5s), threads_before_);
        }
    }

    static SmtpSettings To(const std::string& server, const std::string& host = "127.0.0.1") {
        SmtpSettings settings;
        settings.Host = host;
        settings.Port = (*ports_)[server];
        settings.Login = "ups-box";
        settings.Password = "s3cret:pass";
        settings.From = "UPS Monitor <ups@example.org>";
        settings.Mail = "admin@example.org";
        return settings;
    }
    static SmtpOptions Options() {
        SmtpOptions options;
        options.HeloName = "ups-host";
        options.ReplyTimeout = 5s;
        options.CaFile = (*dir_ / "trusted.pem").string();
        return options;
    }
    static std::vector<Received> ReceivedMail() {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(*dir_ / "mail")) {
            if (entry.path().extension() == ".txt") files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        std::vector<Received> mail;
        for (const auto& file : files) {
            std::ostringstream content;
            content << std::ifstream(file, std::ios::binary).rdbuf();
            const std::string text = content.str();
            const auto split = text.find("\n\n");
            Received received;
            std::istringstream head(text.substr(0, split));
            for (std::string line; std::getline(head, line);) {
                const auto equals = line.find('=');
                received.Facts[line.substr(0, equals)] = line.substr(equals + 1);
            }
            received.Data = text.substr(split + 2);
            mail.push_back(received);
        }
        return mail;
    }

    static inline fs::path* dir_ = nullptr;
    static inline gw::testing::PeerProcess* peer_ = nullptr;
    static inline std::map<std::string, std::string>* ports_ =
        new std::map<std::string, std::string>;
    int threads_before_ = 0;
};

const SmtpOutgoing kReport{
    "Report - 2026-12-09 03:00:00",
    "Report - 2026-12-09 03:00:00\r\n.hidden\r\n.\r\nTemperature = 25.0 \260C\r\n"};

// The data as the server keeps it: the transparency dots taken off again, every byte the same.
std::string HeadersEnd(const std::string& data) { return data.substr(data.find("\r\n\r\n") + 4); }

TEST_F(SmtpPeer, DeliversTheReportByteForByte) {
    SmtpSettings settings = To("auth");
    settings.Mail = "admin@example.org,\"Second, Jr.\" <second@x.org>";
    const SendResult result = SendMail(settings, kReport, Options());
    EXPECT_EQ(result.Outcome, SendOutcome::Sent) << result.Text;
    EXPECT_EQ(StatusText(result), "Report sending O.K.");
    const auto mail = ReceivedMail();
    ASSERT_EQ(mail.size(), 1u);
    EXPECT_EQ(mail[0].Facts.at("helo"), "ups-host");
    EXPECT_EQ(mail[0].Facts.at("login"), "ups-box");
    EXPECT_EQ(mail[0].Facts.at("password"), "s3cret:pass");
    EXPECT_EQ(mail[0].Facts.at("from"), "ups@example.org");
    EXPECT_EQ(mail[0].Facts.at("to"), "admin@example.org,second@x.org");  // in their order
    EXPECT_EQ(HeadersEnd(mail[0].Data), kReport.Body);
    const std::string& data = mail[0].Data;
    EXPECT_EQ(data.rfind("From: UPS Monitor <ups@example.org>\r\n"
                         "To: admin@example.org, \"Second, Jr.\" <second@x.org>\r\n"
                         "Subject: Report - 2026-12-09 03:00:00\r\n"
                         "Date: ",
                         0),
              0u)
        << data;
    EXPECT_NE(data.find("\r\nX-Mailer: Gridwarden\r\n"), std::string::npos);
}

// clang-format off
struct ConversationCase {
    const char* Name;
    const char* Server;
    bool Authenticate;
    TlsMode Tls;
    const char* Mail;
    SendOutcome Outcome;
    const char* Status;   // the status bar's text, or its start for an error
    const char* Login;    // what the server saw; nullptr: nothing was delivered
    const char* Tls_;     // "1" when the message went over TLS
};

const ConversationCase kConversations[] = {
    {"AuthTickedServerWithoutAuth", "plain",   true,  TlsMode::WhenOffered, "a@x.org",
     SendOutcome::Sent, "Report sending O.K.", "", "0"},
    {"EhloRefusedFallsBackToHelo",  "noehlo",  true,  TlsMode::WhenOffered, "a@x.org",
     SendOutcome::Sent, "Report sending O.K.", "", "0"},
    {"AuthUnticked",                "auth",    false, TlsMode::WhenOffered, "a@x.org",
     SendOutcome::Sent, "Report sending O.K.", "", "0"},
    {"SecondRecipientRefused",      "plain",   true,  TlsMode::WhenOffered, "a@x.org, refuse@x.org",
     SendOutcome::Error, "550 5.1.1 <refuse@x.org>: Recipient address rejected", nullptr, nullptr},
    {"StartTlsBeforeAuth",          "tls",     true,  TlsMode::WhenOffered, "a@x.org",
     SendOutcome::Sent, "Report sending O.K.", "ups-box", "1"},
    {"StartTlsRequiredAndOffered",  "tls",     true,  TlsMode::Required,    "a@x.org",
     SendOutcome::Sent, "Report sending O.K.", "ups-box", "1"},
    {"PlainIgnoresStartTls",        "tls",     true,  TlsMode::Plain,       "a@x.org",
     SendOutcome::Sent, "Report sending O.K.", "", "0"},
    {"StartTlsRequiredNotOffered",  "plain",   true,  TlsMode::Required,    "a@x.org",
     SendOutcome::Error, "The SMTP server does not offer STARTTLS", nullptr, nullptr},
    {"CertificateForAnotherHost",   "otherhost", true, TlsMode::WhenOffered, "a@x.org",
     SendOutcome::Error, "The SMTP server's certificate did not verify: hostname mismatch",
     nullptr, nullptr},
};
// clang-format on

class SmtpConversation : public SmtpPeer, public ::testing::WithParamInterface<ConversationCase> {};

TEST_P(SmtpConversation, EndsAsTheServerAllows) {
    const ConversationCase& c = GetParam();
    SmtpSettings settings = To(c.Server, "localhost");
    settings.Authenticate = c.Authenticate;
    settings.Tls = c.Tls;
    settings.Mail = c.Mail;
    const SendResult result = SendMail(settings, kReport, Options());
    EXPECT_EQ(result.Outcome, c.Outcome) << result.Text;
    EXPECT_EQ(StatusText(result).rfind(c.Status, 0), 0u) << StatusText(result);
    const auto mail = ReceivedMail();
    if (c.Login == nullptr) {
        EXPECT_TRUE(mail.empty());
        return;
    }
    ASSERT_EQ(mail.size(), 1u);
    EXPECT_EQ(mail[0].Facts.at("login"), c.Login);
    EXPECT_EQ(mail[0].Facts.at("tls"), c.Tls_);
    EXPECT_EQ(HeadersEnd(mail[0].Data), kReport.Body);
}

INSTANTIATE_TEST_SUITE_P(Servers, SmtpConversation, ::testing::ValuesIn(kConversations),
                         [](const auto& info) { return std::string(info.param.Name); });

// clang-format off
struct BrokenCase {
    const char* Server;
    const char* Status;
};

const BrokenCase kBrokenServers[] = {
    {"silent",            "The SMTP server did not answer in time"},
    {"endless_line",      "The SMTP server sent a reply line that is too long"},
    {"endless_multiline", "The SMTP server's reply did not end"},
    {"reset_in_data",     "The connection to the SMTP server broke: "},
};
// clang-format on

class SmtpBrokenServer : public SmtpPeer, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(SmtpBrokenServer, EndsAsAnErrorWithItsReason) {
    SmtpOptions options = Options();
    options.ReplyTimeout = 300ms;
    const SendResult result = SendMail(To(GetParam().Server), kReport, options);
    EXPECT_EQ(result.Outcome, SendOutcome::Error);
    EXPECT_EQ(StatusText(result).rfind(GetParam().Status, 0), 0u) << StatusText(result);
}

INSTANTIATE_TEST_SUITE_P(Servers, SmtpBrokenServer, ::testing::ValuesIn(kBrokenServers),
                         [](const auto& info) { return std::string(info.param.Server); });

// clang-format off
struct UnreachableCase {
    const char* Name;
    const char* Host;
    const char* Port;  // "peer:" and a server's name: that server's port
    const char* Status;
};

// A server that goes before the conversation is up is one that could not be reached.
const UnreachableCase kUnreachable[] = {
    {"Refused",     "127.0.0.1",        "1",    "Report sending failed"},
    {"NoSuchHost",  "no-such-host.invalid", "25", "Report sending failed"},
    {"PortNotANumber", "127.0.0.1",     "25a",  "Report sending failed: the port '25a' is not a port number"},
    {"ClosesAtOnce",   "127.0.0.1", "peer:closes_at_once",        "Report sending failed"},
    {"GreetingCut",    "127.0.0.1", "peer:no_crlf",               "Report sending failed"},
    {"ClosesAfterGreeting", "127.0.0.1", "peer:closes_after_greeting", "Report sending failed"},
};
// clang-format on

class SmtpUnreachable : public SmtpPeer, public ::testing::WithParamInterface<UnreachableCase> {};

TEST_P(SmtpUnreachable, SendsNothing) {
    SmtpSettings settings = To("plain", GetParam().Host);
    const std::string port = GetParam().Port;
    settings.Port = port.rfind("peer:", 0) == 0 ? (*ports_)[port.substr(5)] : port;
    const SendResult result = SendMail(settings, kReport, Options());
    EXPECT_EQ(result.Outcome, SendOutcome::NotSent);
    EXPECT_EQ(StatusText(result), GetParam().Status);
}

INSTANTIATE_TEST_SUITE_P(Servers, SmtpUnreachable, ::testing::ValuesIn(kUnreachable),
                         [](const auto& info) { return std::string(info.param.Name); });

struct RecordingStatus final : monitor::StatusBar {
    void ShowStatus(std::string_view text) override { Texts.emplace_back(text); }
    std::vector<std::string> Texts;
};

TEST_F(SmtpPeer, SilentServerKeepsNoWorkerBeyondTheReplyTimeout) {
    fakes::ManualLoop loop;
    RecordingStatus status;
    monitor::DisplayModel display;
    display.SMTPHostE = "127.0.0.1";
    display.SMTPPortE = (*ports_)["silent"];
    SmtpOptions options = Options();
    options.ReplyTimeout = 200ms;
    {
        SendWorkers workers(loop, status);
        SmtpChannel channel(display, workers, options);
        for (int i = 0; i < 3; ++i) channel.StartSmtpSend("Report - x", "body\r\n");
        ASSERT_TRUE(workers.WaitUntilIdle(10s));
        loop.RunUntilIdle();
        EXPECT_EQ(status.Texts,
                  std::vector<std::string>(3, "The SMTP server did not answer in time"));

        // A worker outliving its owner keeps its result to itself.
        status.Texts.clear();
        channel.StartSmtpSend("Report - y", "body\r\n");
    }
    EXPECT_EQ(gw::testing::WaitForThreadCount(threads_before_, 5s), threads_before_);
    loop.RunUntilIdle();
    EXPECT_TRUE(status.Texts.empty());
}

}  // namespace
}  // namespace gw::reports
