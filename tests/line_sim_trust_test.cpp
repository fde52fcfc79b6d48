// line-sim against controllers and callers that do not play fair: processes
// left behind, floods of output, a full disk, two calls into one folder, a
// controller replaced during a sweep, a closed standard output, huge plans.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "controller_file.hpp"
#include "frame_codec.hpp"
#include "process.hpp"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_process;

bool gone(int pid) {
    for (int i = 0; i < 250; ++i) {
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;  // ended, perhaps not yet reaped
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

template <typename Condition>
bool wait_until(const Condition& condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// A process that left the controller's session and process group ends with
// its run, and with line-sim however line-sim ends.
TEST(LineSimTrust, NothingAControllerStartsOutlivesItsRun) {
    const std::string out = test_support::fresh_folder();
    const auto normal = run_process(LINE_SIM_EXE, {"oval", "--duration", "1", "-o", out + "/normal", "--controller",
                                                   MISBEHAVING_CONTROLLER_EXE, "--", "setsid"});
    ASSERT_EQ(normal.exit_status, 0) << normal.standard_error;
    EXPECT_TRUE(gone(std::stoi(read_file(out + "/normal/oval/controller-output.txt"))));

    const auto process =
        test_support::start_process(LINE_SIM_EXE, {"oval", "--duration", "100000", "-o", out + "/killed",
                                                   "--controller", MISBEHAVING_CONTROLLER_EXE, "--", "setsid"});
    const std::string output = out + "/killed/oval/controller-output.txt.part";  // the run goes on
    ASSERT_TRUE(wait_until([&] { return read_file(output).find('\n') != std::string::npos; }));
    // Read before the kill: the guard, left alone, may finish the file under its last name.
    const int escaped = std::stoi(read_file(output));
    kill(process.pid, SIGKILL);
    test_support::wait_process(process);
    EXPECT_TRUE(gone(escaped));
}

// 3 MiB on each stream: the files keep the first and the last MiB, and say what was cut.
TEST(LineSimTrust, ControllerOutputKeepsHeadAndTail) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"oval", "--duration", "1", "-o", out, "--controller",
                                                MISBEHAVING_CONTROLLER_EXE, "--", "spew", "3"});
    ASSERT_EQ(run.exit_status, 0) << run.standard_error;
    const std::string output = read_file(out + "/oval/controller-output.txt");
    const std::string report = read_file(out + "/oval/report.txt");
    for (const std::string* text : {&output, &report}) {
        EXPECT_LE(text->size(), (2U << 20) + 100);
        EXPECT_NE(text->find(" bytes of output cut here]\n"), std::string::npos);
    }
    EXPECT_EQ(output.rfind("line 000000000\n", 0), 0U);
    EXPECT_NE(output.find("line 000196607\n"), std::string::npos);  // the last line, whole
    EXPECT_EQ(report.substr(0, 3), "xxx");
    EXPECT_NE(report.find("duration reached"), std::string::npos);  // the robot's report, after the long line
}

// Whether `path` holds what a whole file of its kind holds, to its end.
bool whole(const fs::path& path) {
    const std::string text = read_file(path.string());
    const std::string name = path.filename().string();
    if (name == "summary.json" || name == "results.json") return nlohmann::json::accept(text);
    if (name == "trace.csv" || name == "results.csv") return !text.empty() && text.back() == '\n';
    if (name.size() > 5 && name.substr(name.size() - 5) == ".html")
        return text.size() > 8 && text.substr(text.size() - 8) == "</html>\n";
    if (path.extension() == ".svg") return text.size() > 7 && text.substr(text.size() - 7) == "</svg>\n";
    if (path.extension() == ".png") return text.size() > 12 && text.substr(text.size() - 8, 4) == "IEND";
    if (name == sim::FRAMES_FILE) {
        std::ifstream in(path, std::ios::binary);
        const sim::FramesHeader header = sim::read_frames_header(in, path.string());
        std::size_t bytes = static_cast<std::size_t>(in.tellg());
        sim::FrameCodeReader reader(header.width, header.height);
        for (std::string_view code; reader.next(in, code);) bytes += code.size();
        return bytes == text.size();
    }
    return true;
}

