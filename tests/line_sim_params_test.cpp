// Controller parameters (param.NAME) through the real line-sim: what the
// controller gets, where each run records them, shards and compare over
// them, and the refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "process.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::read_file;
using test_support::run_process;

json file_json(const std::string& path) { return json::parse(read_file(path)); }

// The example controller's defaults given as parameters run exactly as no
// parameters do; another gain follows the line otherwise. Every run records
// its parameters, and the world stays a world.
TEST(ControllerParams, SweptGainReachesTheControllerAndIsRecorded) {
    const std::string out = test_support::fresh_folder();
    const std::vector<std::string> common = {"oval", "--duration", "20", "-q", "--controller", EDGE_FOLLOWER_EXE};
    const auto run = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), common.begin(), common.end());
        const auto result = run_process(LINE_SIM_EXE, arguments);
        ASSERT_EQ(result.exit_status, 0) << result.standard_error;
    };
    run({"-o", out + "/plain"});
    run({"--sweep", "param.gain=3,8", "--set", "param.speed=5", "-o", out + "/swept"});
    const std::string as_default = out + "/swept/oval/param.gain=3", other = out + "/swept/oval/param.gain=8";
    EXPECT_EQ(read_file(as_default + "/trace.csv"), read_file(out + "/plain/oval/trace.csv"));
    EXPECT_NE(read_file(other + "/trace.csv"), read_file(out + "/plain/oval/trace.csv"));
    EXPECT_EQ(read_file(other + "/world.toml"), read_file(out + "/plain/oval/world.toml"));

    const json facts = file_json(other + "/line-sim.json");
    EXPECT_EQ(facts["params"], json({{"gain", "8"}, {"speed", "5"}}));
    EXPECT_EQ(facts["arguments"], json::array());
    const json rows = file_json(out + "/swept/results.json")["runs"];
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[1]["param.gain"], 8);
    EXPECT_EQ(rows[1]["param.speed"], 5);  // set, not swept: a column all the same
    EXPECT_EQ(rows[1]["params"], facts["params"]);
    EXPECT_NE(rows[0]["mean_abs_lateral_error_m"], rows[1]["mean_abs_lateral_error_m"]);
    const std::string csv = read_file(out + "/swept/results.csv");
    EXPECT_EQ(csv.rfind("run,folder,world,param.gain,param.speed,seed,arguments,", 0), 0U) << csv;
    EXPECT_NE(csv.find("\n1,oval/param.gain=8,oval,8,5,1,,"), std::string::npos) << csv;
}

// {NAME} in the controller's arguments, {{ and }} as braces, the variables
// LINE_SIM_PARAM_NAME, and none of the caller's own.
TEST(ControllerParams, ArgumentsAndEnvironmentAsTheControllerSeesThem) {
    const std::string out = test_support::fresh_folder();
    const auto run =
        run_process(LINE_SIM_EXE,
                    {"oval", "--duration", "1", "-q", "--sweep", "param.k=1,2", "--set", "param.name=a b", "-o", out,
                     "--controller", MISBEHAVING_CONTROLLER_EXE, "--", "echo", "{k}", "<{name}>", "{{k}}", "}}{k}{{"},
                    {{"LINE_SIM_PARAM_stale", "left by the caller"}});
    ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    for (const char* k : {"1", "2"}) {
        const std::string folder = out + "/oval/param.k=" + k;
        EXPECT_EQ(read_file(folder + "/controller-output.txt"),
                  std::string(k) + "\n<a b>\n{k}\n}" + k + "{\nLINE_SIM_PARAM_k=" + k + "\nLINE_SIM_PARAM_name=a b\n");
        EXPECT_EQ(file_json(folder + "/line-sim.json")["arguments"],
                  json({"echo", k, "<a b>", "{k}", std::string("}") + k + "{"}));
    }
}

// An argument that is not UTF-8 reaches the controller as given, and its
// record, which JSON holds only in UTF-8, has U+FFFD in its place.
TEST(ControllerParams, ArgumentNotInUtf8RunsAndIsRecorded) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"oval", "--duration", "1", "-q", "-o", out, "--controller",
                                                MISBEHAVING_CONTROLLER_EXE, "--", "echo", "a\xfe"});
    ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    EXPECT_EQ(read_file(out + "/oval/controller-output.txt"), "a\xfe\n");
    EXPECT_EQ(file_json(out + "/oval/line-sim.json")["arguments"], json({"echo", "a\ufffd"}));
}

