// line-sim as a person runs it: its errors, its files, parallel runs, and
// interruption.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "controller_file.hpp"
#include "process.hpp"
#include "replay.hpp"
#include "run_summary.hpp"
#include "simulation.hpp"
#include "trace.hpp"
#include "trajectory_svg.hpp"
#include "world_file.hpp"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_process;

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// A run folder's two records, joined as its replay shows them.
nlohmann::json records_of(const std::string& folder) {
    return sim::joined_json(sim::summary_from_json(nlohmann::json::parse(read_file(folder + "/summary.json"))),
                            sim::facts_from_json(nlohmann::json::parse(read_file(folder + "/line-sim.json"))));
}

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
    ::testing::Values(
        UsageCase{"UnknownFlag", {"--bogus"}, "line-sim: "},
        UsageCase{"ZeroJobs", {"--jobs", "0"}, "line-sim: --jobs: "},
        UsageCase{"NegativeDuration", {"--duration", "-3"}, "line-sim: --duration: "},
        UsageCase{"WordForDuration", {"--duration", "long"}, "line-sim: --duration: "},
        UsageCase{"InfiniteDuration", {"--duration", "inf"}, "line-sim: --duration: "},
        UsageCase{
            "NoSuchWorld", {"oval", "nosuch"}, "line-sim: no world file or collection world named \"nosuch\" (see"},
        UsageCase{"MisspeltWorld",
                  {"ovla"},
                  "line-sim: no world file or collection world named \"ovla\" (did you mean oval?)"},
        UsageCase{"MisspeltFlag",
                  {"--sed", "2"},
                  "line-sim: The following argument was not expected: --sed (did you mean --set or --seed?)"},
        UsageCase{"UnknownSetKey",
                  {"--set", "camera.nois=3"},
                  "line-sim: world (built-in oval): key camera.nois: not a known key (did you mean camera.noise?)"},
        UsageCase{"UnitNotOfTheMetric",
                  {"--require", "steps > 2 mm"},
                  "line-sim: --require steps > 2 mm: \"mm\" is not a unit of steps"},
        UsageCase{"MisspeltPlot",
                  {"--plot", "mean_abs_lateral_eror_m"},
                  "line-sim: --plot mean_abs_lateral_eror_m: not a figure of the summary that is a number (did you "
                  "mean mean_abs_lateral_error_m?)"},
        UsageCase{"ShareAsPercentWithoutSign",
                  {"--require", "off_line_share < 10"},
                  "line-sim: --require off_line_share < 10: off_line_share is a share from 0 to 1"},
        UsageCase{
            "BadSetValue", {"--set", "camera.noise=-3"}, "line-sim: world (built-in oval): key camera.noise: expected"},
        UsageCase{"BadSweep", {"--sweep", "camera.noise"}, "line-sim: --sweep camera.noise: expected KEY=VALUE"},
        UsageCase{"BadRequire", {"--require", "laps>=2"}, "line-sim: --require laps>=2: unknown metric"},
        UsageCase{"ControllerWithoutLibrary",
                  {"--controller", "/bin/sh"},
                  "line-sim: controller /bin/sh: not a program that uses"},
        UsageCase{"MissingController", {"--controller", "/no/such"}, "line-sim: controller /no/such: no such file"}),
    [](const ::testing::TestParamInfo<UsageCase>& param) { return std::string(param.param.name); });

