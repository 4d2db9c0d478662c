// The status server on a loopback port, spoken to through raw sockets: what a broken, hostile or
// silent client gets, the connection bound, and starting and stopping.
#include "reports/http_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "reports/loopback_client.h"

namespace gw::reports {
namespace {

using namespace std::chrono_literals;
using Client = testing::LoopbackClient;

std::string Exchange(std::uint16_t port, const std::string& bytes, bool& closed) {
    Client client(port);
    EXPECT_TRUE(client.Connected());
    client.Send(bytes);
    return client.ReadToEnd(closed);
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        PageState state;
        state.Snapshot.UpsFound = true;
        state.Snapshot.ProductName = "<i>unit</i>";
        source_.Publish(state);
    }
    PageSource source_;
};

TEST_F(HttpServerTest, BadRequestsAreClosedAndGoodOnesAnswered) {
    HttpServer server(source_);
    ASSERT_EQ(server.Start(0), "");
    const std::uint16_t port = server.Port();
    struct Case {
        std::string sent;
        const char* status;  // the first line expected; nullptr: closed without an answer
    };
    const std::string big(9 * 1024, 'a');
    // clang-format off
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n",                              "HTTP/1.1 200 OK"},
        {"GET / HTTP/1.0\r\n\r\n",                                         "HTTP/1.0 200 OK"},
        {"DELETE / HTTP/1.1\r\nHost: x\r\n\r\n",                           nullptr},
        {"GET /\r\n\r\n",                                                  nullptr},
        {"G E T / HTTP/1.1\r\n\r\n",                                       nullptr},
        {"\x01\xff\r\n\r\n",                                               nullptr},
        {"GET /" + big + " HTTP/1.1\r\n\r\n",                              nullptr},
        {"GET / HTTP/1.1\r\nX-Long: " + big + "\r\n\r\n",                  nullptr},
        {"POST / HTTP/1.1\r\nContent-Length: 70000\r\n\r\n" + big,         nullptr},
        {"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcdefgh",           "HTTP/1.1 200 OK"},
        {"POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n",                   nullptr},
        {"GET / HTTP/1.1\r\nAuthorization: Basic %%%\r\n\r\n",             "HTTP/1.1 401 Unauthorized"},
        {"GET / HTTP/1.1\r\nAuthorization: Negotiate abc\r\n\r\n",         nullptr},
        {"GET /%zz HTTP/1.1\r\n\r\n",                                      "HTTP/1.1 200 OK"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent.substr(0, 60));
        bool closed = false;
        const std::string answer = Exchange(port, c.sent, closed);
        EXPECT_TRUE(closed);
        if (c.status == nullptr) {
            EXPECT_EQ(answer, "");
        } else {
            EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status);
            EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos);
        }
    }
    bool closed = false;
    const std::string page = Exchange(port, "GET / HTTP/1.1\r\n\r\n", closed);
    EXPECT_NE(page.find("Product: &lt;i&gt;unit&lt;/i&gt;</br>"), std::string::npos) << page;
}