// A controller that crashes mid-run leaves its trace and frames whole, up to
// the last step it took.
TEST(LineSimTrust, CrashedRunLeavesWholeFiles) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE,
                                 {"oval", "-o", out, "--controller", MISBEHAVING_CONTROLLER_EXE, "--", "crash", "300"});
    EXPECT_EQ(run.exit_status, 1);
    for (const char* name : {"trace.csv", sim::FRAMES_FILE, "summary.json", "replay.html", "trajectory.svg"}) {
        EXPECT_TRUE(fs::exists(out + "/oval/" + name) && whole(out + "/oval/" + name)) << name;
    }
}

class LineSimFullDisk : public ::testing::TestWithParam<int> {};

// On a disk that fills up at any point of a run, every file under its
// final name is whole, and a run with a file missing says files_not_written
// in its summary, the results and the table, and fails.
TEST_P(LineSimFullDisk, EveryFileThereIsWholeAndWhatIsMissingIsSaid) {
    const std::string out = test_support::fresh_folder(std::to_string(GetParam()));
    const std::string size = "size=" + std::to_string(GetParam()) + "k";
    if (mount("tmpfs", out.c_str(), "tmpfs", 0, size.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    // Unmounted however the test ends (a throw too): a mount left behind made every later run's folder busy.
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{out};
    const auto run = run_process(LINE_SIM_EXE, {"oval", "--duration", "60", "-o", out});
    bool missing = false;
    for (const char* name : {"summary.json", "trace.csv", sim::FRAMES_FILE, "replay.html", "trajectory.svg"}) {
        missing = missing || !fs::exists(out + "/oval/" + name);
    }
    for (const fs::path& folder : {fs::path(out), fs::path(out) / "oval"}) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            EXPECT_TRUE(!entry.is_regular_file() || whole(entry.path())) << entry.path();
        }
    }
    if (missing) {
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.standard_output.find("files_not_written"), std::string::npos) << run.standard_output;
        if (fs::exists(out + "/oval/line-sim.json")) {
            EXPECT_EQ(nlohmann::json::parse(read_file(out + "/oval/line-sim.json"))["files_whole"], false);
        }
        if (fs::exists(out + "/results.json")) {
            const auto row = nlohmann::json::parse(read_file(out + "/results.json"))["runs"][0];
            EXPECT_EQ(row["end_reason"], "files_not_written");
            EXPECT_GT(row["steps"], 0);  // the robot's own figures, not ones made from files that are not there
        }
    }
    // The line that names the run's files names only those that are there.
    const auto listed = run.standard_output.find("oval: ");
    if (listed != std::string::npos) {
        for (const char* name : {"replay.html", "trajectory.svg", "summary.json", "trace.csv"}) {
            const bool named = run.standard_output.find(name, listed) != std::string::npos;
            EXPECT_TRUE(!named || fs::exists(out + "/oval/" + name)) << name;
        }
    }
}

// [KiB] from too small for the trace to room for all but the call's own files.
INSTANTIATE_TEST_SUITE_P(Sizes, LineSimFullDisk, ::testing::Values(48, 200, 400, 480, 540, 556));

TEST(LineSimTrust, SecondCallIntoAFolderInUseIsRefused) {
    const std::string out = test_support::fresh_folder();
    const auto first = test_support::start_process(LINE_SIM_EXE, {"oval", "--duration", "100000", "-o", out});
    ASSERT_TRUE(wait_until([&] { return fs::exists(out + "/oval/trace.csv.part"); }));
    const auto second = run_process(LINE_SIM_EXE, {"oval", "--duration", "1", "-o", out});
    EXPECT_EQ(second.exit_status, 2);
    EXPECT_EQ(second.standard_error,
              "line-sim: --out " + out +
                  ": another line-sim call is writing there; wait for it to end, or give another folder\n");
    kill(first.pid, SIGINT);
    EXPECT_EQ(test_support::wait_process(first).exit_status, 130);
    EXPECT_EQ(run_process(LINE_SIM_EXE, {"oval", "--duration", "1", "-o", out}).exit_status, 0);  // free again
    // Nor does a call, or a merge, write inside a run's folder.
    for (const std::vector<std::string>& call :
         {std::vector<std::string>{"oval", "--duration", "1", "-o", out + "/oval/inner"},
          {"merge", out, "-o", out + "/oval"}}) {
        const auto inside = run_process(LINE_SIM_EXE, call);
        EXPECT_EQ(inside.exit_status, 2);
        EXPECT_NE(inside.standard_error.find(": inside the run folder " + out + "/oval;"), std::string::npos)
            << inside.standard_error;
    }
}