TEST(LineSim, UnusableWorldNamesFileAndKeyAndRunsNothing) {
    const std::string folder = test_support::fresh_folder();
    std::ofstream(folder + "/bad.toml") << "[track]\nclosed = false\nsegments = [{ arc = 0.3 }]\n";
    const auto run = run_process(LINE_SIM_EXE, {"oval", folder + "/bad.toml", "--out", folder + "/runs"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.standard_error,
              "line-sim: world " + folder +
                  "/bad.toml: key track.segments[0].angle: expected a turn in degrees with the arc\n");
    EXPECT_FALSE(fs::exists(folder + "/runs"));
}

TEST(LineSim, ListsTheCollection) {
    const auto run = run_process(LINE_SIM_EXE, {"--list"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_GE(lines(run.standard_output), 7);
    EXPECT_NE(run.standard_output.find("oval                      2.77 m   smallest radius 0.250 m\n"),
              std::string::npos)
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
    for (const char* key : {"seed", "steps", "laps_completed", "camera_width", "camera_height"}) {
        EXPECT_TRUE(summary[key].is_number_integer()) << key;
    }
    EXPECT_EQ(summary["world"], "tightening_turns");
    EXPECT_EQ(summary["end_reason"], "duration");
    EXPECT_EQ(summary["seed"], 4);
    EXPECT_EQ(summary["camera_width"], 64);
    const auto facts = nlohmann::json::parse(read_file(folder + "/line-sim.json"));
    EXPECT_EQ(facts["controller_exit_status"], 0);
    EXPECT_EQ(facts["files_whole"], true);
    EXPECT_EQ(facts["error"], "");
    EXPECT_EQ(summary["sim_time_s"], 50.016);  // the first whole step at or past 50 s
    EXPECT_TRUE(summary["lap_times_s"].is_array());
    EXPECT_EQ(summary["centre_line"], true);
    EXPECT_EQ(summary.size(), 19U);

    // The trace's rows, recomputed the plain way: laps from progress, errors from the lateral column.
    const sim::WorldSettings world = sim::load_world_file(folder + "/world.toml");
    const double length = sim::Track(world.track).length();
    const auto trace = sim::read_trace(folder + "/trace.csv");
    ASSERT_EQ(static_cast<std::int64_t>(trace.size()), summary["steps"].get<std::int64_t>());
    double sum = 0, squares = 0, worst = 0, driven = 0;
    int laps = 0;
    sim::Vec2 at = world.track.start;
    for (const auto& row : trace) {
        driven += std::hypot(row.x - at.x, row.y - at.y);
        at = {row.x, row.y};
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
    EXPECT_NEAR(summary["distance_driven_m"].get<double>(), driven, 1e-9);
    // Replaying the trace reproduces the robot's own figures to the last bit.
    const sim::Metrics replayed = sim::replay_metrics(folder + "/trace.csv", world, length);
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
        } else if (name != "report.txt" && name != "results.csv" && name != "results.json") {  // wall-clock figures
            EXPECT_EQ(read_file(entry.path()), read_file(other)) << entry.path();
        }
        ++compared;
    }
    EXPECT_GT(compared, 3 * 6);
}

// The picture and the replay are made while a run goes, or for a run too
// long for that from its files afterwards: either way they are what the
// run's files give. Also when a killed run left its unfinished files where
// the next one writes (the last case: gap's first run's, where it runs again).
TEST(LineSim, PictureAndReplayAreWhatTheRunsFilesGive) {
    const std::string out = test_support::fresh_folder();
    for (const auto& [world_name, duration] :
         {std::pair{"gap", "25"}, std::pair{"oval", "700"}, std::pair{"gap", "20"}}) {  // 781, 21875, 625 rows
        if (fs::exists(out + "/oval/trace.csv")) {
            for (const char* name : {"trace.csv", "camera-frames.bin"}) {
                fs::copy_file(out + "/gap/" + name, out + "/gap/" + name + ".part");
            }
        }
        const auto run = run_process(LINE_SIM_EXE, {world_name, "--duration", duration, "--out", out});
        ASSERT_EQ(run.exit_status, 0) << run.standard_error;
        const std::string folder = out + "/" + world_name;
        const std::string picture = read_file(folder + "/trajectory.svg"), page = read_file(folder + "/replay.html");
        const sim::WorldSettings world = sim::load_world_file(folder + "/world.toml");
        EXPECT_EQ(line_sim::trajectory_svg(world, sim::Track(world.track), folder + "/trace.csv"), picture)
            << world_name;
        line_sim::write_replay(folder, world, records_of(folder), true);
        EXPECT_EQ(read_file(folder + "/replay.html"), page) << world_name;
    }
}

// The picture's coordinates against printf's rounding to a thousandth.
TEST(TrajectorySvg, CoordinatesToAThousandthOfAPixel) {
    std::uint64_t state = 12345;
    for (int i = 0; i < 100000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double v = (static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5) * std::pow(10.0, i % 9 - 2);
        char text[40], expected[64];
        *line_sim::write_pixels(text, v) = '\0';
        std::snprintf(expected, sizeof expected, "%.3f", v);
        std::string want = expected;
        while (want.back() == '0') want.pop_back();
        if (want.back() == '.') want.pop_back();
        if (want == "-0") want = "0";
        // Halves of a thousandth may round either way after the multiplication.
        if (std::abs(std::abs(v * 1000 - std::trunc(v * 1000)) - 0.5) > 1e-6) {
            ASSERT_EQ(text, want) << v;
        }
    }
}

// Starts line-sim on one world for a very long run and returns once its trace
// holds 50 rows or more.
test_support::StartedProcess start_long_run(const std::string& world, const std::string& out) {
    const auto process = test_support::start_process(LINE_SIM_EXE, {world, "--duration", "1000000", "--out", out});
    for (int i = 0; i < 200 && lines(read_file(out + "/" + world + "/trace.csv.part")) < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return process;
}

TEST(LineSim, InterruptedRunKeepsSummaryAndTrace) {
    for (const int signal : {SIGINT, SIGHUP}) {  // Ctrl-C, and the terminal closed
        const std::string out = test_support::fresh_folder(std::to_string(signal));
        const auto process = start_long_run("long_winding", out);
        kill(process.pid, signal);
        const auto run = test_support::wait_process(process);
        EXPECT_EQ(run.exit_status, 130);  // as a shell reports Ctrl-C, so that a loop around line-sim stops
        EXPECT_NE(run.standard_error.find("interrupted"), std::string::npos) << run.standard_error;
        const auto summary = nlohmann::json::parse(read_file(out + "/long_winding/summary.json"));
        EXPECT_EQ(summary["end_reason"], "interrupted");
        const auto trace = sim::read_trace(out + "/long_winding/trace.csv");
        EXPECT_GE(trace.size(), 50U);
        EXPECT_EQ(summary["steps"].get<std::size_t>(), trace.size());
        EXPECT_TRUE(fs::exists(out + "/long_winding/trajectory.svg"));
    }
}

// A world without a centre line too: its summary, from the trace alone,
// has no figure measured from a line, nor the camera's time off the line.
TEST(LineSim, ControllerKilledMidRunIsReportedFromItsTrace) {
    for (const std::string world : {"oval", "mat_unmarked"}) {
        const std::string out = test_support::fresh_folder(world);
        const auto process = start_long_run(world, out);
        // The controller is the only child of line-sim's only child, its guard.
        const auto child_of = [](int pid) {
            const std::string children =
                read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
            return children.empty() ? 0 : std::stoi(children);
        };
        const int guard = child_of(process.pid), controller = guard > 0 ? child_of(guard) : 0;
        ASSERT_GT(controller, 0);
        kill(controller, SIGKILL);
        const auto run = test_support::wait_process(process);
        EXPECT_EQ(run.exit_status, 1);
        const auto summary = nlohmann::json::parse(read_file(out + "/" + world + "/summary.json"));
        EXPECT_EQ(summary["end_reason"], "controller_exited");
        EXPECT_EQ(nlohmann::json::parse(read_file(out + "/" + world + "/line-sim.json"))["controller_exit_status"],
                  128 + SIGKILL);
        EXPECT_GE(summary["steps"].get<int>(), 50);  // worked out from what the trace holds
        EXPECT_GT(summary["sim_time_s"].get<double>(), 1.5);
        EXPECT_GT(summary["distance_driven_m"].get<double>(), 0.1);
        EXPECT_NE(run.standard_output.find("controller_exited (137)"), std::string::npos) << run.standard_output;
        const bool line = world == "oval";
        EXPECT_EQ(summary["centre_line"], line);
        EXPECT_EQ(summary["mean_abs_lateral_error_m"].is_null(), !line);
        EXPECT_EQ(summary["time_off_line_s"].is_null(), !line);
        // The picture floor is drawn under the path, the file's own bytes.
        const sim::WorldSettings settings = sim::load_world_file(out + "/" + world + "/world.toml");
        const std::string uri = line_sim::floor_picture_uri(settings.floor);
        EXPECT_EQ(read_file(out + "/" + world + "/trajectory.svg").find(" href=\"" + uri + "\"") != std::string::npos,
                  !line);
        // A figure not given meets no requirement.
        const auto compared = run_process(LINE_SIM_EXE, {"compare", out, out, "--require", "distance_along_line_m>=0"});
        EXPECT_EQ(compared.exit_status, 1);
        EXPECT_EQ(compared.standard_error.find("distance_along_line_m not given") != std::string::npos, !line);
    }
}

TEST(LineSim, RunsFromAnyFolderAndDefaultsToTheOval) {
    const std::string folder = test_support::fresh_folder();
    // Libraries of the names the controller needs, in the folder it runs in,
    // are not loaded in place of the system's.
    for (const char* name : {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libpng16.so.16"})
        std::ofstream(folder + "/" + name) << "junk";
    const auto run = run_process(LINE_SIM_EXE, {"--duration", "3"}, {}, folder);
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_TRUE(fs::exists(folder + "/runs/oval/summary.json"));
    EXPECT_EQ(run.standard_output.rfind("world ", 0), 0U);
}

// Names come from world files, and world files from anyone: whatever a name
// says, every file stays inside --out, no two runs share a folder, and a
// folder that line-sim did not fill is left alone.
TEST(LineSimFiles, WorldNamesStayInsideOutAndNeverShareAFolder) {
    const std::string top = test_support::fresh_folder();
    const std::string out = top + "/out";
    const std::vector<std::string> names = {"../escape", "/abs/x", "..",    ".",          "a/b",
                                            "dup",       "dup",    "dup-2", "results.csv"};
    std::vector<std::string> arguments = {"--duration", "1", "--out", out};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string path = top + "/w" + std::to_string(i) + ".toml";
        std::ofstream(path) << "name = \"" << names[i]
                            << "\"\n[track]\nclosed = false\nsegments = [{ straight = 1 }]\n";
        arguments.push_back(path);
    }
    std::ofstream(top + "/unnamed.toml") << "[track]\nclosed = false\nsegments = [{ straight = 1 }]\n";
    arguments.push_back(top + "/unnamed.toml");
    fs::create_directories(out + "/dup");
    std::ofstream(out + "/dup/notes.txt") << "mine";  // someone's folder, not a run's

    for (int call = 0; call < 2; ++call) {  // the second call takes over the first call's folders
        const auto run = run_process(LINE_SIM_EXE, arguments);
        ASSERT_EQ(run.exit_status, 0) << run.standard_error;
        std::multiset<std::string> worlds;
        std::size_t folders = 0;
        for (const auto& entry : fs::directory_iterator(out)) {
            if (!fs::exists(entry.path() / "summary.json")) continue;
            ++folders;
            worlds.insert(nlohmann::json::parse(read_file(entry.path() / "summary.json"))["world"].get<std::string>());
        }
        EXPECT_EQ(folders, names.size() + 1);
        std::multiset<std::string> expected(names.begin(), names.end());
        expected.insert("unnamed");  // a world without a name is called by its file's name
        EXPECT_EQ(worlds, expected);
    }
    EXPECT_EQ(read_file(out + "/dup/notes.txt"), "mine");
    EXPECT_TRUE(fs::is_regular_file(out + "/results.csv"));  // the call's own, not a run's folder
    EXPECT_FALSE(fs::exists(out + "/dup/summary.json"));
    std::set<std::string> outside;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (entry.path().string().rfind(out + "/", 0) != 0) outside.insert(entry.path().filename().string());
    }
    EXPECT_EQ(outside.size(), names.size() + 2) << "files written outside --out";  // the worlds and out itself
}

TEST(LineSimFiles, UnreadableWorldIsAWorldError) {
    const std::string top = test_support::fresh_folder();
    fs::create_symlink(top + "/loop.toml", top + "/loop.toml");
    const auto run = run_process(LINE_SIM_EXE, {top + "/loop.toml", "--out", top + "/out"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.standard_error,
              "line-sim: world " + top + "/loop.toml: cannot be read (expected a readable TOML file)\n");
}

// A file that cannot be written (here past the size limit of ulimit -f) ends
// the run with one line naming it and status 1; the trace is absent, not cut.
TEST(LineSimFaults, FailedWriteIsReportedNamingTheFile) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(
        "/bin/sh", {"-c", std::string("ulimit -f 40; exec ") + LINE_SIM_EXE + " oval --duration 30 --out " + out});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.standard_error, "line-sim: " + out + "/oval/trace.csv: cannot be written (File too large)\n");
    EXPECT_FALSE(fs::exists(out + "/oval/trace.csv"));
    EXPECT_FALSE(fs::exists(out + "/oval/trace.csv.part"));
    const auto summary = nlohmann::json::parse(read_file(out + "/oval/summary.json"));
    EXPECT_EQ(summary["end_reason"], "files_not_written");
    const auto facts = nlohmann::json::parse(read_file(out + "/oval/line-sim.json"));
    EXPECT_EQ(facts["controller_exit_status"], 0);  // nothing thrown through the controller
    EXPECT_EQ(facts["files_whole"], false);
}

// A trace the robot cannot write whole (the file size limit) ends the run as
// files_not_written; a replay is then made only from a whole trace left, and
// never is the one begun while the run went left spoilt.
TEST(LineSimFaults, RobotThatCannotWriteItsFilesStillLeavesAWholeReplay) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(
        "/bin/sh", {"-c", std::string("ulimit -f 150; exec ") + LINE_SIM_EXE + " oval --duration 60 --out " + out});
    EXPECT_EQ(run.exit_status, 1) << run.standard_error;
    const std::string folder = out + "/oval", page = read_file(folder + "/replay.html");
    EXPECT_EQ(records_of(folder)["end_reason"], "files_not_written");
    if (!fs::exists(folder + "/trace.csv")) {
        // Without the trace a page would show a run of no steps: there is none, not even the one begun.
        EXPECT_FALSE(fs::exists(folder + "/replay.html"));
        return;
    }
    const sim::WorldSettings world = sim::load_world_file(folder + "/world.toml");
    line_sim::write_replay(folder, world, records_of(folder), true);
    EXPECT_EQ(read_file(folder + "/replay.html"), page);
}

TEST(LineSimFaults, ControllersDoNotOutliveLineSim) {
    const std::string out = test_support::fresh_folder();
    const auto process = start_long_run("oval", out);
    const std::string child =
        read_file("/proc/" + std::to_string(process.pid) + "/task/" + std::to_string(process.pid) + "/children");
    ASSERT_FALSE(child.empty());
    kill(process.pid, SIGKILL);
    test_support::wait_process(process);
    const std::string stat = "/proc/" + std::to_string(std::stoi(child)) + "/stat";
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        const std::string text = read_file(stat);
        gone = text.empty() || text.find(") Z ") != std::string::npos;  // ended, perhaps not yet reaped
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone);
}