TEST_F(HttpServerTest, SilentAndHalfRequestsAreCutAtTheDeadline) {
    HttpServer server(source_, {200ms, HttpServer::kMaxConnections});
    ASSERT_EQ(server.Start(0), "");
    Client silent(server.Port());
    Client half(server.Port());
    half.Send("GET / HT");
    bool closed = false;
    EXPECT_EQ(silent.ReadToEnd(closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(half.ReadToEnd(closed), "");
    EXPECT_TRUE(closed);
}

TEST_F(HttpServerTest, IdleConnectionsNeitherBlockARequestNorPassTheBound) {
    constexpr std::size_t kBound = 500;
    HttpServer server(source_, {10s, kBound + 1, kBound + 1});
    ASSERT_EQ(server.Start(0), "");
    std::vector<std::unique_ptr<Client>> idle;
    for (std::size_t i = 0; i < kBound; ++i) {
        idle.push_back(std::make_unique<Client>(server.Port()));
        ASSERT_TRUE(idle.back()->Connected());
    }
    bool closed = false;
    const std::string answer = Exchange(server.Port(), "GET / HTTP/1.1\r\n\r\n", closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    // The answered connection gives its slot up to a newcomer, or goes once its client has
    // closed too. The first newcomer that stays open fills the bound.
    std::unique_ptr<Client> extra;
    for (int i = 0; i < 50 && !extra; ++i) {
        auto probe = std::make_unique<Client>(server.Port());
        probe->ReadToEnd(closed, 100ms);
        if (!closed) extra = std::move(probe);
    }
    ASSERT_TRUE(extra);
    // With the bound reached, one more is closed at once.
    Client over(server.Port());
    EXPECT_EQ(over.ReadToEnd(closed), "");
    EXPECT_TRUE(closed);

    // Stop lets go of every open connection.
    server.Stop();
    EXPECT_EQ(idle.front()->ReadToEnd(closed, 1000ms), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(extra->ReadToEnd(closed, 1000ms), "");
    EXPECT_TRUE(closed);
}

TEST_F(HttpServerTest, OneAddressCannotTakeEverySlot) {
    HttpServer server(source_, {10s, 100, 3});
    ASSERT_EQ(server.Start(0), "");
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i)
        idle.push_back(std::make_unique<Client>(server.Port(), "127.0.0.2"));
    bool closed = false;
    Client fourth(server.Port(), "127.0.0.2");
    EXPECT_EQ(fourth.ReadToEnd(closed, 1s), "");
    EXPECT_TRUE(closed);
    const std::string answer = [&] {
        Client other(server.Port(), "127.0.0.3");
        other.Send("GET / HTTP/1.1\r\n\r\n");
        return other.ReadToEnd(closed);
    }();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "another address is served";
}

TEST_F(HttpServerTest, FailedLoginsAreCountedPerAddress) {
    PageState guarded = *source_.Current();
    guarded.User = "admin";
    guarded.Password = "pw";
    source_.Publish(guarded);
    HttpServer server(source_, {10s, 100, 100, 5ms});
    ASSERT_EQ(server.Start(0), "");
    const std::pair<const char*, const char*> requests[] = {
        {"", "HTTP/1.1 401"},  // none, as a browser's first request: no failed login
        {"Authorization: Basic YWRtaW46d3Jvbmc=\r\n", "HTTP/1.1 401"},  // admin:wrong
        {"Authorization: Basic YWRtaW46d3Jvbmc=\r\n", "HTTP/1.1 401"},
        {"Authorization: Basic YWRtaW46cHc=\r\n", "HTTP/1.1 200"},  // admin:pw, in its turn
    };
    for (const auto& [authorization, status] : requests) {
        bool closed = false;
        const std::string answer = Exchange(
            server.Port(), std::string("GET / HTTP/1.1\r\n") + authorization + "\r\n", closed);
        EXPECT_EQ(answer.substr(0, 12), status);
    }
    EXPECT_EQ(server.TakeFailedLoginReports(true),
              std::vector<std::string>{"2 failed logins from 127.0.0.1"});
}

TEST_F(HttpServerTest, WrongPasswordsWaitTheirTurnAndAreLoggedOnEveryPath) {
    PageState guarded = *source_.Current();
    guarded.User = "admin";
    guarded.Password = "pw";
    source_.Publish(guarded);
    for (const char* path : {"/", "/metrics", "/history?range=day", "/history.json?from=0&to=1"}) {
        SCOPED_TRACE(path);
        // The first wait is the longest, so a fourth try queued at once lies beyond what one
        // address may queue and is refused unanswered, while the second and third still wait.
        HttpServer server(source_, {30s, 100, 100, LoginThrottle::kLongestDelay});
        ASSERT_EQ(server.Start(0), "");
        const std::string wrong = std::string("GET ") + path +
                                  " HTTP/1.1\r\nAuthorization: Basic YWRtaW46d3Jvbmc=\r\n\r\n";
        bool closed = false;
        EXPECT_EQ(Exchange(server.Port(), wrong, closed).substr(0, 12), "HTTP/1.1 401");
        Client queued[3] = {Client(server.Port()), Client(server.Port()), Client(server.Port())};
        pollfd ready[3];
        for (int i = 0; i < 3; ++i) {
            queued[i].Send(wrong);
            ready[i] = {queued[i].Descriptor(), POLLIN, 0};
        }
        ASSERT_EQ(poll(ready, 3, 30000), 1) << "the refused one ends first, the others wait";
        for (int i = 0; i < 3; ++i) {
            if (ready[i].revents != 0) {
                EXPECT_EQ(queued[i].ReadToEnd(closed), "");
            }
        }
        server.Stop();
        EXPECT_EQ(server.TakeFailedLoginReports(true),
                  std::vector<std::string>{"1 failed logins from 127.0.0.1"});
    }
}

TEST_F(HttpServerTest, AnsweredConnectionsMakeRoomAndEveryCloseIsOrderly) {
    // Two slots for the address: the answered ones linger until their clients close.
    HttpServer server(source_, {10s, 100, 2});
    ASSERT_EQ(server.Start(0), "");
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    const std::string pipelined =
        request + "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n";
    std::vector<std::unique_ptr<Client>> kept;  // read to the end, never closed
    for (const std::string& sent : {request, pipelined, request, pipelined, request}) {
        kept.push_back(std::make_unique<Client>(server.Port()));
        kept.back()->Send(sent);
        bool closed = false;
        const std::string answer = kept.back()->ReadToEnd(closed);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << kept.size();
        EXPECT_NE(answer.find("<b>Report</b>"), std::string::npos) << kept.size();
        EXPECT_TRUE(closed);
        EXPECT_FALSE(kept.back()->Reset()) << kept.size();
    }
    // An answer larger than the socket takes at once goes out whole all the same.
    PageState big = *source_.Current();
    big.Snapshot.ProductName = std::string(4 << 20, 'x');
    source_.Publish(big);
    Client reader(server.Port());
    reader.Send(request);
    bool closed = false;
    const std::string answer = reader.ReadToEnd(closed);
    const std::size_t length = answer.find("Content-Length: ");
    ASSERT_NE(length, std::string::npos);
    EXPECT_EQ(std::stoul(answer.substr(length + 16)), answer.size() - answer.find("\r\n\r\n") - 4);
    EXPECT_GT(answer.size(), std::size_t{4 << 20});
}

TEST_F(HttpServerTest, PortInUseIsToldAndARestartMovesToTheNewPort) {
    HttpServer first(source_);
    ASSERT_EQ(first.Start(0), "");
    HttpServer second(source_);
    EXPECT_EQ(second.Start(first.Port()),
              "Could not bind socket. Address and port are already in use.");
    EXPECT_FALSE(second.Running());

    const std::uint16_t old_port = first.Port();
    ASSERT_EQ(first.Start(0), "");
    EXPECT_NE(first.Port(), old_port);
    EXPECT_FALSE(Client(old_port).Connected());
    EXPECT_TRUE(Client(first.Port()).Connected());
    first.Stop();
    EXPECT_FALSE(first.Running());
    EXPECT_EQ(first.Port(), 0);
}

}  // namespace
}  // namespace gw::reports
