// What a stranger may hand the simulated robot: controllers that misuse its
// library, run through the real line-sim, and world names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.hpp"
#include "trace.hpp"
#include "world_file.hpp"

namespace {

using test_support::read_file;
using test_support::run_process;

struct Misuse {
    const char* name;
    const char* mode;  // of the misbehaving controller
    std::vector<std::string> options;
    const char* end_reason;
    int exit_status;
};

void PrintTo(const Misuse& c, std::ostream* os) { *os << c.name; }

class ControllerMisuse : public ::testing::TestWithParam<Misuse> {};

// However the controller misbehaves, the run ends as the case says, line-sim
// says so by its status, and the files are whole: one trace row a step the
// robot took, in time order, with nothing repeated, skipped or non-finite.
TEST_P(ControllerMisuse, EndsTheRunWithItsReasonAndWholeFiles) {
    const Misuse& c = GetParam();
    const std::string out = test_support::fresh_folder();
    std::vector<std::string> arguments = {"oval", "-o", out, "--controller", MISBEHAVING_CONTROLLER_EXE};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    arguments.insert(arguments.end(), {"--", c.mode});
    const auto run = run_process(LINE_SIM_EXE, arguments);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.standard_error;
    const auto summary = nlohmann::json::parse(read_file(out + "/oval/summary.json"));
    EXPECT_EQ(summary["end_reason"], c.end_reason);
    EXPECT_EQ(nlohmann::json::parse(read_file(out + "/oval/line-sim.json"))["controller_exit_status"],
              0);  // it closed the run itself
    const auto trace = sim::read_trace(out + "/oval/trace.csv");
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(summary["steps"].get<std::size_t>(), trace.size());
    const bool huge_steps = std::string(c.mode) == "huge-step";
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const auto& row = trace[i];
        for (const double value :
             {row.t, row.x, row.y, row.heading, row.left, row.right, row.lateral_error, row.progress}) {
            ASSERT_TRUE(std::isfinite(value)) << "row " << i;
        }
        if (!huge_steps) {
            ASSERT_EQ(row.t, static_cast<double>(32 * (i + 1)) / 1000) << "row " << i;
        }
    }
    for (const char* figure : {"mean_abs_lateral_error_m", "rms_lateral_error_m", "max_abs_lateral_error_m"}) {
        EXPECT_TRUE(summary[figure].is_number_float()) << figure;
    }
    if (huge_steps) {
        // One step of 24 days on a 3 s world ends it at 3 s.
        EXPECT_EQ(trace.size(), 1U);
        EXPECT_EQ(summary["sim_time_s"], 3.0);
    }
    if (run.exit_status == 1) {
        EXPECT_EQ(run.standard_error.rfind("line-sim: oval: ", 0), 0U) << run.standard_error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, ControllerMisuse,
    ::testing::Values(
        Misuse{"StepsOfNoTime", "zero-step", {}, "clock_stopped", 1},
        Misuse{"OneHugeStep", "huge-step", {"--duration", "3"}, "duration", 0},
        // Flung off the floor: its errors are the worst, and a requirement on them fails.
        Misuse{"HugeWheelSpeeds", "huge-speed", {"--require", "max_abs_lateral_error_m<=0.001"}, "off_floor", 1},
        Misuse{"SpeedNotANumber", "nan-speed", {}, "invalid_speed", 1},
        Misuse{"SecondThreadSteps", "threads", {}, "other_thread", 1},
        Misuse{"SlowerThanTheWallClockLimit", "slow", {"--set", "run.wall_time_limit=0.05"}, "wall_time_limit", 1}),
    [](const ::testing::TestParamInfo<Misuse>& param) { return std::string(param.param.name); });

// The refused characters, listed as ranges, planes spelt out.
bool refused_character(char32_t c) {
    std::vector<std::pair<char32_t, char32_t>> refused = {
        {0x00, 0x1f},     {0x7f, 0x9f},                                          // C0 controls, DEL, C1 controls
        {0x2028, 0x2029},                                                        // line and paragraph separators
        {0x061c, 0x061c}, {0x200e, 0x200f}, {0x202a, 0x202e}, {0x2066, 0x2069},  // bidirectional marks
        {0xfdd0, 0xfdef},                                                        // noncharacters
    };
    for (char32_t plane = 0; plane <= 16; ++plane)
        refused.push_back({plane * 0x10000 + 0xfffe, plane * 0x10000 + 0xffff});
    for (const auto& [low, high] : refused) {
        if (c >= low && c <= high) return true;
    }
    return false;
}

std::string utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xc0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xe0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        s += static_cast<char>(0xf0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (c & 0x3f));
    }
    return s;
}

// Every code point, alone and between letters.
TEST(WorldNames, EveryCharacterIsJudgedByTheList) {
    int refused = 0;
    for (char32_t c = 0; c <= 0x10ffff; ++c) {
        if (c >= 0xd800 && c <= 0xdfff) continue;  // surrogates have no UTF-8 form
        const std::string alone = utf8(c);
        ASSERT_EQ(sim::printable_name(alone), !refused_character(c)) << std::hex << "U+" << static_cast<unsigned>(c);
        ASSERT_EQ(sim::printable_name("a" + alone + "b"), !refused_character(c))
            << std::hex << "U+" << static_cast<unsigned>(c);
        refused += refused_character(c) ? 1 : 0;
    }
    EXPECT_EQ(refused, 32 + 33 + 2 + 1 + 2 + 5 + 4 + 32 + 34);
}

TEST(WorldNames, InvalidUtf8IsRefused) {
    for (const char* bytes :
         {"\x80", "a\xbf", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xf0\x80\x80\x80",
          "\xf0\x8f\xbf\xbf", "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff",
          "\xe2\x82", "\xf0\x9f\x98", "\xc3", "\xc3\x28", "\xe2\x28\xa1"}) {
        EXPECT_FALSE(sim::printable_name(bytes)) << testing::PrintToString(bytes);
    }
    for (const char* bytes :
         {"caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbd", "\xef\xbf\xbd", "plain"}) {
        EXPECT_TRUE(sim::printable_name(bytes)) << testing::PrintToString(bytes);
    }
}

}  // namespace