// A robot that never moves (a 1-pixel camera gives no command) is not scored
// as a perfect run to the end: it has stalled once the off-line limit passes.
TEST(LineSimFaults, RobotThatNeverMovesHasStalled) {
    const std::string out = test_support::fresh_folder();
    std::ofstream(out + "/still.toml") << "[track]\nclosed = false\nsegments = [{ straight = 1 }]\n"
                                          "[camera]\nwidth = 1\nheight = 1\n";
    const auto run = run_process(LINE_SIM_EXE, {out + "/still.toml", "--out", out});
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    const auto summary = nlohmann::json::parse(read_file(out + "/still/summary.json"));
    EXPECT_EQ(summary["end_reason"], "stalled");
    EXPECT_EQ(summary["distance_along_line_m"], 0.0);
    EXPECT_NEAR(summary["sim_time_s"].get<double>(), 5.0, 0.05);
}

// A controller of the user's own, in C, run through --controller; requirements
// on its runs; and compare, which a CI job would use to refuse a change that
// follows the line worse.
TEST(LineSimExperiments, OwnControllerRequirementsAndCompare) {
    const std::string out = test_support::fresh_folder();
    const auto ours = run_process(LINE_SIM_EXE, {"oval", "--duration", "40", "-o", out + "/ours"});
    ASSERT_EQ(ours.exit_status, 0) << ours.standard_error;
    const auto theirs =
        run_process(LINE_SIM_EXE, {"oval", "--duration", "40", "-o", out + "/theirs", "--controller", EDGE_FOLLOWER_EXE,
                                   "--require", "laps_completed >= 1", "--require", "end_reason==duration",
                                   // in mm: read as metres it would fail
                                   "--require", "mean_abs_lateral_error_m > 1 mm", "--require", "off_line_share<1%"});
    ASSERT_EQ(theirs.exit_status, 0) << theirs.standard_error;
    const auto facts = nlohmann::json::parse(read_file(out + "/theirs/oval/line-sim.json"));
    EXPECT_EQ(facts["controller"], EDGE_FOLLOWER_EXE);
    EXPECT_EQ(facts["controller_sha256"], line_sim::file_sha256(EDGE_FOLLOWER_EXE));
    EXPECT_EQ(read_file(out + "/theirs/oval/controller-output.txt"), "edge_follower: 64 x 48\n");

    const auto failing = run_process(LINE_SIM_EXE, {"oval", "--duration", "40", "-o", out + "/failing", "--require",
                                                    "laps_completed>=5", "--require", "steps>0"});
    EXPECT_EQ(failing.exit_status, 1);
    EXPECT_EQ(failing.standard_error, "line-sim: oval: requirement laps_completed>=5 failed (laps_completed = 1)\n");

    // The C controller follows more closely: no worse than itself, worse than it the other way round.
    const std::string tighter = "--require=mean_abs_lateral_error_m<=+0%";
    EXPECT_EQ(run_process(LINE_SIM_EXE, {"compare", out + "/ours", out + "/theirs", tighter}).exit_status, 0);
    const auto worse = run_process(LINE_SIM_EXE, {"compare", out + "/theirs", out + "/ours", tighter});
    EXPECT_EQ(worse.exit_status, 1);
    EXPECT_NE(worse.standard_output.find("oval                               mean_abs_lateral_error_m"),
              std::string::npos)
        << worse.standard_output;
    EXPECT_EQ(lines(worse.standard_error), 1) << worse.standard_error;
    EXPECT_NE(worse.standard_output.find(" mm "), std::string::npos)
        << worse.standard_output;  // not metres to 17 digits
}

