// A 600 dpi colour A4 page from the virtual scanner, two ways in the same run:
// scanimage through the SANE backend (docscan:virtual) to /dev/null, and
// `docscan scan` to PNM on /dev/null. Both are whole processes, started the
// same way, alternating.
//
// Reported:
//   scanimage_s, docscan_s   mean wall time of one page
//   sane_vs_docscan          scanimage time / docscan time (target: at most 1.1)
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

// Runs argv with standard output on /dev/null; returns seconds, or -1 on failure.
double RunTimed(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int status = -1;
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    if (spawned) waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    return spawned && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

void BM_SaneVsDocscanA4Color600(benchmark::State &state)
{
    char dir[] = "/tmp/docscan-sane-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("cannot make a configuration folder");
        return;
    }
    std::ofstream(std::string(dir) + "/dll.conf") << "docscan\n";
    std::ofstream(std::string(dir) + "/docscan.conf") << "virtual\n";
    setenv("SANE_CONFIG_DIR", dir, 1);
    setenv("LD_LIBRARY_PATH", DOCSCAN_SANE_LIBRARY_PATH, 1);
    setenv("DOCSCAN_VIRTUAL_MODULE", DOCSCAN_VIRTUAL_MODULE_PATH, 1);

    const std::vector<std::string> sane = {"umockdev-wrapper", "scanimage", "-d",
                                           "docscan:virtual",  "--mode",    "Color",
                                           "--resolution",     "600",       "--format=pnm"};
    const std::vector<std::string> cli = {DOCSCAN_CLI_PATH, "scan",  "--virtual",    "-q",
                                          "--mode",         "Color", "--resolution", "600",
                                          "--format",       "pnm",   "-o",           "/dev/null"};
    double saneTotal = 0, cliTotal = 0;
    bool first = true;
    for (auto _ : state) {
        // Alternate which runs first, so that neither always finds the caches warm.
        const double a = RunTimed(first ? sane : cli);
        const double b = RunTimed(first ? cli : sane);
        if (a < 0 || b < 0) {
            state.SkipWithError("scanimage or docscan failed (are sane-utils and umockdev installed?)");
            break;
        }
        saneTotal += first ? a : b;
        cliTotal += first ? b : a;
        first = !first;
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0 && cliTotal > 0) {
        state.counters["scanimage_s"] = saneTotal / n;
        state.counters["docscan_s"] = cliTotal / n;
        state.counters["sane_vs_docscan"] = saneTotal / cliTotal;
    }
    std::remove((std::string(dir) + "/dll.conf").c_str());
    std::remove((std::string(dir) + "/docscan.conf").c_str());
    rmdir(dir);
}
BENCHMARK(BM_SaneVsDocscanA4Color600)->Iterations(6)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
