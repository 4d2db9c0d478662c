// The status page of the running program, read by curl and by a real browser (headless
// Chromium) on loopback while the program polls the simulated UPS.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "integration/sim_process.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

class HttpStatusPageTest : public ::testing::Test {
protected:
    // The program with the server stored on, once it has shown a reading.
    void StartProgram(std::vector<std::pair<std::string, std::string>> settings) {
        port_ = testing::FreePort();
        settings.insert(settings.end(), {{"Refresh Interval", "1"},
                                         {"HTTP Server", "1"},
                                         {"HTTP Port", std::to_string(port_)}});
        testing::WriteSettings(settings);
        program_ = std::make_unique<testing::BackgroundProgram>(std::vector<std::string>{
            GRIDWARDEN_PATH, "--headless", "--power=simulated", "--com", "4", "--print-replies"});
        ASSERT_TRUE(program_->WaitFor("charge", 30s)) << program_->Output();
    }
    std::string Url(const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/";
    }
    testing::Finished Curl(std::vector<std::string> args) const {
        args.insert(args.begin(), {"/usr/bin/curl", "-si", "--max-time", "10"});
        return testing::RunProgram(args, 20s);
    }

    testing::ScratchHome home_;
    testing::SimulatedUps sim_{4};
    int port_ = 0;
    std::unique_ptr<testing::BackgroundProgram> program_;
};

TEST_F(HttpStatusPageTest, CurlGetsTheExactHeadersAndLiveReadingsAndDeleteGetsNothing) {
    ASSERT_TRUE(sim_.Ready());
    StartProgram({});
    const testing::Finished page = Curl({Url()});
    EXPECT_EQ(page.ExitStatus, 0);
    const std::string& text = page.Output;
    EXPECT_EQ(text.rfind("HTTP/1.1 200 OK\r\n"
                         "Cache-Control: no-store, no-cache, must-revalidate\r\n"
                         "Cache-Control: post-check=0, pre-check=0\r\n"
                         "Pragma: no-cache\r\n"
                         "Content-Type: text/html\r\n"
                         "Content-Length: ",
                         0),
              0u)
        << text;
    const std::size_t body = text.find("\r\n\r\n") + 4;
    EXPECT_NE(text.find("\r\nConnection: close\r\n\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Content-Length: " + std::to_string(text.size() - body) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(body, 16), "<b>Report</b> - ");
    EXPECT_NE(text.find("</br>\r\nI/P Voltage = 2"), std::string::npos) << text;
    EXPECT_NE(text.find("UPS Status = 0"), std::string::npos) << text;

    const testing::Finished deleted = Curl({"-X", "DELETE", Url()});
    EXPECT_EQ(deleted.ExitStatus, 52) << "curl: empty reply from server";
    EXPECT_EQ(deleted.Output, "");
}

TEST_F(HttpStatusPageTest, BrowserShowsThePageOnlyWithTheCredentials) {
    ASSERT_TRUE(sim_.Ready());
    StartProgram({{"HTTP User", "admin"}, {"HTTP Password", "s:cret"}});
    EXPECT_EQ(Curl({Url()}).Output.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
    EXPECT_EQ(Curl({"-u", "admin:s:cret", Url()}).Output.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    const auto browse = [&](const std::string& url) {
        return testing::RunProgram(
                   {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                    "--user-data-dir=" + home_.Root() + "/chromium", "--dump-dom", url},
                   60s)
            .Output;
    };
    const std::string shown = browse(Url("admin:s%3Acret@"));
    EXPECT_NE(shown.find("<b>Report</b> - "), std::string::npos) << shown;
    // The unit's degree sign is the page's byte 0xB0, which the browser shows as U+00B0.
    EXPECT_NE(shown.find(" \xc2\xb0"
                         "C<br>"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("I/P Voltage = 2"), std::string::npos) << shown;

    const std::string refused = browse(Url());
    EXPECT_EQ(refused.find("I/P Voltage"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("Report"), std::string::npos) << refused;
}

}  // namespace
}  // namespace gw
