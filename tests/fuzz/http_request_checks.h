// What must hold for any bytes a client can send to the status server: the parser's limits
// hold, only GET, POST and HEAD are answered, every answer closes the connection, and the page,
// the metrics and the history go out only for the right credentials, each with its type. Shared by
// the libFuzzer target and the random requests test of the ordinary build.
#pragma once

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/parser.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "reports/http_handler.h"
#include "reports/http_server.h"
#include "reports/metrics_text.h"
#include "reports/ups_page.h"

namespace gw::fuzz {

inline void RequireHttp(bool condition) {
    if (!condition) std::abort();
}

// True when an answer behind the credentials went out.
inline bool CheckHttpRequest(const std::uint8_t* data, std::size_t size) {
    namespace http = boost::beast::http;
    http::request_parser<http::string_body> parser;
    parser.header_limit(reports::HttpServer::kHeaderLimit);
    parser.body_limit(reports::HttpServer::kBodyLimit);
    parser.eager(true);
    boost::beast::error_code error;
    std::size_t used = 0;
    while (used < size && !parser.is_done()) {
        const std::size_t step = parser.put(boost::asio::buffer(data + used, size - used), error);
        if (error || step == 0) break;
        used += step;
    }
    if (!parser.is_done() || error) return false;  // the server closes such a connection unanswered

    reports::PageState state;
    state.Snapshot.UpsFound = true;
    state.User = "user";
    state.Password = "se:cret";
    const reports::HttpRequest& request = parser.get();
    const auto response = reports::HandleRequest(request, state, {});
    const std::string_view method(request.method_string().data(), request.method_string().size());
    if (!response) return false;
    RequireHttp(method.size() == 3 || method.size() == 4);
    RequireHttp((*response)[http::field::connection] == "close");
    const std::string_view type((*response)[http::field::content_type].data(),
                                (*response)[http::field::content_type].size());
    const std::string path =
        reports::DocumentPath(std::string_view(request.target().data(), request.target().size()));
    if (!reports::IsGuardedPath(path)) {
        // Anywhere else an empty page, whatever the credentials.
        RequireHttp(response->result() == http::status::ok && response->body().empty());
        RequireHttp(type == "text/html");
        return false;
    }
    if (response->result() == http::status::unauthorized) {
        RequireHttp(type == "text/html");
        return false;
    }

    // An answer behind the credentials went out: the request carried exactly the expected pair.
    const auto field = request.find(http::field::authorization);
    RequireHttp(field != request.end());
    const std::string_view value(field->value().data(), field->value().size());
    const auto credentials = reports::ParseAuthorization(&value);
    RequireHttp(credentials && !credentials->Malformed);
    RequireHttp(credentials->User == "user" && credentials->Password == "se:cret");
    if (path == reports::kMetricsPath) {
        RequireHttp(type == reports::kMetricsContentType);
    } else if (path == reports::kHistoryPath || path == reports::kUpsPagePath) {
        RequireHttp(type == "text/html; charset=utf-8");
    } else if (path == reports::kHistoryJsonPath) {
        RequireHttp(type == "application/json");
    } else {
        RequireHttp(type == "text/html");
        const bool head = method.size() == 4 && (method[0] | 0x20) == 'h';
        RequireHttp(head ? response->body().empty()
                         : response->body().find("<b>Report</b>") != std::string::npos);
    }
    return true;
}

}  // namespace gw::fuzz
