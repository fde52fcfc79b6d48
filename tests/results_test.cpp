// Result sets read back by line-sim merge and compare as files from anyone:
// each fault one line and exit status 2, a FIFO refused at once, shards
// matched to the whole call by what their runs are; and results.csv safe to
// open in a spreadsheet.
#include "results.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "process.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::read_file;
using test_support::run_process;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A result set of two runs of a plan of three, as line-sim writes it.
json valid_results() {
    const std::string folder = test_support::fresh_folder(".valid");
    line_sim::Results results;
    results.plan = std::string(64, 'a');
    results.plan_runs = 3;
    for (const std::size_t run : {std::size_t{0}, std::size_t{2}}) {
        line_sim::ResultRow row;
        row.run = run;
        row.folder = "oval/seed=" + std::to_string(run);
        row.summary.world = "oval";
        row.summary.seed = run;
        row.summary.sim_time_s = 2.0;
        row.summary.steps = 63;
        row.summary.lap_times_s = {1.5};
        row.summary.end_reason = sim::EndReason::duration;
        row.facts.controller = "line_follower";
        results.rows.push_back(row);
    }
    line_sim::write_results(folder, results);
    return json::parse(read_file(folder + "/results.json"));
}

// Both records of a run, every field set apart from its default, come back
// from their JSON as they went; and the results' columns are their keys.
TEST(RunRecords, EveryFieldComesBackAndIsAColumn) {
    sim::RunSummary s;
    s.world = "oval";
    s.seed = 7;
    s.sim_time_s = 2.016;
    s.wall_time_s = 0.25;
    s.steps = 63;
    s.lap_times_s = {1.5, 0.5};
    s.mean_abs_lateral_error_m = 0.001;
    s.rms_lateral_error_m = 0.002;
    s.max_abs_lateral_error_m = 0.003;
    s.time_off_line_s = 0.032;
    s.distance_along_line_m = -1.25;
    s.end_reason = sim::EndReason::off_line;
    s.camera_width = 64;
    s.camera_height = 48;
    const sim::LineSimFacts f{"./mine.py",
                              std::string(64, 'b'),
                              "/usr/bin/python3",
                              137,
                              false,
                              "runs/oval/replay.html: cannot be written",
                              {{"gain", "3"}, {"_mode", "fast, \u00e9"}},
                              {"--gain", "{gain}\n", ""}};
    const json summary = sim::to_json(s), facts = sim::to_json(f);
    EXPECT_EQ(sim::to_json(sim::summary_from_json(summary)), summary);
    EXPECT_EQ(sim::to_json(sim::facts_from_json(facts)), facts);
    // A record of a line-sim from before parameters has neither key: none, not known.
    json older = facts;
    older.erase("params");
    older.erase("arguments");
    EXPECT_TRUE(sim::facts_from_json(older).params.empty());
    EXPECT_TRUE(sim::facts_from_json(older).arguments.empty());
    EXPECT_EQ(summary["real_time_factor"], 2.016 / 0.25);
    EXPECT_EQ(summary["laps_completed"], 2);
    const json joined = sim::joined_json(s, f);
    EXPECT_EQ(joined["end_reason"], "files_not_written");
    std::set<std::string> keys;
    for (const sim::RecordKey& key : sim::record_keys()) keys.insert(key.key);
    std::set<std::string> joined_keys;
    for (const auto& [key, value] : joined.items()) joined_keys.insert(key);
    EXPECT_EQ(keys, joined_keys);
    const auto row = line_sim::row_json({0, "oval", {}, s, f});
    for (const std::string& key : keys) EXPECT_EQ(row[key], joined[key]) << key;
}

