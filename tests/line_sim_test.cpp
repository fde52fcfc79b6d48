// line-sim as a person runs it: its errors, its files, parallel runs, and
// interruption.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "process.hpp"
#include "simulation.hpp"
#include "trace.hpp"
#include "world_file.hpp"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_process;

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* start;  // how the one line on standard error starts
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class LineSimUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(LineSimUsage, OneLineAndStatusTwo) {
    const std::string out = test_support::fresh_folder();
    std::vector<std::string> arguments = GetParam().arguments;
    arguments.insert(arguments.end(), {"--out", out + "/runs"});
    const auto run = run_process(LINE_SIM_EXE, arguments);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(lines(run.standard_error), 1) << run.standard_error;
    EXPECT_EQ(run.standard_error.rfind(GetParam().start, 0), 0U) << run.standard_error;
    EXPECT_FALSE(fs::exists(out + "/runs"));  // nothing ran
}

INSTANTIATE_TEST_SUITE_P(
    Errors, LineSimUsage,
    ::testing::Values(UsageCase{"UnknownFlag", {"--bogus"}, "line-sim: "},
                      UsageCase{"ZeroJobs", {"--jobs", "0"}, "line-sim: --jobs: "},
                      UsageCase{"NegativeDuration", {"--duration", "-3"}, "line-sim: --duration: "},
                      UsageCase{"WordForDuration", {"--duration", "long"}, "line-sim: --duration: "},
                      UsageCase{"InfiniteDuration", {"--duration", "inf"}, "line-sim: --duration: "},
                      UsageCase{"NoSuchWorld", {"oval", "nosuch"}, "line-sim: no world file or collection world named \"nosuch\""}),
    [](const ::testing::TestParamInfo<UsageCase>& param) { return std::string(param.param.name); });

TEST(LineSim, UnusableWorldNamesFileAndKeyAndRunsNothing) {
    const std::string folder = test_support::fresh_folder();
    std::ofstream(folder + "/bad.toml") << "[track]\nclosed = false\nsegments = [{ arc = 0.3 }]\n";
    const auto run = run_process(LINE_SIM_EXE, {"oval", folder + "/bad.toml", "--out", folder + "/runs"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.standard_error,
              "world " + folder + "/bad.toml: key track.segments[0].angle: expected a turn in degrees with the arc\n");
    EXPECT_FALSE(fs::exists(folder + "/runs"));
}

TEST(LineSim, ListsTheCollection) {
    const auto run = run_process(LINE_SIM_EXE, {"--list"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_GE(lines(run.standard_output), 7);
    EXPECT_NE(run.standard_output.find("oval                      2.77 m   smallest radius 0.250 m\n"), std::string::npos)
        << run.standard_output;
    EXPECT_NE(run.standard_output.find("square"), std::string::npos);
}

TEST(LineSim, SummaryHasEveryKeyAndAgreesWithTheTrace) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"tightening_turns", "--duration", "50", "--seed", "4", "--out", out});
    ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    const std::string folder = out + "/tightening_turns";
    const auto summary = nlohmann::json::parse(read_file(folder + "/summary.json"));
    for (const char* key : {"sim_time_s", "wall_time_s", "real_time_factor", "mean_abs_lateral_error_m",
                            "rms_lateral_error_m", "max_abs_lateral_error_m", "time_off_line_s"}) {
        EXPECT_TRUE(summary[key].is_number_float()) << key;
    }
    for (const char* key : {"seed", "steps", "laps_completed", "controller_exit_status", "camera_width", "camera_height"}) {
        EXPECT_TRUE(summary[key].is_number_integer()) << key;
    }
    EXPECT_EQ(summary["world"], "tightening_turns");
    EXPECT_EQ(summary["end_reason"], "duration");
    EXPECT_EQ(summary["seed"], 4);
    EXPECT_EQ(summary["controller_exit_status"], 0);
    EXPECT_EQ(summary["camera_width"], 64);
    EXPECT_EQ(summary["sim_time_s"], 50.016);  // the first whole step at or past 50 s
    EXPECT_TRUE(summary["lap_times_s"].is_array());
    EXPECT_EQ(summary.size(), 16U);

    // The trace's rows, recomputed the plain way: laps from progress, errors from the lateral column.
    const sim::WorldSettings world = sim::load_world_file(folder + "/world.toml");
    const double length = sim::Track(world.track).length();
    const auto trace = line_sim::read_trace(folder + "/trace.csv");
    ASSERT_EQ(static_cast<std::int64_t>(trace.size()), summary["steps"].get<std::int64_t>());
    double sum = 0, squares = 0, worst = 0;
    int laps = 0;
    for (const auto& row : trace) {
        sum += std::abs(row.lateral_error);
        squares += row.lateral_error * row.lateral_error;
        worst = std::max(worst, std::abs(row.lateral_error));
        if (row.progress >= length * (laps + 1)) ++laps;
    }
    const double n = static_cast<double>(trace.size());
    EXPECT_GE(laps, 1);
    EXPECT_EQ(summary["laps_completed"], laps);
    EXPECT_NEAR(summary["mean_abs_lateral_error_m"].get<double>(), sum / n, 1e-12);
    EXPECT_NEAR(summary["rms_lateral_error_m"].get<double>(), std::sqrt(squares / n), 1e-12);
    EXPECT_EQ(summary["max_abs_lateral_error_m"].get<double>(), worst);
    // Replaying the trace reproduces the robot's own figures to the last bit.
    const sim::Metrics replayed = line_sim::replay_metrics(trace, world, length);
    EXPECT_EQ(replayed.mean_abs_error(), summary["mean_abs_lateral_error_m"].get<double>());
    EXPECT_EQ(replayed.lap_times, summary["lap_times_s"].get<std::vector<double>>());

    EXPECT_TRUE(fs::exists(folder + "/camera-000.000s.png"));
    EXPECT_TRUE(fs::exists(folder + "/camera-040.000s.png"));
    EXPECT_TRUE(fs::exists(folder + "/trajectory.svg"));
    EXPECT_EQ(read_file(folder + "/controller-output.txt"), "img size: 64 x 48");
}

