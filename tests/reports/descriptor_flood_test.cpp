// A flood of idle connections to the status server from many addresses, in a process whose
// limit of open files is low: the servers' bounds leave the reserve free for the UPS link, the
// journal, the settings and the external program, and the network UPS server still answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "reports/http_server.h"
#include "reports/loopback_client.h"
#include "reports/nut_server.h"
#include "reports/tcp_pool.h"

namespace gw::reports {
namespace {

using namespace std::chrono_literals;

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Opens `count` idle connections to `port` from 127.0.1.x, about 50 per address, in a child
// process with its own descriptors; they stay open until the returned pipe end is closed.
pid_t Flood(std::uint16_t port, int count, int& release) {
    int ready[2];
    int hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        close(ready[0]);
        close(hold[1]);
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7f000100 + 1 + i / 50);
            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(port);
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
        }
        const char done = 1;
        (void)!write(ready[1], &done, 1);
        char ignored;
        (void)!read(hold[0], &ignored, 1);
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char done = 0;
    pollfd wait{ready[0], POLLIN, 0};
    if (poll(&wait, 1, 30000) == 1) (void)!read(ready[0], &done, 1);
    close(ready[0]);
    release = hold[1];
    return child;
}

TEST(DescriptorFloodTest, IdleConnectionsLeaveTheReserveAndTheNutServerAnswers) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = OpenDescriptors() + kDescriptorReserve + 200;
    // The flood's own process needs room for its 1100 connections.
    if (saved.rlim_max < 2048) GTEST_SKIP() << "the hard limit of open files is too low";
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

    PageSource page;
    page.Publish(PageState{});
    NutSource nut;
    nut.Publish(NutState{});
    NutServer nut_server(nut);
    HttpServer http_server(page);
    ASSERT_EQ(nut_server.Start("127.0.0.1", 0), "");
    ASSERT_EQ(http_server.Start(0), "");

    int release = -1;
    const pid_t child = Flood(http_server.Port(), 1100, release);
    ASSERT_GT(child, 0);
    // Until the server has taken what it will take.
    std::size_t taken = 0;
    for (int steady = 0, i = 0; steady < 5 && i < 200; ++i) {
        std::this_thread::sleep_for(50ms);
        const std::size_t now = http_server.Connections();
        steady = now == taken ? steady + 1 : 0;
        taken = now;
    }
    EXPECT_GT(taken, 100u);

    std::vector<int> files;
    for (int i = 0; i < 150; ++i) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        files.push_back(fd);
    }
    EXPECT_EQ(files.size(), 150u) << "the reserve is free";
    for (const int fd : files) close(fd);
    testing::LoopbackClient client(nut_server.Port());
    client.Send("NETVER\n");
    EXPECT_EQ(client.ReadUntil("\n"), "1.3\n");

    close(release);
    waitpid(child, nullptr, 0);
    http_server.Stop();
    nut_server.Stop();
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace gw::reports
