// The real line_follower, started as a process on the scripted platform: the
// exact calls it makes, the exact bytes it writes, and its exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.hpp"

namespace {

using test_support::fresh_folder;
using test_support::read_file;

struct ControllerRun {
    int exit_status = -1;
    std::string standard_output;
    std::string standard_error;
    std::vector<std::string> calls;  // the platform's log, a line a call
};

// Plays the script on the scripted platform, put in the simulated robot's
// place through LD_LIBRARY_PATH (or LD_PRELOAD), and collects what happened.
ControllerRun run_controller(const std::string& script, bool preload = false) {
    const std::string folder = fresh_folder();
    std::ofstream(folder + "/script") << script;
    const std::string library = std::string(SCRIPTED_PLATFORM_DIR) + "/libController.so";
    const auto process = test_support::run_process(LINE_FOLLOWER_EXE, {},
                                                   {{"LD_LIBRARY_PATH", preload ? "" : SCRIPTED_PLATFORM_DIR},
                                                    {"LD_PRELOAD", preload ? library : ""},
                                                    {"SCRIPTED_PLATFORM_SCRIPT", folder + "/script"},
                                                    {"SCRIPTED_PLATFORM_LOG", folder + "/log"}});
    ControllerRun run{process.exit_status, process.standard_output, process.standard_error, {}};
    std::istringstream log(read_file(folder + "/log"));
    for (std::string line; std::getline(log, line);) run.calls.push_back(line);
    return run;
}

// The calls of a 64 x 48 start-up with tag 1, up to the first image fetch.
std::vector<std::string> start_up(const std::string& size_text = "img size: 64 x 48", unsigned tag = 1,
                                  const std::string& width = "64", const std::string& height = "48") {
    const std::string t = std::to_string(tag);
    return {"wb_robot_init",
            "wb_robot_get_device camera -> " + t,
            "wb_camera_enable " + t + " 32",
            "wb_camera_get_width " + t + " -> " + width,
            "wb_camera_get_height " + t + " -> " + height,
            "stdout holds " + std::to_string(size_text.size()) + " bytes"};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::string> SHUTDOWN = {"wb_robot_cleanup", "allocations during the cycles: 0"};

// Shutdown with the allocation count, or without when a sanitizer's allocator hides it.
void expect_calls(const ControllerRun& run, const std::vector<std::string>& expected) {
    std::vector<std::string> calls = run.calls;
    if (!calls.empty() && calls.back() == "allocations during the cycles: unavailable") {
        calls.back() = SHUTDOWN.back();
    }
    EXPECT_EQ(calls, expected);
}

TEST(RunLoop, FirstStepEndingTheRunMakesExactlyOneCycle) {
    const ControllerRun run = run_controller("cycle -1 dark 48\n");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.standard_output, "img size: 64 x 48");
    expect_calls(run, start_up() +
                          std::vector<std::string>{"wb_camera_get_image 1 -> image",
                                                   "wb_differential_wheels_set_speed 2 6", "wb_robot_step 32 -> -1"} +
                          SHUTDOWN);
}

TEST(RunLoop, PlatformPreloadedInsteadOfFoundOnTheSearchPath) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's runtime must be the first library loaded";
#endif
    const ControllerRun run = run_controller("cycle -1 dark 48\n", true);
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    expect_calls(run, start_up() +
                          std::vector<std::string>{"wb_camera_get_image 1 -> image",
                                                   "wb_differential_wheels_set_speed 2 6", "wb_robot_step 32 -> -1"} +
                          SHUTDOWN);
}

TEST(RunLoop, NoDarkPixelEverSendsNoSpeed) {
    const ControllerRun run = run_controller("cycle 0 light\ncycle 0 light\ncycle -1 light\n");
    EXPECT_EQ(run.exit_status, 0);
    std::vector<std::string> expected = start_up();
    for (const char* result : {"0", "0", "-1"}) {
        expected.push_back("wb_camera_get_image 1 -> image");
        expected.push_back(std::string("wb_robot_step 32 -> ") + result);
    }
    expect_calls(run, expected + SHUTDOWN);
}