// Every file but the wall-clock figures is the same whether the worlds run
// together or one after another.
TEST(LineSim, ParallelRunsWriteWhatSerialRunsWrite) {
    const std::string out = test_support::fresh_folder();
    const std::vector<std::string> worlds = {"gap", "square", "figure_eight"};
    for (const char* jobs : {"1", "3"}) {
        std::vector<std::string> arguments = worlds;
        arguments.insert(arguments.end(), {"--duration", "25", "--jobs", jobs, "--out", out + "/jobs" + jobs});
        const auto run = run_process(LINE_SIM_EXE, arguments);
        ASSERT_EQ(run.exit_status, 0) << run.standard_error;
        EXPECT_EQ(lines(run.standard_output), 1 + 3 + 3) << run.standard_output;  // table, then where the files are
    }
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out + "/jobs1")) {
        if (!entry.is_regular_file()) continue;
        const fs::path other = fs::path(out + "/jobs3") / fs::relative(entry.path(), out + "/jobs1");
        const std::string name = entry.path().filename().string();
        if (name == "summary.json") {
            auto a = nlohmann::json::parse(read_file(entry.path())), b = nlohmann::json::parse(read_file(other));
            for (auto* s : {&a, &b}) {
                s->erase("wall_time_s");
                s->erase("real_time_factor");
            }
            EXPECT_EQ(a, b) << entry.path();
        } else if (name == "replay.html" || name == "index.html") {
            // The pages hold the summaries, and with them the wall time.
            const std::regex wall_time("\"(wall_time_s|real_time_factor)\":[-+.e0-9]+");
            EXPECT_EQ(std::regex_replace(read_file(entry.path()), wall_time, ""),
                      std::regex_replace(read_file(other), wall_time, ""))
                << entry.path();
        } else if (name != "report.txt") {
            EXPECT_EQ(read_file(entry.path()), read_file(other)) << entry.path();
        }
        ++compared;
    }
    EXPECT_GT(compared, 3 * 6);
}

// Starts line-sim on one world for a very long run and returns once its trace
// holds 50 rows or more.
test_support::StartedProcess start_long_run(const std::string& world, const std::string& out) {
    const auto process = test_support::start_process(LINE_SIM_EXE, {world, "--duration", "1000000", "--out", out});
    for (int i = 0; i < 200 && lines(read_file(out + "/" + world + "/trace.csv")) < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return process;
}

TEST(LineSim, InterruptedRunKeepsSummaryAndTrace) {
    const std::string out = test_support::fresh_folder();
    const auto process = start_long_run("long_winding", out);
    kill(process.pid, SIGINT);  // as Ctrl-C would
    const auto run = test_support::wait_process(process);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.standard_error.find("interrupted"), std::string::npos) << run.standard_error;
    const auto summary = nlohmann::json::parse(read_file(out + "/long_winding/summary.json"));
    EXPECT_EQ(summary["end_reason"], "interrupted");
    const auto trace = line_sim::read_trace(out + "/long_winding/trace.csv");
    EXPECT_GE(trace.size(), 50U);
    EXPECT_EQ(summary["steps"].get<std::size_t>(), trace.size());
    EXPECT_TRUE(fs::exists(out + "/long_winding/trajectory.svg"));
}

TEST(LineSim, ControllerKilledMidRunIsReportedFromItsTrace) {
    const std::string out = test_support::fresh_folder();
    const auto process = start_long_run("oval", out);
    // The controller is line-sim's only child.
    const std::string children = read_file("/proc/" + std::to_string(process.pid) + "/task/" +
                                           std::to_string(process.pid) + "/children");
    ASSERT_FALSE(children.empty());
    kill(std::stoi(children), SIGKILL);
    const auto run = test_support::wait_process(process);
    EXPECT_EQ(run.exit_status, 1);
    const auto summary = nlohmann::json::parse(read_file(out + "/oval/summary.json"));
    EXPECT_EQ(summary["end_reason"], "controller_exited");
    EXPECT_EQ(summary["controller_exit_status"], 128 + SIGKILL);
    EXPECT_GE(summary["steps"].get<int>(), 50);  // worked out from what the trace holds
    EXPECT_GT(summary["sim_time_s"].get<double>(), 1.5);
    EXPECT_NE(run.standard_output.find("controller_exited (137)"), std::string::npos) << run.standard_output;
}

TEST(LineSim, RunsFromAnyFolderAndDefaultsToTheOval) {
    const std::string folder = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"--duration", "3"}, {}, folder);
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_TRUE(fs::exists(folder + "/runs/oval/summary.json"));
    EXPECT_EQ(run.standard_output.rfind("world ", 0), 0U);
}

}  // namespace
