// The real line_follower on the simulated robot, as a person starts it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "process.hpp"

namespace {

using test_support::run_process;

// With LD_LIBRARY_PATH cleared the controller finds the simulated robot
// through its run path.
test_support::ProcessResult run_controller(const std::string& world = "") {
    return run_process(LINE_FOLLOWER_EXE, {}, {{"LD_LIBRARY_PATH", ""}, {"LINE_SIM_WORLD", world}});
}

TEST(ClosedLoop, DefaultWorldLapsTheOvalWithoutLeavingTheLine) {
    const auto run = run_controller();
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_EQ(run.standard_output, "img size: 64 x 48");
    EXPECT_NE(run.standard_error.find("simulated robot, world \"oval\""), std::string::npos) << run.standard_error;
    EXPECT_NE(run.standard_error.find("  laps            3 ("), std::string::npos) << run.standard_error;
    EXPECT_NE(run.standard_error.find("  off the line    0.000 s"), std::string::npos);
    EXPECT_NE(run.standard_error.find("  ended           duration reached"), std::string::npos);
}

TEST(ClosedLoop, WorldFileIsReadAndTheRobotLeavesAnOpenTrack) {
    const std::string path = test_support::fresh_folder() + "/short.toml";
    std::ofstream(path) << "name = \"short\"\n[run]\nduration = 60\n[track]\nclosed = false\n"
                           "segments = [{ straight = 0.3 }, { arc = 0.3, angle = -45 }]\n"
                           "[camera]\nwidth = 80\nheight = 30\n";
    const auto run = run_controller(path);
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_EQ(run.standard_output, "img size: 80 x 30");
    EXPECT_NE(run.standard_error.find("world \"short\""), std::string::npos) << run.standard_error;
    EXPECT_NE(run.standard_error.find("  ended           robot off the line"), std::string::npos) << run.standard_error;
}

TEST(ClosedLoop, UnusableWorldIsOneLineAndStatusTwoBeforeAnyStep) {
    const std::string folder = test_support::fresh_folder();
    std::ofstream(folder + "/bad.toml") << "[track]\nline_width = -1\nsegments = [{ straight = 1 }]\n";
    const auto bad = run_controller(folder + "/bad.toml");
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_EQ(bad.standard_output, "");
    EXPECT_EQ(bad.standard_error,
              "world " + folder + "/bad.toml: key track.line_width: expected a positive number (width in m)\n");

    const auto missing = run_controller(folder + "/missing.toml");
    EXPECT_EQ(missing.exit_status, 2);
    EXPECT_EQ(missing.standard_error,
              "world " + folder + "/missing.toml: cannot be read (expected a readable TOML file)\n");
}

}  // namespace