// world.toml is the world as run: running it again gives the same trace.
TEST(LineSimExperiments, WorldAsRunReproducesTheTrace) {
    const std::string out = test_support::fresh_folder();
    const auto first = run_process(LINE_SIM_EXE, {"square", "--set", "camera.noise=12", "--seeds", "7..7", "--set",
                                                  "run.duration=15", "-o", out + "/first"});
    ASSERT_EQ(first.exit_status, 0) << first.standard_error;
    const std::string folder = out + "/first/square/seed=7";
    const auto again = run_process(LINE_SIM_EXE, {folder + "/world.toml", "-o", out + "/again"});
    ASSERT_EQ(again.exit_status, 0) << again.standard_error;
    EXPECT_EQ(read_file(out + "/again/square/trace.csv"), read_file(folder + "/trace.csv"));
    EXPECT_GT(lines(read_file(folder + "/trace.csv")), 400);
}

// Three shards merged give the results of one unsharded call.
TEST(LineSimExperiments, ShardsMergedEqualOneRun) {
    const std::string out = test_support::fresh_folder();
    const std::vector<std::string> sweep = {"gap",     "square", "--sweep",    "camera.noise=0,20",
                                            "--seeds", "1..2",   "--duration", "5"};
    const auto run = [&](std::vector<std::string> extra) {
        std::vector<std::string> arguments = sweep;
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto result = run_process(LINE_SIM_EXE, arguments);
        EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    };
    run({"-o", out + "/whole"});
    for (const char* shard : {"1/3", "2/3", "3/3"})
        run({"--shard", shard, "-o", out + "/shard" + std::string(1, shard[0])});
    const auto merged =
        run_process(LINE_SIM_EXE, {"merge", out + "/shard1", out + "/shard2", out + "/shard3", "-o", out + "/merged"});
    ASSERT_EQ(merged.exit_status, 0) << merged.standard_error;
    const auto rows = [&](const std::string& folder) {
        auto json = nlohmann::json::parse(read_file(folder + "/results.json"));
        for (auto& row : json["runs"]) {
            for (const char* wall : {"wall_time_s", "real_time_factor", "folder"}) row.erase(wall);
        }
        return json;
    };
    const auto whole = rows(out + "/whole");
    EXPECT_EQ(whole["runs"].size(), 8U);
    EXPECT_EQ(rows(out + "/merged"), whole);
    EXPECT_EQ(nlohmann::json::parse(read_file(out + "/merged/results.json"))["runs"][1]["folder"],
              "../shard2/gap/camera.noise=0,seed=2");
    EXPECT_TRUE(fs::exists(out + "/merged/sweep.svg"));
}