// A run without a centre line: the figures measured from one are null, and
// stay null both ways; a record from before the figures were added reads as
// one with a centre line, its distance driven not known.
TEST(RunRecords, FiguresNotGivenAreNullBothWays) {
    sim::RunSummary s;
    s.world = "photo";
    s.centre_line = false;
    s.sim_time_s = 2.0;
    s.time_off_line_s = 0.5;
    s.distance_driven_m = 0.125;
    const json summary = sim::to_json(s);
    for (const char* key : {"lap_times_s", "laps_completed", "mean_abs_lateral_error_m", "rms_lateral_error_m",
                            "max_abs_lateral_error_m", "distance_along_line_m"}) {
        EXPECT_TRUE(summary[key].is_null()) << key;
        json given = summary;
        given[key] = 0;
        EXPECT_THROW(sim::summary_from_json(given), sim::FieldError) << key;
    }
    EXPECT_EQ(summary["off_line_share"], 0.25);
    EXPECT_EQ(sim::to_json(sim::summary_from_json(summary)), summary);

    sim::RunSummary before;
    before.world = "oval";
    json older = sim::to_json(before);
    older.erase("centre_line");
    older.erase("distance_driven_m");
    const sim::RunSummary read = sim::summary_from_json(older);
    EXPECT_TRUE(read.centre_line);
    EXPECT_TRUE(std::isnan(read.distance_driven_m));
    // Not known is null, not a number, to whatever reads the record: no bound holds for it.
    const json joined = sim::joined_json(read, sim::LineSimFacts{});
    EXPECT_TRUE(joined["distance_driven_m"].is_null());
    std::string actual;
    EXPECT_FALSE(line_sim::meets(line_sim::parse_requirement("distance_driven_m!=5", false), joined, nullptr, actual));
    EXPECT_EQ(actual, "distance_driven_m not given");
    older["mean_abs_lateral_error_m"] = nullptr;
    EXPECT_THROW(sim::summary_from_json(older), sim::FieldError);
}

struct BadResults {
    const char* name;
    std::function<std::string(json)> file;  // the file's text, from a valid result set
    const char* start;                      // how the one line starts after "line-sim: DIR/results.json: "
};

void PrintTo(const BadResults& c, std::ostream* os) { *os << c.name; }

// A change to the first run, or to the whole document.
std::function<std::string(json)> first_run(const char* key, json value) {
    return [=](json d) {
        d["runs"][0][key] = value;
        return d.dump(2);
    };
}
std::function<std::string(json)> top(const char* key, json value) {
    return [=](json d) {
        d[key] = value;
        return d.dump();
    };
}

class MalformedResults : public ::testing::TestWithParam<BadResults> {};