TEST(RunLoop, VanishingLineSendsNoNewCommandAndOtherResultsContinue) {
    const ControllerRun run = run_controller(
        "cycle -2 dark 10,11,12\n"
        "cycle 0 light\n"
        "cycle -2147483648 dark 0\n"
        "cycle 2147483647 light\n"
        "cycle 1 dark 63\n"
        "cycle -1 dark 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,"
        "34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63\n");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.standard_output, "img size: 64 x 48");
    const std::string image = "wb_camera_get_image 1 -> image";
    expect_calls(run, start_up() +
                          std::vector<std::string>{
                              image, "wb_differential_wheels_set_speed 6.625 1.375", "wb_robot_step 32 -> -2", image,
                              "wb_robot_step 32 -> 0", image, "wb_differential_wheels_set_speed 8 0",
                              "wb_robot_step 32 -> -2147483648", image, "wb_robot_step 32 -> 2147483647", image,
                              "wb_differential_wheels_set_speed 0.125 7.875", "wb_robot_step 32 -> 1", image,
                              "wb_differential_wheels_set_speed 4.0625 3.9375", "wb_robot_step 32 -> -1"} +
                          SHUTDOWN);
}

TEST(RunLoop, UnusualDeviceTagIsPassedUnchanged) {
    const ControllerRun run = run_controller("tag 65535\ncycle -1 light\n");
    EXPECT_EQ(run.exit_status, 0);
    expect_calls(run, start_up("img size: 64 x 48", 65535) +
                          std::vector<std::string>{"wb_camera_get_image 65535 -> image", "wb_robot_step 32 -> -1"} +
                          SHUTDOWN);
}

// Hostile answers from the library: the controller reads nothing it was not
// given, sends no non-finite speed, and still ends with status 0.
struct HostileCase {
    const char* name;
    const char* script;
    const char* size_text;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileLibrary : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileLibrary, NoCrashNoCommandExitZero) {
    const ControllerRun run = run_controller(GetParam().script);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.standard_output, GetParam().size_text);
    for (const std::string& call : run.calls) {
        EXPECT_EQ(call.find("set_speed"), std::string::npos) << call;
    }
    ASSERT_GE(run.calls.size(), 2U);
    EXPECT_EQ(run.calls[run.calls.size() - 2], "wb_robot_cleanup");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HostileLibrary,
    ::testing::Values(HostileCase{"NoImage", "cycle 0 none\ncycle -1 none\n", "img size: 64 x 48"},
                      HostileCase{"NineRows", "size 64 9\ncycle 0 light\ncycle -1 light\n", "img size: 64 x 9"},
                      HostileCase{"ZeroRows", "size 64 0\ncycle 0 light\ncycle -1 light\n", "img size: 64 x 0"},
                      HostileCase{"WidthZero", "size 0 48\ncycle 0 light\ncycle -1 light\n", "img size: 0 x 48"},
                      HostileCase{"WidthOne", "size 1 48\ncycle 0 dark 0\ncycle -1 dark 0\n", "img size: 1 x 48"},
                      HostileCase{"NegativeWidth", "size -64 48\ncycle 0 light\ncycle -1 none\n", "img size: -64 x 48"},
                      HostileCase{"NegativeHeight", "size 64 -48\ncycle 0 light\ncycle -1 none\n",
                                  "img size: 64 x -48"},
                      HostileCase{"MostNegative", "size -2147483648 -2147483648\ncycle -1 light\n",
                                  "img size: -2147483648 x -2147483648"}),
    [](const ::testing::TestParamInfo<HostileCase>& param) { return std::string(param.param.name); });

TEST(RunLoop, SpeedsStayFiniteOnANarrowCamera) {
    const ControllerRun run = run_controller("size 2 10\ncycle 0 dark 0\ncycle -1 dark 1\n");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.standard_output, "img size: 2 x 10");
    expect_calls(run,
                 start_up("img size: 2 x 10", 1, "2", "10") +
                     std::vector<std::string>{"wb_camera_get_image 1 -> image", "wb_differential_wheels_set_speed 8 0",
                                              "wb_robot_step 32 -> 0", "wb_camera_get_image 1 -> image",
                                              "wb_differential_wheels_set_speed 4 4", "wb_robot_step 32 -> -1"} +
                     SHUTDOWN);
}

}  // namespace
