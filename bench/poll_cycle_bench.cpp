// What one poll cycle of the headless runner costs the machine: processor
// time, wake-ups (voluntary context switches) and resident memory, measured
// on the real program polling the simulated UPS at a 1 s refresh.
//
//   gw_poll_cycle_bench [--cycles=N]     (default 100; one cycle is ~2.2 s)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

int g_cycles = 100;

pid_t Spawn(const std::vector<std::string>& args, bool quiet) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void BM_HeadlessPollCycle(benchmark::State& state) {
    char tmpl[] = "/tmp/gw-bench-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    const std::string link = root + "/config/gridwarden/ports/COM1";

    for (auto _ : state) {
        const pid_t sim = Spawn({UPSSIM_PATH, "--com", "1", "--pace"}, true);
        for (int i = 0; i < 100 && !std::filesystem::is_symlink(link); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const auto start = std::chrono::steady_clock::now();
        const pid_t runner = Spawn({GRIDWARDEN_PATH, "--headless", "--power=simulated", "--com",
                                    "1", "--refresh", "1", "--cycles", std::to_string(g_cycles)},
                                   true);
        int status = 0;
        rusage usage{};
        wait4(runner, &status, 0, &usage);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);

        const double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
        state.SetIterationTime(seconds / g_cycles);
        state.counters["cpu_ms_per_cycle"] = cpu_ms / g_cycles;
        state.counters["wakeups_per_cycle"] =
            static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw) / g_cycles;
        state.counters["max_rss_MB"] = usage.ru_maxrss / 1024.0;
        state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_HeadlessPollCycle)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--cycles=", 9) == 0) {
            g_cycles = std::max(1, std::atoi(argv[i] + 9));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