TEST_P(MalformedResults, OneLineNamingFileRunAndKey) {
    const std::string dir = test_support::fresh_folder();
    write_text(dir + "/results.json", GetParam().file(valid_results()));
    const std::string line = "line-sim: " + dir + "/results.json: " + GetParam().start;
    const auto merged = run_process(LINE_SIM_EXE, {"merge", dir, "-o", dir + "/merged"});
    EXPECT_EQ(merged.exit_status, 2);
    EXPECT_EQ(merged.standard_error.rfind(line, 0), 0U) << merged.standard_error;
    EXPECT_EQ(std::count(merged.standard_error.begin(), merged.standard_error.end(), '\n'), 1) << merged.standard_error;
    EXPECT_FALSE(fs::exists(dir + "/merged"));
    const auto compared = run_process(LINE_SIM_EXE, {"compare", dir, dir});
    EXPECT_EQ(compared.exit_status, 2);
    EXPECT_EQ(compared.standard_error, merged.standard_error);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MalformedResults,
    ::testing::Values(
        BadResults{"NegativeRun", first_run("run", -1), "runs[0]: run: expected a whole number from 0"},
        BadResults{"HugeRun", first_run("run", 1e30), "runs[0]: run: expected a whole number from 0"},
        BadResults{"RunOutsideThePlan", first_run("run", 3), "runs[0]: run: 3 is not a run of a plan of plan_runs 3"},
        BadResults{"RunTwice", first_run("run", 2), "runs[1]: run: 2 is there twice"},
        BadResults{"UnknownEndReason", first_run("end_reason", "exploded"), "runs[0]: end_reason: expected one of running,"},
        BadResults{"NegativeSteps", first_run("steps", -5), "runs[0]: steps: expected a whole number from 0"},
        BadResults{"NegativeTime", first_run("sim_time_s", -1.0), "runs[0]: sim_time_s: expected a finite number from 0"},
        BadResults{"TimeAsText", first_run("time_off_line_s", "0"), "runs[0]: time_off_line_s: expected a finite number"},
        BadResults{"NegativeLapTime", first_run("lap_times_s", json::array({-1.0})), "runs[0]: lap_times_s: expected a list of finite"},
        BadResults{"LapCount", first_run("laps_completed", 3), "runs[0]: laps_completed: expected 1 (worked out from the others)"},
        BadResults{"ExitStatus", first_run("controller_exit_status", 300), "runs[0]: controller_exit_status: expected"},
        BadResults{"FolderUp", first_run("folder", "../.."), "runs[0]: folder: expected a folder relative"},
        BadResults{"FolderAbsolute", first_run("folder", "/etc"), "runs[0]: folder: expected a folder relative"},
        BadResults{"FolderUpInside", first_run("folder", "oval/../../x"), "runs[0]: folder: expected a folder relative"},
        BadResults{"WorldWithEscape", first_run("world", "\x1b[2Joval"), "runs[0]: world: expected a string of at most 200 bytes without"},
        BadResults{"UnknownKey", first_run("colour", "red"), "runs[0]: colour: not a figure of a run nor a swept key"},
        BadResults{"ParamNameBad", first_run("params", {{"1k", "3"}}), "runs[0]: params: expected an object of parameter names"},
        BadResults{"ParamValueNotText", first_run("params", {{"k", 3}}), "runs[0]: params: expected an object of parameter names"},
        BadResults{"ArgumentNotText", first_run("arguments", json::array({1})), "runs[0]: arguments: expected a list of strings"},
        BadResults{"ParamColumnWithoutParam", first_run("param.k", 3), "runs[0]: param.k: a parameter not in params"},
        BadResults{"ParamColumnDisagrees",
                   [](json d) {
                       d["runs"][0]["params"] = {{"k", "3"}};
                       d["runs"][0]["param.k"] = 4;
                       return d.dump();
                   },
                   "runs[0]: param.k: expected 3 as params has it, not 4"},
        BadResults{"NestedDeep", first_run("lap_times_s", json::array({json::array({1.0})})), "runs[0]: nested deeper than a results file is"},
        BadResults{"SweptValueMissing", top("swept_keys", json::array({"camera.noise"})), "runs[0]: camera.noise: missing (a swept key)"},
        BadResults{"SweptKeyIsAFigure", top("swept_keys", json::array({"steps"})), "swept_keys: expected dotted world keys"},
        BadResults{"PlanOfNoRuns", top("plan_runs", 0), "plan_runs: expected a whole number from 1"},
        BadResults{"PlanNotADigest", top("plan", "x"), "plan: expected 64 hexadecimal digits"},
        BadResults{"UnknownTopKey", top("extra", 1), "extra: not a key of a results file"},
        BadResults{"RunNotAnObject", top("runs", json::array({5})), "runs[0]: expected an object"},
        BadResults{"KeyTwice",
                   [](json d) {
                       std::string text = d.dump();
                       return text.insert(text.find("\"steps\""), "\"steps\":1,");
                   },
                   "runs[0]: steps: given twice"},
        BadResults{"NotJson", [](json) { return std::string("{\"plan\": "); }, "not a results file of line-sim ("}),
    [](const ::testing::TestParamInfo<BadResults>& param) { return std::string(param.param.name); });

