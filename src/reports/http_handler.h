// What the status server answers to one parsed request: the page at "/", the metrics and the
// history (history_page.h), all behind the same Basic credentials, or an empty page elsewhere.
// A function without sockets, so every rule is tested (and fuzzed) on its own.
//
// Thread rule: any thread; it reads only its arguments and, for the history, the file through
// its own read-only connection.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "reports/page_source.h"
#include "reports/same_secret.h"

namespace gw::reports {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Served beside "/" under the same credentials.
inline constexpr char kMetricsPath[] = "/metrics";
inline constexpr char kHistoryPath[] = "/history";
inline constexpr char kHistoryJsonPath[] = "/history.json";

inline constexpr char kRealm[] = "Gridwarden HTTP Server";
inline constexpr char kUnauthorizedBody[] = "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";

struct Credentials {
    std::string User;
    std::string Password;
    // The Base64 did not decode: such a request never passes, not even as "no credentials".
    bool Malformed = false;
};

// The credentials of an Authorization header value; without the header, pass nullptr. Empty
// when the scheme is not Basic: such a request gets no answer at all.
std::optional<Credentials> ParseAuthorization(const std::string_view* header);

// The path of a request target: without "?" and the query, percent-decoded. Empty when the
// escapes are malformed, which matches no document.
std::string DocumentPath(std::string_view target);

// Whether `path` (a DocumentPath) is one of those the credentials guard: "/", the metrics and
// the history. Only requests for these check credentials, so only these count as logins.
bool IsGuardedPath(std::string_view path);

// The response, or nothing when the connection is to be closed unanswered (a method other than
// GET, POST and HEAD; a scheme other than Basic). HEAD gets the headers of GET without the
// body. Every response says "Connection: close".
std::optional<HttpResponse> HandleRequest(const HttpRequest& request, const PageState& state,
                                          std::chrono::system_clock::time_point now);

}  // namespace gw::reports
