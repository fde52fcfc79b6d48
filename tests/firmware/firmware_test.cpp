// The motor board's firmware, the very ELF files the build makes, run by
// simavr: what each line does to the PWM and direction pins, in simulated
// time.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "sim_board.hpp"

extern "C" {
#include "config.h"
}

namespace firmware_test {
namespace {

static_assert(COMMAND_TIMEOUT_MS >= 250 && COMMAND_TIMEOUT_MS <= 500, "docs/motor-board.md: 250 to 500 ms");

constexpr double DUTY_TOLERANCE = 1.5 / 1024;  // one step of the 10-bit PWM, and rounding

std::string framed(const std::string& body) {
    unsigned sum = 0;
    for (const char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return body + tail;
}

// A booted board, its greeting read.
struct Booted {
    SimBoard board;
    explicit Booted(const char* elf, const MotorModel* motors = nullptr) : board(elf) {
        if (motors) board.attach_motors(*motors, ENCODER_COUNTS_PER_TURN);
        board.run_ms(10);
        greeting = board.lines();
    }
    std::vector<std::string> greeting;
};

void expect_driven(const SimBoard& board, int left, int right) {
    const int drives[2] = {left, right};
    for (int m = 0; m < 2; ++m) {
        SCOPED_TRACE(m == 0 ? "left" : "right");
        EXPECT_NEAR(board.duty(m), std::abs(drives[m]) / 1000.0, DUTY_TOLERANCE);
        EXPECT_EQ(board.sense(m), (drives[m] > 0) - (drives[m] < 0));
    }
}

TEST(Boot, MotorsStoppedAndGreetingAtBootAndOnHello) {
    Booted b(FIRMWARE_ELF);
    const std::vector<std::string> hello = {framed("hello 1 " LINE_FOLLOWER_VERSION " encoders=0")};
    EXPECT_EQ(b.greeting, hello);
    expect_driven(b.board, 0, 0);
    EXPECT_TRUE(b.board.standby());
    b.board.send("hello");
    b.board.run_ms(6);
    EXPECT_EQ(b.board.lines(), hello);
    Booted e(FIRMWARE_ENCODERS_ELF);
    EXPECT_EQ(e.greeting, std::vector<std::string>{framed("hello 1 " LINE_FOLLOWER_VERSION " encoders=1")});
}

struct Drive {
    int left, right;
};
void PrintTo(const Drive& d, std::ostream* out) { *out << "drive " << d.left << " " << d.right; }
class DriveCommand : public testing::TestWithParam<Drive> {};

TEST_P(DriveCommand, SetsEachWheelsDutyAndSense) {
    Booted b(FIRMWARE_ELF);
    const Drive d = GetParam();
    b.board.send("drive " + std::to_string(d.left) + " " + std::to_string(d.right));
    b.board.run_ms(6);  // a whole PWM period (0.5 ms) after the answer
    EXPECT_EQ(b.board.lines(), std::vector<std::string>{"ok*04"});
    expect_driven(b.board, d.left, d.right);
}

INSTANTIATE_TEST_SUITE_P(Drives, DriveCommand,
                         testing::Values(Drive{200, 0}, Drive{0, 200}, Drive{-300, 300}, Drive{1000, -1000},
                                         Drive{-1, 999}, Drive{517, -83}, Drive{0, 0}));

struct Refused {
    std::string bytes;   // sent after drive 300 -300
    std::string answer;  // the board's line, or "" for none
};
void PrintTo(const Refused& r, std::ostream* out) { *out << testing::PrintToString(r.bytes); }
class RefusedLine : public testing::TestWithParam<Refused> {};

TEST_P(RefusedLine, ChangesNothing) {
    Booted b(FIRMWARE_ELF);
    b.board.send("drive 300 -300");
    b.board.run_ms(6);
    b.board.lines();
    b.board.forget_extremes();
    b.board.send_bytes(GetParam().bytes);
    b.board.run_ms(6);
    const std::vector<std::string> answer =
        GetParam().answer.empty() ? std::vector<std::string>{} : std::vector<std::string>{framed(GetParam().answer)};
    EXPECT_EQ(b.board.lines(), answer);
    expect_driven(b.board, 300, -300);
    EXPECT_EQ(b.board.direction_changes(), 0);
    EXPECT_NEAR(b.board.lowest_duty(0), 0.3, DUTY_TOLERANCE);
    EXPECT_NEAR(b.board.highest_duty(0), 0.3, DUTY_TOLERANCE);
}

INSTANTIATE_TEST_SUITE_P(Lines, RefusedLine,
                         testing::Values(Refused{"drive 900 900*6D\n", "err checksum"},  // one bit of the sum flipped
                                         Refused{"drive 900 800*6C\n", "err checksum"},  // a digit changed
                                         Refused{"drive 900 900\n", "err checksum"},     // no sum
                                         Refused{"drive 9", ""},                         // a partial line: nothing yet
                                         Refused{"\n\r\n\r", ""},                        // empty lines
                                         Refused{std::string(100, '7') + "\n", "err long"},
                                         Refused{framed("drive 1001 0") + "\n", "err range"},
                                         Refused{framed("drive 0 -1001") + "\r", "err range"},
                                         Refused{framed("drive 5 x") + "\n", "err syntax"},
                                         Refused{framed("drive 5 5 5") + "\n", "err syntax"},
                                         Refused{framed("fly 1 2") + "\n", "err unknown"},
                                         Refused{framed("speed 100 100") + "\n", "err encoders"}));

TEST(Timeout, StopsBothMotorsOnceWithinItsWindowAndUntilTheNextCommand) {
    Booted b(FIRMWARE_ELF);
    b.board.send("drive 400 -400");
    const double sent = b.board.now_ms();  // [ms] the line's last byte is in
    double stopped = 0.0;
    while (b.board.now_ms() - sent < 600 && stopped == 0.0) {
        b.board.run_ms(0.25);
        if (b.board.sense(0) == 0 && b.board.sense(1) == 0) stopped = b.board.now_ms();
    }
    const double waited = stopped - sent;  // [ms] simulated
    RecordProperty("timeout_ms", std::to_string(waited));
    std::printf("the motors stopped %.2f ms (simulated) after the last command\n", waited);
    // The board's clock counts whole milliseconds: the wait is its timeout
    // within a millisecond either way, and a little for the main loop.
    EXPECT_GE(waited, COMMAND_TIMEOUT_MS - 1.0);
    EXPECT_LE(waited, COMMAND_TIMEOUT_MS + 1.5);
    b.board.run_ms(6);
    expect_driven(b.board, 0, 0);
    EXPECT_EQ(b.board.lines(), (std::vector<std::string>{"ok*04", "timeout*7B"}));
    b.board.run_ms(1000);
    EXPECT_TRUE(b.board.lines().empty());
    expect_driven(b.board, 0, 0);
    b.board.send("drive -250 0");
    b.board.run_ms(6);
    expect_driven(b.board, -250, 0);
}

TEST(Timeout, CommandsEvery32msKeepTheMotorsRunningWithoutADip) {
    Booted b(FIRMWARE_ELF);
    b.board.send("drive 600 -450");
    b.board.run_ms(6);
    b.board.forget_extremes();
    for (int step = 0; step < 60; ++step) {  // about 2 s
        const double start = b.board.now_ms();
        b.board.send("drive 600 -450");
        b.board.run_ms(32 - (b.board.now_ms() - start));
    }
    EXPECT_EQ(b.board.direction_changes(), 0);
    EXPECT_NEAR(b.board.lowest_duty(0), 0.6, DUTY_TOLERANCE);
    EXPECT_NEAR(b.board.highest_duty(0), 0.6, DUTY_TOLERANCE);
    EXPECT_NEAR(b.board.lowest_duty(1), 0.45, DUTY_TOLERANCE);
    EXPECT_NEAR(b.board.highest_duty(1), 0.45, DUTY_TOLERANCE);
    for (const std::string& line : b.board.lines()) EXPECT_EQ(line, "ok*04");
}

// The speed loop against the motor model, for a strong supply and one
// giving half the speed; one wheel forwards, one backwards.
class SpeedLoop : public testing::TestWithParam<double> {};

TEST_P(SpeedLoop, SettlesOnTheAskedSpeed) {
    MotorModel model;
    model.full_speed *= GetParam();
    Booted b(FIRMWARE_ENCODERS_ELF, &model);
    const double asked[2] = {5.0, -3.0};       // [rad/s]
    double settled[2] = {}, settled_ms = 0.0;  // [rad], [ms] after 2 s
    for (int step = 0; step < 94; ++step) {    // 3 s of commands every 32 ms
        if (step == 63) {
            settled_ms = b.board.now_ms();
            for (int m = 0; m < 2; ++m) settled[m] = b.board.wheel_angle(m);
        }
        const double start = b.board.now_ms();
        b.board.send("speed 5000 -3000");
        b.board.run_ms(32 - (b.board.now_ms() - start));
    }
    const double seconds = (b.board.now_ms() - settled_ms) / 1000.0;
    for (int m = 0; m < 2; ++m) {
        SCOPED_TRACE(m == 0 ? "left" : "right");
        const double mean = (b.board.wheel_angle(m) - settled[m]) / seconds;  // [rad/s]
        std::printf("wheel %d: asked %.2f rad/s, held %.3f rad/s (full speed %.1f rad/s)\n", m, asked[m], mean,
                    model.full_speed);
        EXPECT_NEAR(mean, asked[m], 0.03 * std::abs(asked[m]));
    }
    // Stopped, then the wheels still: the counts the board reports are the
    // encoders' edges, one for one.
    b.board.send("stop");
    b.board.run_ms(400);
    b.board.lines();
    b.board.send("counts");
    b.board.run_ms(8);
    const std::vector<std::string> counts = {
        framed("counts " + std::to_string(b.board.edges(0)) + " " + std::to_string(b.board.edges(1)))};
    EXPECT_EQ(b.board.lines(), counts);
}

INSTANTIATE_TEST_SUITE_P(Supplies, SpeedLoop, testing::Values(1.0, 0.5));

}  // namespace
}  // namespace firmware_test