// A FIFO (no writer) or a folder where results.json should be is refused at
// once; a line-sim still waiting is killed and the test fails.
TEST(ResultsFile, NotARegularFileIsRefusedWithoutWaiting) {
    const std::string dir = test_support::fresh_folder();
    fs::create_directories(dir + "/fifo");
    ASSERT_EQ(mkfifo((dir + "/fifo/results.json").c_str(), 0644), 0);
    fs::create_directories(dir + "/folder/results.json");
    for (const std::string& set : {dir + "/fifo", dir + "/folder"}) {
        for (const std::vector<std::string>& arguments : {std::vector<std::string>{"merge", set, "-o", dir + "/merged"},
                                                          std::vector<std::string>{"compare", set, set}}) {
            const auto started = test_support::start_process(LINE_SIM_EXE, arguments);
            // Given some 20 s before it counts as waiting on the FIFO: a guard, not a measured time.
            int status = 0;
            pid_t ended = 0;
            for (int i = 0; i < 2000 && ended == 0; ++i) {
                ended = waitpid(started.pid, &status, WNOHANG);
                if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (ended == 0) {
                kill(started.pid, SIGKILL);
                waitpid(started.pid, &status, 0);
                ADD_FAILURE() << arguments[0] << " " << set << ": still waiting";
                continue;
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << arguments[0] << " " << set;
            EXPECT_EQ(read_file(started.error_path),
                      "line-sim: " + set + "/results.json: cannot be read (expected a regular file)\n");
        }
    }
}

// Shards merged into the folder above them compare equal to the whole call:
// runs are matched by world, swept values and seed, not by folder.
TEST(ResultsCompare, ShardsMergedMatchTheWholeCallRunByRun) {
    const std::string out = test_support::fresh_folder();
    const std::vector<std::string> plan = {"oval", "--sweep", "camera.noise=0,10", "--seeds", "1..2", "--duration",
                                           "1",    "-q"};
    const auto line_sim = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), plan.begin(), plan.end());
        const auto run = run_process(LINE_SIM_EXE, arguments);
        ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    };
    line_sim({"-o", out + "/whole"});
    line_sim({"--shard", "1/2", "-o", out + "/sweep/shard-1"});
    line_sim({"--shard", "2/2", "-o", out + "/sweep/shard-2"});
    const auto merged =
        run_process(LINE_SIM_EXE, {"merge", out + "/sweep/shard-1", out + "/sweep/shard-2", "-o", out + "/sweep"});
    ASSERT_EQ(merged.exit_status, 0) << merged.standard_error;
    EXPECT_EQ(json::parse(read_file(out + "/sweep/results.json"))["runs"][1]["folder"],
              "shard-2/oval/camera.noise=0,seed=2");
    for (const auto& [a, b] : {std::pair{out + "/whole", out + "/sweep"}, std::pair{out + "/sweep", out + "/whole"}}) {
        const auto compared = run_process(LINE_SIM_EXE, {"compare", a, b, "--require", "steps==+0"});
        EXPECT_EQ(compared.exit_status, 0) << compared.standard_error;
        EXPECT_EQ(compared.standard_error, "");
        // A heading, then seven figures a run, every one the same.
        std::istringstream table(compared.standard_output);
        int figures = 0;
        for (std::string line; std::getline(table, line); ++figures) {
            if (figures > 0) {
                EXPECT_EQ(line.substr(line.size() - 2), " =") << line;
            }
        }
        EXPECT_EQ(figures, 1 + 4 * 7);
        EXPECT_NE(compared.standard_output.find("oval camera.noise=10,seed=2 "), std::string::npos)
            << compared.standard_output;
    }
}

// A world named =1+1 run by line-sim, then its result set given a swept
// value @SUM(A1) and a distance below 0, as a stranger's file may hold, and
// merged: in results.csv the names are text, the number a number; in
// results.json all as they were.
TEST(ResultsCsv, FormulaCellsAreTextAndJsonStaysExact) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"--set", "name=\"=1+1\"", "--sweep", "camera.noise=0", "--duration",
                                                "0.5", "-o", out + "/run", "-q"});
    ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_NE(read_file(out + "/run/results.csv").find("\n0,oval/camera.noise=0,\"'=1+1\",0,"), std::string::npos)
        << read_file(out + "/run/results.csv");
    json results = json::parse(read_file(out + "/run/results.json"));
    results["runs"][0]["camera.noise"] = "@SUM(A1)";
    results["runs"][0]["distance_along_line_m"] = -0.25;
    fs::create_directories(out + "/stranger");
    write_text(out + "/stranger/results.json", results.dump(2));
    const auto merged = run_process(LINE_SIM_EXE, {"merge", out + "/stranger", "-o", out + "/merged"});
    ASSERT_EQ(merged.exit_status, 0) << merged.standard_error;
    const std::string csv = read_file(out + "/merged/results.csv");
    EXPECT_NE(csv.find(",\"'=1+1\",\"'@SUM(A1)\","), std::string::npos) << csv;
    EXPECT_NE(csv.find(",-0.25,"), std::string::npos) << csv;
    const json row = json::parse(read_file(out + "/merged/results.json"))["runs"][0];
    EXPECT_EQ(row["world"], "=1+1");
    EXPECT_EQ(row["camera.noise"], "@SUM(A1)");
    EXPECT_EQ(row["distance_along_line_m"], -0.25);
}

}  // namespace