// The controller's path is given another program while a sweep runs: every
// run still runs the one checked at the start, and says so.
TEST(LineSimTrust, ControllerReplacedDuringASweepIsNotRun) {
    const std::string out = test_support::fresh_folder();
    fs::copy_file(EDGE_FOLLOWER_EXE, out + "/controller");
    const std::string hash = line_sim::file_sha256(out + "/controller");
    const auto sweep =
        test_support::start_process(LINE_SIM_EXE, {"oval", "--seeds", "1..4", "-j", "1", "--duration", "300", "-o",
                                                   out + "/runs", "--controller", out + "/controller"});
    ASSERT_TRUE(wait_until([&] { return fs::exists(out + "/runs/oval/seed=1/summary.json"); }));
    fs::copy_file(LINE_FOLLOWER_EXE, out + "/other");
    fs::rename(out + "/other", out + "/controller");
    ASSERT_EQ(test_support::wait_process(sweep).exit_status, 0);
    const auto rows = nlohmann::json::parse(read_file(out + "/runs/results.json"))["runs"];
    ASSERT_EQ(rows.size(), 4U);
    for (const auto& row : rows) {
        EXPECT_EQ(row["controller_sha256"], hash);
        EXPECT_EQ(row["mean_abs_lateral_error_m"], rows[0]["mean_abs_lateral_error_m"]);  // the oval has nothing random
    }
}

// Written over in place, again and again, while a sweep runs (between runs:
// a file that runs cannot be written): a run that records one program's hash
// has that program's figures; where what ran is not what was hashed, the run
// gives no hash and fails.
TEST(LineSimTrust, ControllerWrittenOverInPlaceIsHashedAsWhatRan) {
    const std::string out = test_support::fresh_folder();
    const std::string a = read_file(EDGE_FOLLOWER_EXE), b = read_file(LINE_FOLLOWER_EXE);
    std::map<std::string, nlohmann::json> figures;  // hash: mean error, as each runs alone
    for (const std::string* bytes : {&a, &b}) {
        std::ofstream(out + "/alone", std::ios::binary | std::ios::trunc) << *bytes;
        fs::permissions(out + "/alone", fs::perms::owner_all);
        const auto run = run_process(
            LINE_SIM_EXE, {"oval", "--duration", "2", "-o", out + "/alone-runs", "--controller", out + "/alone"});
        ASSERT_EQ(run.exit_status, 0) << run.standard_error;
        const auto summary = nlohmann::json::parse(read_file(out + "/alone-runs/oval/summary.json"));
        const auto facts = nlohmann::json::parse(read_file(out + "/alone-runs/oval/line-sim.json"));
        figures[facts["controller_sha256"]] = summary["mean_abs_lateral_error_m"];
    }
    ASSERT_EQ(figures.size(), 2U);
    std::ofstream(out + "/controller", std::ios::binary) << a;
    fs::permissions(out + "/controller", fs::perms::owner_all);
    const auto sweep =
        test_support::start_process(LINE_SIM_EXE, {"oval", "--seeds", "1..60", "-j", "1", "--duration", "2", "-o",
                                                   out + "/runs", "--controller", out + "/controller"});
    ASSERT_TRUE(wait_until([&] { return fs::exists(out + "/runs/oval/seed=1/world.toml"); }));  // checked and started
    for (int i = 0; !fs::exists(out + "/runs/results.json") && i < 20000; ++i) {
        std::ofstream(out + "/controller", std::ios::binary | std::ios::trunc) << (i % 2 == 0 ? b : a);
    }
    test_support::wait_process(sweep);
    const auto rows = nlohmann::json::parse(read_file(out + "/runs/results.json"))["runs"];
    ASSERT_EQ(rows.size(), 60U);
    // (A file caught half written is hashed as what it is, and runs or fails as that.)
    for (const auto& row : rows) {
        if (!row["controller_sha256"].is_string() || figures.count(row["controller_sha256"]) == 0) continue;
        EXPECT_EQ(row["mean_abs_lateral_error_m"], figures[row["controller_sha256"]]) << row.dump();
    }
}