// An old DT_RPATH comes before LD_LIBRARY_PATH; line-sim preloads the
// simulated robot for such a controller, which would otherwise load the
// scripted platform its run path names.
TEST(LineSimExperiments, ControllerRunPathCannotPickAnotherRobot) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's runtime must be the first library loaded";
#endif
    const std::string out = test_support::fresh_folder();
    const auto run =
        run_process(LINE_SIM_EXE, {"oval", "--duration", "3", "-o", out, "--controller", OLD_RPATH_CONTROLLER_EXE});
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_EQ(nlohmann::json::parse(read_file(out + "/oval/summary.json"))["end_reason"], "duration");
}

// Controllers that crash, linger after their run, or leave children behind;
// and Ctrl-C while runs still wait to start.
TEST(LineSimFaults, MisbehavingControllers) {
    const std::string out = test_support::fresh_folder();
    const auto crash = run_process(
        LINE_SIM_EXE, {"oval", "-o", out + "/crash", "--controller", MISBEHAVING_CONTROLLER_EXE, "--", "crash", "50"});
    EXPECT_EQ(crash.exit_status, 1);
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer takes the crash over from the robot's handler
    EXPECT_EQ(crash.standard_error,
              "line-sim: oval: the controller ended before the run did (controller exit status 139)\n");
    EXPECT_EQ(sim::read_trace(out + "/crash/oval/trace.csv").size(), 50U);  // every step it took, kept
#endif
    EXPECT_TRUE(fs::exists(out + "/crash/oval/replay.html"));
    const auto good =
        run_process(LINE_SIM_EXE, {"oval", "-o", out + "/good", "--controller", MISBEHAVING_CONTROLLER_EXE});
    ASSERT_EQ(good.exit_status, 0) << good.standard_error;
    EXPECT_EQ(run_process(LINE_SIM_EXE, {"compare", out + "/good", out + "/crash"}).exit_status, 1);

    const auto linger = run_process(LINE_SIM_EXE, {"oval", "--duration", "2", "-o", out + "/linger", "--controller",
                                                   MISBEHAVING_CONTROLLER_EXE, "--", "linger"});
    EXPECT_EQ(linger.exit_status, 0) << linger.standard_error;
    EXPECT_EQ(nlohmann::json::parse(read_file(out + "/linger/oval/summary.json"))["end_reason"], "duration");

    const auto forks = run_process(LINE_SIM_EXE, {"oval", "--duration", "1", "-o", out + "/fork", "--controller",
                                                  MISBEHAVING_CONTROLLER_EXE, "--", "fork"});
    EXPECT_EQ(forks.exit_status, 0) << forks.standard_error;
    const std::string child = read_file(out + "/fork/oval/controller-output.txt");
    ASSERT_FALSE(child.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string stat = read_file("/proc/" + std::to_string(std::stoi(child)) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << "the controller's child runs on";
}

TEST(LineSimFaults, InterruptedWhileRunsWaitToStart) {
    const std::string out = test_support::fresh_folder();
    const auto process = test_support::start_process(
        LINE_SIM_EXE, {"oval", "--seeds", "1..400", "--duration", "20", "-j", "1", "-o", out});
    for (int i = 0; i < 200 && !fs::exists(out + "/oval/seed=2/summary.json"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(process.pid, SIGTERM);
    const auto run = test_support::wait_process(process);
    EXPECT_EQ(run.exit_status, 130);
    const auto results = nlohmann::json::parse(read_file(out + "/results.json"));
    EXPECT_GE(results["runs"].size(), 2U);
    EXPECT_LT(results["runs"].size(), 400U);
}

}  // namespace

namespace {

// Python controllers: Debian's interpreter, not built with the sanitizers,
// cannot load a robot library that is (its runtime must come first).
class PythonController : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP()
            << "Debian's python3 cannot load the sanitizer-built libController.so; the default build runs this";
#endif
    }
};

// The Python example, a port of the C one line for line, drives the robot
// exactly as the C one does, its gains as parameters, run after run; line-sim
// records the script, its hash and the interpreter.
TEST_F(PythonController, ExampleDrivesAsTheCExampleDoes) {
    const std::string out = test_support::fresh_folder(), script = std::string(EXAMPLES_DIR) + "/edge_follower.py";
    for (const auto& [name, controller] : {std::pair{"c", std::string(EDGE_FOLLOWER_EXE)}, std::pair{"py", script}}) {
        const auto run =
            run_process(LINE_SIM_EXE, {"s_curves", "--duration", "15", "-q", "-j", "1", "--sweep", "param.gain=3,8",
                                       "-o", out + "/" + name, "--controller", controller});
        ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    }
    for (const char* gain : {"3", "8"}) {
        const std::string folder = std::string("/s_curves/param.gain=") + gain;
        EXPECT_EQ(read_file(out + "/py" + folder + "/trace.csv"), read_file(out + "/c" + folder + "/trace.csv"));
        EXPECT_EQ(read_file(out + "/py" + folder + "/controller-output.txt"), "edge_follower.py: 64 x 48\n");
    }
    EXPECT_NE(read_file(out + "/py/s_curves/param.gain=3/trace.csv"),
              read_file(out + "/py/s_curves/param.gain=8/trace.csv"));
    const auto facts = nlohmann::json::parse(read_file(out + "/py/s_curves/param.gain=8/line-sim.json"));
    EXPECT_EQ(facts["controller"], script);
    EXPECT_EQ(facts["controller_sha256"], line_sim::file_sha256(script));
    EXPECT_EQ(facts["interpreter"], "/usr/bin/python3");
}

// The image as NumPy sees it: the library's bytes, read only, in rows of
// pixels; sys.argv as for any script; the script is the module __main__
// itself (what it defines pickles, none of the launcher's names are there);
// an exception ends the run with the script's own traceback in report.txt,
// starting at the script, and the run failed.
TEST_F(PythonController, ImageIsAReadOnlyViewAndAnExceptionFailsTheRun) {
    if (run_process("/usr/bin/python3", {"-c", "import numpy"}).exit_status != 0) {
        GTEST_SKIP() << "Debian's python3-numpy is not installed";
    }
    const std::string out = test_support::fresh_folder(), script = out + "/check.py";
    std::ofstream(script) << "import pickle, sys, __main__\n"
                             "import robot_interface as r\n"
                             "assert sys.argv[1:] == ['one', 'two'], sys.argv\n"
                             "class Gains:\n"
                             "    pass\n"
                             "assert pickle.loads(pickle.dumps(Gains())).__class__ is Gains\n"
                             "assert __main__.Gains is Gains and __file__ == __main__.__file__\n"
                             "assert not {'os', 'source'} & set(globals()), sorted(globals())\n"
                             "with r.Robot() as robot:\n"
                             "    for _ in range(3):\n"
                             "        robot.step()\n"
                             "        a, b = robot.array(), robot.image()\n"
                             "        assert a.shape == (48, 64, 3) and not a.flags.writeable and b.readonly\n"
                             "        assert a.tobytes() == bytes(b) and a[0, 5, 1] == b[3 * 5 + 1]\n"
                             "        robot.set_speeds(1.0, 2.0)\n"
                             "    raise RuntimeError('on purpose')\n";
    const auto run = run_process(
        LINE_SIM_EXE, {"oval", "--duration", "5", "-o", out + "/runs", "--controller", script, "--", "one", "two"});
    EXPECT_EQ(run.exit_status, 1) << run.standard_error;
    const std::string report = read_file(out + "/runs/oval/report.txt");
    EXPECT_NE(report.find("Traceback (most recent call last):\n  File \"" + script +
                          "\", line 16, in <module>\n    raise RuntimeError('on purpose')\nRuntimeError: on purpose\n"),
              std::string::npos)
        << report;
    const auto trace = read_file(out + "/runs/oval/trace.csv");
    EXPECT_EQ(lines(trace), 4) << trace;  // the header and three steps
    EXPECT_NE(trace.find(",1,2,"), std::string::npos) << trace;
    EXPECT_EQ(nlohmann::json::parse(read_file(out + "/runs/oval/line-sim.json"))["controller_exit_status"], 1);
}

// A script written over in place while a sweep starts its runs (an editor
// saving, another job): each run's hash is that of the text it ran.
TEST_F(PythonController, HashIsOfTheTextThatRanWhileTheFileIsWrittenOver) {
    const std::string out = test_support::fresh_folder(), script = out + "/flip.py";
    const auto text = [](char version) {
        return std::string("import sys\nprint('") + version + "', file=sys.stderr)\n";
    };
    std::ofstream(script) << text('A');
    // Flips the one letter in place, as fast as it can, until killed.
    const auto writer = test_support::start_process(
        "/usr/bin/python3", {"-c",
                             "import os, sys, time\nfd = os.open(sys.argv[1], os.O_WRONLY)\nend = time.time() + 60\n"
                             "while time.time() < end:\n    for v in b'AB': os.pwrite(fd, bytes([v]), 18)\n",
                             script});
    const auto run = run_process(LINE_SIM_EXE, {"oval", "--seeds", "1..8", "-j", "2", "--duration", "1", "-q", "-o",
                                                out + "/runs", "--controller", script});
    kill(writer.pid, SIGKILL);
    test_support::wait_process(writer);
    for (int seed = 1; seed <= 8; ++seed) {
        const std::string folder = out + "/runs/oval/seed=" + std::to_string(seed);
        const std::string ran = read_file(folder + "/report.txt");
        const auto hash = nlohmann::json::parse(read_file(folder + "/line-sim.json"))["controller_sha256"];
        ASSERT_EQ(ran.size(), 2U) << ran << run.standard_error;
        EXPECT_EQ(hash, line_sim::sha256(text(ran[0]))) << seed;
    }
}

// Run by hand without the robot's library on the loader's path, the module
// says so in one line rather than a traceback.
TEST_F(PythonController, ModuleWithoutTheLibrarySaysSoInOneLine) {
    const auto run = run_process("/usr/bin/python3", {"-c", "import robot_interface"},
                                 {{"PYTHONPATH", std::string(EXAMPLES_DIR) + "/../python"}, {"LD_LIBRARY_PATH", ""}});
    EXPECT_NE(run.exit_status, 0);
    EXPECT_EQ(run.standard_error.rfind("robot_interface: cannot load the robot's library (", 0), 0U)
        << run.standard_error;
    EXPECT_EQ(lines(run.standard_error), 1) << run.standard_error;
}

}  // namespace

namespace {

// A sweep of one value is one run, and said so.
TEST(LineSimSeeds, OneRunIsOneRun) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"--sweep", "camera.noise=3", "--duration", "1", "-q", "-o", out});
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_NE(run.standard_output.find("\n1 run: " + out + "/results.csv"), std::string::npos) << run.standard_output;
}

