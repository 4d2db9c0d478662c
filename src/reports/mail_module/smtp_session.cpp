// The whole SMTP conversation, TLS included, in the module that the program loads only when it
// first sends a mail: OpenSSL then costs the process nothing until then.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <cctype>
#include <charconv>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "reports/mail_message.h"
#include "reports/smtp_client.h"

namespace gw::reports {

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

std::string Base64(std::string_view text) {
    std::string encoded(boost::beast::detail::base64::encoded_size(text.size()), '\0');
    encoded.resize(boost::beast::detail::base64::encode(encoded.data(), text.data(), text.size()));
    return encoded;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

struct Reply {
    int Code = 0;
    std::vector<std::string> Lines;  // without the code, its separator and the CR LF

    // "550 5.1.1 unknown user", continuation lines joined by a blank.
    std::string Text() const {
        std::string text = std::to_string(Code);
        for (const auto& line : Lines) text += " " + line;
        return text;
    }
};

// What the EHLO answer offers.
struct Extensions {
    bool StartTls = false;
    bool AuthLogin = false;
};

Extensions ReadExtensions(const Reply& ehlo) {
    Extensions offered;
    for (const std::string& line : ehlo.Lines) {
        const std::string upper = Upper(line);
        if (upper == "STARTTLS") offered.StartTls = true;
        if (upper.rfind("AUTH ", 0) != 0 && upper.rfind("AUTH=", 0) != 0) continue;
        std::size_t start = 5;
        while (start <= upper.size()) {
            std::size_t end = upper.find_first_of(" =", start);
            if (end == std::string::npos) end = upper.size();
            if (upper.compare(start, end - start, "LOGIN") == 0) offered.AuthLogin = true;
            start = end + 1;
        }
    }
    return offered;
}

// A failure of the conversation; `NotSent` while the connection is not up yet.
struct Failure {
    SendOutcome Outcome;
    std::string Text;
    bool Refused = false;  // the server answered, with a code the step does not accept
    bool Gone = false;     // the server closed or reset the connection
};

// Until the server has greeted and taken EHLO or HELO there is no conversation yet: a server
// that goes away before then is one that could not be reached, and says so in the same words.
std::optional<Failure> BeforeConversation(std::optional<Failure> failure) {
    if (failure && failure->Gone) return Failure{SendOutcome::NotSent, {}};
    return failure;
}

class Conversation {
public:
    explicit Conversation(SmtpOptions options) : options_(std::move(options)) {}

    std::optional<Failure> Connect(const std::string& host, const std::string& port) {
        tcp::resolver resolver(io_);
        tcp::resolver::results_type endpoints;
        error_code ec = Await(
            [&](auto done) {
                resolver.async_resolve(host, port, [&, done](error_code e, auto results) {
                    endpoints = results;
                    done(e);
                });
            },
            options_.ReplyTimeout, [&] { resolver.cancel(); });
        if (ec) return Failure{SendOutcome::NotSent, {}};
        ec = Await(
            [&](auto done) {
                asio::async_connect(socket_, endpoints,
                                    [done](error_code e, const tcp::endpoint&) { done(e); });
            },
            options_.ConnectTimeout);
        if (ec) return Failure{SendOutcome::NotSent, {}};
        return std::nullopt;
    }

    // Reads one whole reply, within one deadline however many lines it has.
    std::optional<Failure> Read(Reply& reply) {
        const auto deadline = std::chrono::steady_clock::now() + options_.ReplyTimeout;
        reply = Reply{};
        for (std::size_t count = 0;; ++count) {
            if (count == options_.MaxReplyLines) {
                return Failure{SendOutcome::Error, "The SMTP server's reply did not end"};
            }
            std::string line;
            if (auto failure = ReadLine(line, deadline)) return failure;
            int code = 0;
            const char* digits_end = line.data() + std::min<std::size_t>(line.size(), 3);
            const auto [end, ec] = std::from_chars(line.data(), digits_end, code);
            if (ec != std::errc() || line.size() < 3 || end != line.data() + 3 ||
                (line.size() > 3 && line[3] != ' ' && line[3] != '-') ||
                (reply.Code != 0 && code != reply.Code)) {
                return Failure{SendOutcome::Error,
                               "The SMTP server sent a malformed reply: " + line.substr(0, 80)};
            }
            reply.Code = code;
            reply.Lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
            if (line.size() <= 3 || line[3] == ' ') return std::nullopt;
        }
    }

    std::optional<Failure> Write(std::string_view text) {
        const error_code ec = WithStream([&](auto& stream) {
            return Await(
                [&](auto done) {
                    asio::async_write(stream, asio::buffer(text.data(), text.size()),
                                      [done](error_code e, std::size_t) { done(e); });
                },
                options_.ReplyTimeout);
        });
        if (ec) return Broken(ec);
        return std::nullopt;
    }

    // Sends one command and checks the reply's code against the accepted ones.
    std::optional<Failure> Command(std::string_view line, std::initializer_list<int> accepted,
                                   Reply& reply) {
        reply = Reply{};
        if (auto failure = Write(std::string(line) + "\r\n")) return failure;
        if (auto failure = Read(reply)) return failure;
        for (const int code : accepted) {
            if (reply.Code == code) return std::nullopt;
        }
        return Failure{SendOutcome::Error, reply.Text(), true};
    }

    std::optional<Failure> StartTls(const std::string& host) {
        asio::ssl::context context(asio::ssl::context::tls_client);
        error_code ec;
        if (options_.CaFile.empty()) {
            context.set_default_verify_paths(ec);
        } else {
            context.load_verify_file(options_.CaFile, ec);
        }
        if (ec) {
            return Failure{SendOutcome::Error,
                           "The trusted certificates could not be read: " + ec.message()};
        }
        context.set_verify_mode(asio::ssl::verify_peer);
        tls_ = std::make_unique<asio::ssl::stream<tcp::socket&>>(socket_, context);
        SSL* ssl = tls_->native_handle();
        error_code address_error;
        asio::ip::make_address(host, address_error);
        if (address_error) {
            SSL_set_tlsext_host_name(ssl, host.c_str());
            SSL_set1_host(ssl, host.c_str());
        } else {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
        }
        ec = Await(
            [&](auto done) {
                tls_->async_handshake(asio::ssl::stream_base::client,
                                      [done](error_code e) { done(e); });
            },
            options_.ReplyTimeout);
        if (!ec) return std::nullopt;
        const long verify = SSL_get_verify_result(ssl);
        tls_.reset();
        if (verify != X509_V_OK) {
            return Failure{SendOutcome::Error,
                           std::string("The SMTP server's certificate did not verify: ") +
                               X509_verify_cert_error_string(verify)};
        }
        if (ec == asio::error::timed_out) {
            return Failure{SendOutcome::Error,
                           "The SMTP server did not complete the TLS handshake"};
        }
        return Failure{SendOutcome::Error,
                       "The TLS handshake with the SMTP server failed: " + ec.message()};
    }

    bool Connected() const { return socket_.is_open(); }

    // QUIT without waiting for the answer, then the end of the connection.
    void Quit() {
        if (!socket_.is_open()) return;
        // The answer is not awaited, and the write may not hold the worker long either.
        options_.ReplyTimeout = std::min(options_.ReplyTimeout, std::chrono::milliseconds(1000));
        Write("QUIT\r\n");
        error_code ignored;
        socket_.close(ignored);
    }

private:
    // Runs one asynchronous operation to its end or to `limit`; at the limit the socket is
    // closed, which ends the operation, and the result is timed_out.
    template <class Start, class Cancel>
    error_code Await(Start start, std::chrono::milliseconds limit, Cancel cancel) {
        std::optional<error_code> result;
        start([&result](error_code e) { result = e; });
        io_.restart();
        io_.run_for(limit);
        if (result) return *result;
        cancel();
        io_.restart();
        io_.run();
        return asio::error::timed_out;
    }
    template <class Start>
    error_code Await(Start start, std::chrono::milliseconds limit) {
        return Await(start, limit, [this] {
            error_code ignored;
            socket_.close(ignored);
        });
    }

    template <class Operation>
    error_code WithStream(Operation operation) {
        if (tls_) return operation(*tls_);
        return operation(socket_);
    }

    std::optional<Failure> ReadLine(std::string& line,
                                    std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::size_t length = 0;
        const error_code ec = WithStream([&](auto& stream) {
            return Await(
                [&](auto done) {
                    asio::async_read_until(stream, input_, "\r\n",
                                           [&length, done](error_code e, std::size_t n) {
                                               length = n;
                                               done(e);
                                           });
                },
                std::max(left, std::chrono::milliseconds(0)));
        });
        if (ec == asio::error::not_found) {
            return Failure{SendOutcome::Error,
                           "The SMTP server sent a reply line that is too long"};
        }
        if (ec) return Broken(ec);
        const char* data = static_cast<const char*>(input_.data().data());
        line.assign(data, length - 2);
        input_.consume(length);
        return std::nullopt;
    }

    static Failure Broken(const error_code& ec) {
        if (ec == asio::error::timed_out) {
            return {SendOutcome::Error, "The SMTP server did not answer in time"};
        }
        if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
            return {SendOutcome::Error, "The SMTP server closed the connection", false, true};
        }
        return {SendOutcome::Error, "The connection to the SMTP server broke: " + ec.message(),
                false, true};
    }

    SmtpOptions options_;
    asio::io_context io_;
    tcp::socket socket_{io_};
    asio::streambuf input_{options_.MaxLine};
    std::unique_ptr<asio::ssl::stream<tcp::socket&>> tls_;
};

std::string MessageId(const std::string& helo_name) {
    std::random_device random;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) +
           "." + std::to_string(random()) + "@" + helo_name;
}