// Shards of a parameter sweep merged give the whole call's results, and
// compare matches their runs by their swept parameters; another parameter's
// value is another plan.
TEST(ControllerParams, ShardsMergeAndCompareOverParameters) {
    const std::string out = test_support::fresh_folder();
    const auto line_sim = [&](const std::string& speed, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {
            "oval",         "--sweep",        "param.gain=2,4", "--set", "param.speed=" + speed,
            "--seeds",      "1..2",           "--duration",     "2",     "-q",
            "--controller", EDGE_FOLLOWER_EXE};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto result = run_process(LINE_SIM_EXE, arguments);
        ASSERT_EQ(result.exit_status, 0) << result.standard_error;
    };
    line_sim("5", {"-o", out + "/whole"});
    line_sim("5", {"--shard", "1/2", "-o", out + "/shard-1"});
    line_sim("5", {"--shard", "2/2", "-o", out + "/shard-2"});
    line_sim("6", {"--shard", "2/2", "-o", out + "/faster"});
    const auto merged = run_process(LINE_SIM_EXE, {"merge", out + "/shard-1", out + "/shard-2", "-o", out + "/merged"});
    ASSERT_EQ(merged.exit_status, 0) << merged.standard_error;
    const auto rows = [&](const std::string& folder) {
        json runs = file_json(folder + "/results.json")["runs"];
        for (auto& row : runs) {
            for (const char* wall : {"wall_time_s", "real_time_factor", "folder"}) row.erase(wall);
        }
        return runs;
    };
    EXPECT_EQ(rows(out + "/merged"), rows(out + "/whole"));
    const auto compared =
        run_process(LINE_SIM_EXE, {"compare", out + "/whole", out + "/merged", "--require", "steps==+0"});
    EXPECT_EQ(compared.exit_status, 0) << compared.standard_error;
    EXPECT_NE(compared.standard_output.find("oval param.gain=4,seed=2 "), std::string::npos)
        << compared.standard_output;
    const auto other = run_process(LINE_SIM_EXE, {"merge", out + "/shard-1", out + "/faster", "-o", out + "/mixed"});
    EXPECT_EQ(other.exit_status, 2);
    EXPECT_NE(other.standard_error.find("the results of another plan"), std::string::npos) << other.standard_error;
}

struct Refusal {
    const char* name;
    std::vector<std::string> arguments;
    const char* start;  // how the one line on standard error starts
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class ControllerParamRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(ControllerParamRefusals, OneLineStatusTwoAndNothingRuns) {
    const std::string out = test_support::fresh_folder();
    std::vector<std::string> arguments = {"oval", "--out", out + "/runs"};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const auto run = run_process(LINE_SIM_EXE, arguments);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(std::count(run.standard_error.begin(), run.standard_error.end(), '\n'), 1) << run.standard_error;
    EXPECT_EQ(run.standard_error.rfind(GetParam().start, 0), 0U) << run.standard_error;
    EXPECT_FALSE(fs::exists(out + "/runs"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ControllerParamRefusals,
    ::testing::Values(
        Refusal{"NameWithDash", {"--set", "param.k-p=1"}, "line-sim: --set param.k-p: expected param.NAME"},
        Refusal{"NameStartsWithDigit", {"--sweep", "param.1k=1,2"}, "line-sim: --sweep param.1k: expected param.NAME"},
        Refusal{"NameTooLong", {"--set", "param." + std::string(65, 'k') + "=1"}, "line-sim: --set param.kkk"},
        Refusal{"ValueTooLong",
                {"--sweep", "param.k=1," + std::string(4097, 'x')},
                "line-sim: --sweep param.k: expected a value of at most 4096"},
        Refusal{"ValueNotUtf8", {"--set", "param.k=\xff"}, "line-sim: --set param.k: expected a value"},
        Refusal{"SetTwice", {"--set", "param.k=1", "--sweep", "param.k=2,3"}, "line-sim: param.k is set twice"},
        Refusal{"UnknownName",
                {"--set", "param.k=1", "--", "{speed}"},
                "line-sim: controller argument 1 ({speed}): no parameter speed (set it"},
        Refusal{"MisspeltName",
                {"--set", "param.gain=1", "--", "{gian}"},
                "line-sim: controller argument 1 ({gian}): no parameter gian (did you mean gain?)"},
        Refusal{"LoneBrace", {"--", "a", "{"}, "line-sim: controller argument 2 ({): a { without its }"}),
    [](const ::testing::TestParamInfo<Refusal>& param) { return std::string(param.param.name); });

}  // namespace
