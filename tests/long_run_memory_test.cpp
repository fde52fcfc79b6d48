// line-sim's peak memory does not grow with the simulated time: a run a
// hundred times longer than another peaks within a few megabytes of it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.hpp"

namespace {

constexpr long MOST_GROWTH_KB = 4096;  // [kB] the longer run may peak above the shorter

// Runs line-sim on the built-in world for `seconds` simulated, one run at a
// time, into `out`; gives the peak resident memory [kB] of line-sim and the
// controller it started (the larger of the two), or -1 if it failed.
long peak_kb(const std::string& seconds, const std::string& out) {
    std::vector<std::string> words = {LINE_SIM_EXE, "--duration", seconds, "-j1", "-q", "--out", out};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;  // [kB] the child's, or that of a child it waited for, the largest
}

TEST(LongRunMemory, PeakDoesNotGrowWithTheSimulatedTime) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed memory back, and takes minutes over the long run";
#endif
    const std::string folder = test_support::fresh_folder();
    const long short_run = peak_kb("600", folder + "/short");
    const long long_run = peak_kb("60000", folder + "/long");
    // The long run's files take hundreds of megabytes of disk.
    std::filesystem::remove_all(folder);
    ASSERT_GT(short_run, 0) << "line-sim --duration 600 failed";
    ASSERT_GT(long_run, 0) << "line-sim --duration 60000 failed";
    EXPECT_LE(long_run, short_run + MOST_GROWTH_KB)
        << "peak " << short_run << " kB for 600 s, " << long_run << " kB for 60,000 s";
}

}  // namespace
