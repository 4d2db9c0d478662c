// What must hold for any bytes a client can send to the status server: the parser's limits
// hold, only GET, POST and HEAD are answered, every answer closes the connection, and the page
// goes out only for the right credentials. Shared by the libFuzzer target and the random
// requests test of the ordinary build.
#pragma once

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/parser.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "reports/http_handler.h"
#include "reports/http_server.h"

namespace gw::fuzz {

inline void RequireHttp(bool condition) {
    if (!condition) std::abort();
}

// True when the page went out.
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
    RequireHttp((*response)[http::field::content_type] == "text/html");
    if (response->body().find("<b>Report</b>") == std::string::npos) return false;

    // The page went out: the request carried exactly the expected pair.
    const auto field = request.find(http::field::authorization);
    RequireHttp(field != request.end());
    const std::string_view value(field->value().data(), field->value().size());
    const auto credentials = reports::ParseAuthorization(&value);
    RequireHttp(credentials && !credentials->Malformed);
    RequireHttp(credentials->User == "user" && credentials->Password == "se:cret");
    RequireHttp(reports::DocumentPath(
                    std::string_view(request.target().data(), request.target().size())) == "/");
    return true;
}

}  // namespace gw::fuzz
