#include "reports/http_handler.h"

#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/http/field.hpp>

#include "monitor/status_json.h"
#include "reports/history_page.h"
#include "reports/metrics_text.h"
#include "reports/status_page.h"
#include "reports/ups_page.h"

namespace gw::reports {

namespace http = boost::beast::http;
namespace base64 = boost::beast::detail::base64;

namespace {

std::string_view Std(boost::beast::string_view text) { return {text.data(), text.size()}; }

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// Beast's decoder stops at the first character outside the alphabet; all of the text must be
// alphabet, then at most two "=" that complete the last group.
std::optional<std::string> DecodeBase64(std::string_view text) {
    // decoded_size counts whole groups only; an unpadded last group of two or three letters
    // still yields one or two bytes.
    std::string out(base64::decoded_size(text.size() + 3), '\0');
    const auto [written, read] = base64::decode(out.data(), text.data(), text.size());
    const std::string_view rest = text.substr(read);
    if (rest.size() > 2 || rest.find_first_not_of('=') != std::string_view::npos) {
        return std::nullopt;
    }
    if (read % 4 == 1 || (!rest.empty() && (read + rest.size()) % 4 != 0)) return std::nullopt;
    out.resize(written);
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

HttpResponse Answer(http::status status, unsigned version) {
    HttpResponse response{status, version < 10 || version > 11 ? 11 : version};
    return response;
}

void Finish(HttpResponse& response, std::size_t length, bool head,
            const char* content_type = "text/html") {
    response.set(http::field::content_type, content_type);
    response.set(http::field::content_length, std::to_string(length));
    response.set(http::field::connection, "close");
    if (head) response.body().clear();
}

// The metrics and the history, once the credentials passed.
HttpResponse AnswerHistory(const HttpRequest& request, const std::string& path,
                           const PageState& state, std::chrono::system_clock::time_point now,
                           bool head) {
    HttpResponse response = Answer(http::status::ok, request.version());
    response.set(http::field::cache_control, "no-store");
    const history::Millis now_ms = history::ToMillis(now);
    const std::string_view target = Std(request.target());
    const char* type = "text/html; charset=utf-8";
    try {
        if (path == kMetricsPath) {
            type = kMetricsContentType;
            response.body() = ComposeMetrics(state.Metrics);
        } else if (path == kUpsPagePath) {
            response.body() = ComposeUpsPage(state.Ups);
        } else if (path == kHistoryPath) {
            const std::optional<std::string> name = QueryParameter(target, "range");
            const HistoryRange* range = name ? RangeNamed(*name) : nullptr;
            response.body() =
                ComposeHistoryPage(state.History.get(),
                                   range != nullptr ? *range : kHistoryRanges[kDefaultRange],
                                   now_ms);
        } else {
            type = "application/json";
            std::string error;
            const std::optional<HistoryQuery> query = ParseHistoryQuery(target, now_ms, error);
            if (query) {
                response.body() = WithStateFacts(
                    ComposeHistoryJson(state.History.get(), *query, now_ms), state.Metrics);
            } else {
                response.result(http::status::bad_request);
                response.body() = "{\"error\":" + monitor::JsonString(error) + "}\n";
            }
        }
    } catch (const std::exception&) {
        response.result(http::status::internal_server_error);
        response.body().clear();
    }
    Finish(response, response.body().size(), head, type);
    return response;
}

}  // namespace

std::optional<Credentials> ParseAuthorization(const std::string_view* header) {
    if (header == nullptr) return Credentials{};
    std::string_view value = Trimmed(*header);
    const std::size_t blank = value.find_first_of(" \t");
    const std::string_view scheme = value.substr(0, blank);
    if (!SameLetters(scheme, "Basic")) return std::nullopt;
    value = blank == std::string_view::npos ? std::string_view() : Trimmed(value.substr(blank));

    Credentials credentials;
    const std::optional<std::string> decoded = DecodeBase64(value);
    if (!decoded) {
        credentials.Malformed = true;
        return credentials;
    }
    const std::size_t colon = decoded->find(':');
    credentials.User = decoded->substr(0, colon);
    if (colon != std::string::npos) credentials.Password = decoded->substr(colon + 1);
    return credentials;
}

std::string DocumentPath(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::string path;
    path.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') {
            path += target[i];
            continue;
        }
        const int high = i + 2 < target.size() ? HexValue(target[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(target[i + 2]) : -1;
        if (low < 0) return {};
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return path;
}

bool IsGuardedPath(std::string_view path) {
    return path == "/" || path == kMetricsPath || path == kHistoryPath || path == kHistoryJsonPath ||
           path == kUpsPagePath;
}

std::optional<HttpResponse> HandleRequest(const HttpRequest& request, const PageState& state,
                                          std::chrono::system_clock::time_point now) {
    const std::string_view method = Std(request.method_string());
    const bool head = SameLetters(method, "HEAD");
    if (!head && !SameLetters(method, "GET") && !SameLetters(method, "POST")) return std::nullopt;

    const auto field = request.find(http::field::authorization);
    const std::string_view header_value =
        field == request.end() ? std::string_view() : Std(field->value());
    const std::optional<Credentials> credentials =
        ParseAuthorization(field == request.end() ? nullptr : &header_value);
    if (!credentials) return std::nullopt;

    const std::string path = DocumentPath(Std(request.target()));
    if (!IsGuardedPath(path)) {
        HttpResponse response = Answer(http::status::ok, request.version());
        Finish(response, 0, head);
        return response;
    }

    // Both comparisons always run: which of the two failed must not show in the time either.
    const bool password_ok = SameSecret(credentials->Password, state.Password);
    const bool user_ok = SameSecret(credentials->User, state.User);
    if (credentials->Malformed || !password_ok || !user_ok) {
        HttpResponse response = Answer(http::status::unauthorized, request.version());
        response.set(http::field::www_authenticate, std::string("Basic realm=\"") + kRealm + "\"");
        response.body() = kUnauthorizedBody;
        Finish(response, response.body().size(), head);
        return response;
    }

    if (path != "/") return AnswerHistory(request, path, state, now, head);

    HttpResponse response = Answer(http::status::ok, request.version());
    response.insert(http::field::cache_control, "no-store, no-cache, must-revalidate");
    response.insert(http::field::cache_control, "post-check=0, pre-check=0");
    response.set(http::field::pragma, "no-cache");
    try {
        response.body() = JoinPageLines(ComposeStatusPage(state.Snapshot, state.Items, now));
    } catch (const std::exception&) {
        // Whatever could not be composed is left out; the answer still goes.
        response.body().clear();
    }
    Finish(response, response.body().size(), head);
    return response;
}

}  // namespace gw::reports
