// The status server's answers, byte for byte, without sockets: methods, paths, credentials and
// the exact headers browsers and scripts see.
#include "reports/http_handler.h"

#include <gtest/gtest.h>

#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>

namespace gw::reports {
namespace {

namespace http = boost::beast::http;
using namespace std::chrono_literals;

const auto kNow = std::chrono::system_clock::time_point(1772600767s);  // 05:06:07 UTC

std::string Basic(const std::string& pair) {
    std::string out(boost::beast::detail::base64::encoded_size(pair.size()), '\0');
    out.resize(boost::beast::detail::base64::encode(out.data(), pair.data(), pair.size()));
    return "Basic " + out;
}

HttpRequest Request(const char* method, const char* target, const char* authorization = nullptr) {
    HttpRequest request;
    request.method_string(method);
    request.target(target);
    request.version(11);
    if (authorization != nullptr) request.set(http::field::authorization, authorization);
    return request;
}

PageState Found(std::string user = "", std::string password = "") {
    PageState state;
    state.Snapshot.UpsFound = true;
    state.Snapshot.Temperature = "25.0";
    state.User = std::move(user);
    state.Password = std::move(password);
    return state;
}

std::string Wire(const HttpResponse& response) {
    std::ostringstream out;
    out << response;
    return out.str();
}

TEST(HttpHandlerTest, PageAnswerHasTheExactHeadersAndBody) {
    PageState state;  // no UPS yet
    const auto response = HandleRequest(Request("GET", "/"), state, kNow);
    ASSERT_TRUE(response);
    EXPECT_EQ(Wire(*response),
              "HTTP/1.1 200 OK\r\n"
              "Cache-Control: no-store, no-cache, must-revalidate\r\n"
              "Cache-Control: post-check=0, pre-check=0\r\n"
              "Pragma: no-cache\r\n"
              "Content-Type: text/html\r\n"
              "Content-Length: 21\r\n"
              "Connection: close\r\n"
              "\r\n"
              "UPS not found!</br>\r\n");

    // HEAD: the same headers, the length of the page, no body.
    const auto head = HandleRequest(Request("head", "/"), Found(), kNow);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->body(), "");
    EXPECT_EQ((*head)[http::field::content_length],
              std::to_string(HandleRequest(Request("GET", "/"), Found(), kNow)->body().size()));
}

TEST(HttpHandlerTest, WrongCredentialsGetTheExact401) {
    const auto response = HandleRequest(Request("GET", "/"), Found("admin"), kNow);
    ASSERT_TRUE(response);
    EXPECT_EQ(Wire(*response),
              "HTTP/1.1 401 Unauthorized\r\n"
              "WWW-Authenticate: Basic realm=\"Gridwarden HTTP Server\"\r\n"
              "Content-Type: text/html\r\n"
              "Content-Length: 49\r\n"
              "Connection: close\r\n"
              "\r\n"
              "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
}

TEST(HttpHandlerTest, MethodsPathsAndCredentialsDecideTheAnswer) {
    enum Answer { None, Page, Empty, Refused };
    struct Case {
        const char* method;
        const char* target;
        std::string authorization;  // empty: no header
        std::string user;           // what HTTPUserE and HTTPPasswordE hold
        std::string password;
        Answer answer;
    };
    // clang-format off
    const Case cases[] = {
        {"GET",     "/",            "",                      "",      "",      Page},
        {"get",     "/?x=1",        "",                      "",      "",      Page},
        {"POST",    "/",            "",                      "",      "",      Page},
        {"DELETE",  "/",            "",                      "",      "",      None},
        {"OPTIONS", "/index.html",  "",                      "",      "",      None},
        {"GET",     "/index.html",  "",                      "admin", "pw",    Empty},
        {"GET",     "/favicon.ico", "Digest x",              "",      "",      None},
        {"GET",     "/",            "Bearer abc",            "",      "",      None},
        {"GET",     "/",            "",                      "admin", "",      Refused},
        {"GET",     "/",            Basic("admin:"),         "admin", "",      Page},
        {"GET",     "/",            "bAsIc " + Basic("admin").substr(6), "admin", "", Page},
        {"GET",     "/",            Basic("Admin:"),         "admin", "",      Refused},
        {"GET",     "/",            Basic("u:p:q"),          "u",     "p:q",   Page},
        {"GET",     "/",            Basic("u:p"),            "u",     "p:q",   Refused},
        {"GET",     "/",            Basic("u:P:q"),          "u",     "p:q",   Refused},
        {"GET",     "/",            Basic(":"),              "",      "",      Page},
        {"GET",     "/",            "Basic",                 "",      "",      Page},
        {"GET",     "/",            "Basic !!!!",            "",      "",      Refused},
        {"GET",     "/",            "Basic YWRtaW46=x",      "admin", "",      Refused},
        {"GET",     "/",            "Basic Y",               "",      "",      Refused},
        // Unpadded: the last group has two or three letters.
        {"GET",     "/",            "Basic YWRtaW46cHc",     "admin", "pw",    Page},
        {"GET",     "/",            "Basic YWRtaW46cA",      "admin", "p",     Page},
        {"GET",     "/",            "Basic dXNlcjpzZTpjcmV0cjpzZTp", "user", "se:cretr:se:", Page},
        {"GET",     "/%2F",         "",                      "",      "",      Empty},
        {"GET",     "%2F",          "",                      "",      "",      Page},
        {"GET",     "/%zz",         "",                      "",      "",      Empty},
        {"GET",     "/%",           "",                      "",      "",      Empty},
        {"GET",     "//",           "",                      "",      "",      Empty},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + " [" + c.authorization + "]");
        const auto response =
            HandleRequest(Request(c.method, c.target,
                                  c.authorization.empty() ? nullptr : c.authorization.c_str()),
                          Found(c.user, c.password), kNow);
        if (c.answer == None) {
            EXPECT_FALSE(response);
            continue;
        }
        ASSERT_TRUE(response);
        EXPECT_EQ((*response)[http::field::connection], "close");
        EXPECT_EQ((*response)[http::field::content_type], "text/html");
        const std::string& body = response->body();
        switch (c.answer) {
            case Page:
                EXPECT_EQ(response->result(), http::status::ok);
                EXPECT_EQ(body.rfind("<b>Report</b> - 2026-03-04 05:06:07</br>\r\n", 0), 0u);
                EXPECT_NE(body.find("Temperature = 25.0 \260C</br>\r\n"), std::string::npos);
                break;
            case Empty:
                EXPECT_EQ(response->result(), http::status::ok);
                EXPECT_EQ(body, "");
                break;
            case Refused:
                EXPECT_EQ(response->result(), http::status::unauthorized);
                EXPECT_EQ(body, kUnauthorizedBody);
                break;
            case None:
                break;
        }
    }
}

TEST(HttpHandlerTest, SecretsCompareExactly) {
    EXPECT_TRUE(SameSecret("", ""));
    EXPECT_TRUE(SameSecret("p:q", "p:q"));
    EXPECT_FALSE(SameSecret("p", "P"));
    EXPECT_FALSE(SameSecret("p", "p "));
    EXPECT_FALSE(SameSecret(std::string_view("a\0b", 3), "a"));
    // The stored text is read round and round: a repetition of it is still another text.
    EXPECT_FALSE(SameSecret("abab", "ab"));
    EXPECT_FALSE(SameSecret("ab", "abab"));
    EXPECT_FALSE(SameSecret("", "p"));
    EXPECT_FALSE(SameSecret("p", ""));
    EXPECT_FALSE(SameSecret("secreT", "secret"));
}

}  // namespace
}  // namespace gw::reports