// `line-sim | head -1`: line-sim is not killed by the closed pipe, and writes every file.
TEST(LineSimTrust, ClosedStandardOutputLosesNoFile) {
    const std::string out = test_support::fresh_folder();
    const auto run =
        run_process("/bin/bash", {"-c", std::string("set -o pipefail; ") + LINE_SIM_EXE +
                                            " oval --seeds 1..30 --duration 1 -j 2 -o " + out + " | true"});
    EXPECT_EQ(run.exit_status, 0) << run.standard_error;
    for (const char* name : {"results.csv", "results.json", "index.html"})
        EXPECT_TRUE(fs::exists(out + "/" + name)) << name;
}

TEST(LineSimTrust, PlansAreBoundedAndFoldersMadeAsRunsStart) {
    const std::string out = test_support::fresh_folder();
    const auto huge = run_process(LINE_SIM_EXE, {"oval", "--sweep", "camera.noise=0,1,2,3,4,5,6,7,8,9,10,11", "--sweep",
                                                 "run.off_line_limit=1,2", "--seeds", "1..999999", "-o", out});
    EXPECT_EQ(huge.exit_status, 2);
    EXPECT_EQ(huge.standard_error.rfind("line-sim: the plan has more than 1000000 runs", 0), 0U) << huge.standard_error;

    // Seeds alone draw no sweep picture, and say only what they wrote.
    const auto seeds = run_process(LINE_SIM_EXE, {"oval", "--seeds", "1..2", "--duration", "1", "-o", out});
    ASSERT_EQ(seeds.exit_status, 0) << seeds.standard_error;
    EXPECT_EQ(seeds.standard_output.find("sweep.svg"), std::string::npos) << seeds.standard_output;
    EXPECT_FALSE(fs::exists(out + "/sweep.svg"));

    // Stopped early in a long sweep: no folder for a run that never started.
    const auto sweep = test_support::start_process(
        LINE_SIM_EXE, {"oval", "--seeds", "1..100000", "--duration", "1", "-j", "1", "-o", out + "/stopped"});
    ASSERT_TRUE(wait_until([&] { return fs::exists(out + "/stopped/oval/seed=3"); }));
    kill(sweep.pid, SIGINT);
    EXPECT_EQ(test_support::wait_process(sweep).exit_status, 130);
    std::size_t folders = 0;
    for (const auto& entry : fs::directory_iterator(out + "/stopped/oval")) {
        EXPECT_TRUE(fs::exists(entry.path() / "world.toml")) << entry.path();
        ++folders;
    }
    EXPECT_LT(folders, 1000U);
}

// A controller that stops stepping cannot be ended by the robot: line-sim
// kills it once the world's wall-clock limit and a grace period have passed.
TEST(LineSimTrust, ControllerThatStopsSteppingEndsAtTheWallClockLimit) {
    const std::string out = test_support::fresh_folder();
    const auto run = run_process(LINE_SIM_EXE, {"oval", "--set", "run.wall_time_limit=0.1", "-o", out, "--controller",
                                                MISBEHAVING_CONTROLLER_EXE, "--", "hang"});
    EXPECT_EQ(run.exit_status, 1);
    const auto summary = nlohmann::json::parse(read_file(out + "/oval/summary.json"));
    EXPECT_EQ(summary["end_reason"], "wall_time_limit");
    EXPECT_LE(summary["steps"], 10);  // what the robot had written when it was killed
}

}  // namespace
