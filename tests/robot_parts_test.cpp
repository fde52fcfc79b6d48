// The robot file's reader and how a wheel speed becomes the board's drive.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "robot_file.hpp"

namespace {

// A wheel speed becomes the board's drive: full_speed, dead band, trim and a reversed wheel, clamped.
TEST(BoardCommand, FromTheRobotsCalibration) {
    robot::WheelSettings w;
    w.full_speed = 10.0;
    w.dead_band = 0.2;
    w.trim = 0.1;
    w.right_reversed = true;
    // Left: 5 / 10 * 1.1 = 0.55 of full drive, lifted past the dead band: 0.2 + 0.8 * 0.55 = 0.64.
    // Right: -(5 / 10 * 0.9) = -0.45: -(0.2 + 0.8 * 0.45) = -0.56.
    EXPECT_EQ(robot::board_command(w, 5.0, 5.0).left, 640);
    EXPECT_EQ(robot::board_command(w, 5.0, 5.0).right, -560);
    EXPECT_EQ(robot::board_command(w, 0.0, 1e9).left, 0);         // stopped is stopped, not the dead band
    EXPECT_EQ(robot::board_command(w, 0.0, 1e9).right, -1000);    // clamped
    EXPECT_EQ(robot::board_command(w, std::nan(""), 0).left, 0);  // not a number: no drive
    w.encoders = true;
    EXPECT_EQ(robot::board_command(w, 2.5, 1e9).left, 2500);  // mrad/s, no trim: the board holds the speed
    EXPECT_EQ(robot::board_command(w, 2.5, 1e9).right, -10000);
}

TEST(RobotFile, RefusesUnknownKeysAndValuesOutOfRange) {
    const auto refused = [](const std::string& text) {
        try {
            robot::parse_robot(text, "r.toml");
        } catch (const robot::RobotFileError& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(refused("[camera]\nwidht = 3\n"),
              "robot r.toml: key camera.widht: not a known key (did you mean camera.width?)");
    EXPECT_EQ(refused("[board]\nbaud = 115201\n").rfind("robot r.toml: key board.baud: expected one of", 0), 0u);
    EXPECT_EQ(refused("[camera]\npipeline = \"a\\nb\"\n").rfind("robot r.toml: key camera.pipeline: expected", 0), 0u);
    EXPECT_EQ(refused("[wheels]\ntrim = 0.7\n"), "robot r.toml: key wheels.trim: expected a fraction from -0.5 to 0.5");
    EXPECT_EQ(refused("[run]\nduration = 0\n").rfind("robot r.toml: key run.duration: expected a time from", 0), 0u);
    EXPECT_EQ(refused("name = \"x\"\n[wheels]\nleft_reversed = true\n"), "");
    // The examples people start from.
    for (const auto& entry : std::filesystem::directory_iterator(ROBOTS_FOLDER))
        EXPECT_NO_THROW(robot::load_robot_file(entry.path().string())) << entry.path();
}

}  // namespace