// Greeting, EHLO or HELO, STARTTLS, AUTH LOGIN, the envelope and the data, in that order.
std::optional<Failure> Converse(Conversation& smtp, const SmtpSettings& settings,
                                const SmtpOutgoing& mail, const std::string& helo_name) {
    Reply reply;
    if (auto failure = smtp.Read(reply)) return BeforeConversation(failure);
    if (reply.Code != 220) return Failure{SendOutcome::NotSent, {}};

    // A refused EHLO falls back to HELO, and a refused HELO means there is no conversation;
    // a server that breaks off or stalls is an error either way.
    Extensions offered;
    if (auto failure = smtp.Command("EHLO " + helo_name, {250}, reply)) {
        if (!failure->Refused) return BeforeConversation(failure);
        if (auto helo = smtp.Command("HELO " + helo_name, {250}, reply)) {
            if (!helo->Refused) return BeforeConversation(helo);
            return Failure{SendOutcome::NotSent, {}};
        }
    } else {
        offered = ReadExtensions(reply);
    }

    if (settings.Tls != TlsMode::Plain && offered.StartTls) {
        if (auto failure = smtp.Command("STARTTLS", {220}, reply)) return failure;
        if (auto failure = smtp.StartTls(settings.Host)) return failure;
        offered = Extensions{};
        if (auto failure = smtp.Command("EHLO " + helo_name, {250}, reply)) return failure;
        offered = ReadExtensions(reply);
    } else if (settings.Tls == TlsMode::Required) {
        return Failure{SendOutcome::Error,
                       "The SMTP server does not offer STARTTLS, which the settings require"};
    }

    if (settings.Authenticate && offered.AuthLogin) {
        if (auto failure = smtp.Command("AUTH LOGIN", {334}, reply)) return failure;
        if (auto failure = smtp.Command(Base64(settings.Login), {334}, reply)) return failure;
        if (auto failure = smtp.Command(Base64(settings.Password), {235}, reply)) return failure;
    }

    MailHeaders headers;
    headers.From = ParseAddress(settings.From);
    headers.To = ParseAddressList(settings.Mail);
    headers.Subject = mail.Subject;
    headers.Date = std::chrono::system_clock::now();
    headers.MessageId = MessageId(helo_name);
    if (auto failure = smtp.Command("MAIL FROM:<" + headers.From.Address + ">", {250}, reply)) {
        return failure;
    }
    for (const MailAddress& to : headers.To) {
        if (auto failure = smtp.Command("RCPT TO:<" + to.Address + ">", {250, 251}, reply)) {
            return failure;
        }
    }
    if (auto failure = smtp.Command("DATA", {354}, reply)) return failure;
    if (auto failure = smtp.Write(MailPayload(headers, mail.Body))) return failure;
    if (auto failure = smtp.Read(reply)) return failure;
    if (reply.Code != 250) return Failure{SendOutcome::Error, reply.Text()};
    return std::nullopt;
}

SendResult Send(const SmtpSettings& settings, const SmtpOutgoing& mail,
                const SmtpOptions& options) {
    int port = 0;
    const char* first = settings.Port.data();
    const char* last = first + settings.Port.size();
    const auto [end, ec] = std::from_chars(first, last, port);
    if (ec != std::errc() || end != last || port < 1 || port > 65535) {
        return {SendOutcome::NotSent, "the port '" + settings.Port + "' is not a port number"};
    }
    const std::string helo_name = options.HeloName.empty() ? "localhost" : options.HeloName;

    Conversation smtp(options);
    std::optional<Failure> failure = smtp.Connect(settings.Host, std::to_string(port));
    if (!failure) failure = Converse(smtp, settings, mail, helo_name);
    smtp.Quit();
    if (!failure) return {SendOutcome::Sent, {}};
    return {failure->Outcome, failure->Text};
}

}  // namespace

}  // namespace gw::reports

extern "C" __attribute__((visibility("default")))
const gw::reports::MailModule gw_mail_module_v1{&gw::reports::Send};