// Seeds over a world with nothing random are said to run the same, once;
// where a swept value makes the world random, nothing is said.
TEST(LineSimSeeds, NothingRandomIsSaidOnce) {
    const std::string out = test_support::fresh_folder();
    const auto same = run_process(LINE_SIM_EXE, {"oval", "--seeds", "1..3", "--duration", "1", "-q", "-o", out + "/a"});
    EXPECT_EQ(same.exit_status, 0) << same.standard_error;
    EXPECT_EQ(same.standard_error.find("line-sim: oval: nothing in this world is random"), 0U) << same.standard_error;
    EXPECT_EQ(lines(same.standard_error), 1) << same.standard_error;
    const auto rows = nlohmann::json::parse(read_file(out + "/a/results.json"))["runs"];
    EXPECT_EQ(rows[0]["mean_abs_lateral_error_m"], rows[2]["mean_abs_lateral_error_m"]);
    const auto noisy = run_process(LINE_SIM_EXE, {"oval", "--seeds", "1..2", "--sweep", "camera.noise=0,5",
                                                  "--duration", "1", "-q", "-o", out + "/b"});
    EXPECT_EQ(noisy.exit_status, 0) << noisy.standard_error;
    EXPECT_EQ(noisy.standard_error, "");
    // The default controller reads no parameters: that is said, not passed over.
    const auto unused =
        run_process(LINE_SIM_EXE, {"oval", "--set", "param.gain=3", "--duration", "1", "-q", "-o", out + "/c"});
    EXPECT_EQ(unused.exit_status, 0) << unused.standard_error;
    EXPECT_NE(unused.standard_error.find("reads no parameters: param.gain and any others go unused"), std::string::npos)
        << unused.standard_error;
}

}  // namespace
