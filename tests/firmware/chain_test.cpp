// The real robot's whole chain, closed in simulation: line-robot and the
// unchanged line_follower drive the virtual robot (the firmware in simavr
// behind a pseudo-terminal, a simulated world whose camera comes over UDP).
// It runs in real time. Every time checked is the virtual robot's own
// simulated clock, against the windows the firmware and the robot file set.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.hpp"

namespace {

namespace fs = std::filesystem;
using test_support::fresh_folder;
using test_support::read_file;

constexpr double STEP = 0.032;          // [s]
constexpr double BOARD_TIMEOUT = 0.3;   // [s] the firmware stops without commands (docs/motor-board.md)
constexpr double STALE_LIMIT = 0.5;     // [s] camera.stale_limit in the robot file below
constexpr double MOST_START_WAIT = 20;  // [s] for the virtual robot's two lines

struct Row {
    double time, left, right;  // [s] the board's clock; [rad/s] the PWM's commands
};

std::vector<Row> trace_of(const std::string& folder) {
    std::istringstream text(read_file(folder + "/trace.csv"));
    std::vector<Row> rows;
    std::string line;
    std::getline(text, line);  // the header
    while (std::getline(text, line)) {
        Row r{};
        double world_time = 0;
        char comma = 0;
        std::istringstream(line) >> r.time >> comma >> world_time >> comma >> r.left >> comma >> r.right;
        rows.push_back(r);
    }
    return rows;
}

// [s] of each event whose text starts with `what`.
std::vector<double> events_of(const std::string& folder, const std::string& what) {
    std::istringstream text(read_file(folder + "/events.csv"));
    std::vector<double> times;
    std::string line;
    while (std::getline(text, line)) {
        const auto comma = line.find(',');
        if (comma != std::string::npos && line.compare(comma + 1, what.size(), what) == 0)
            times.push_back(std::stod(line.substr(0, comma)));
    }
    return times;
}

// [s] when the wheels' commands went to 0 and stayed there, after `after`; -1 if they did not.
double stopped_at(const std::vector<Row>& rows, double after) {
    double stopped = -1;
    for (const Row& r : rows) {
        if (r.time < after) continue;
        const bool still = r.left == 0 && r.right == 0;
        if (!still) stopped = -1;
        if (still && stopped < 0) stopped = r.time;
    }
    return stopped;
}

// line-robot's controller, its grandchild, by the parent links in /proc.
int controller_of(int line_robot) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        // Its first argument: line-robot runs it from a sealed copy, whose comm is not the program's name.
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string name;
        if (!std::getline(cmdline, name, '\0') || fs::path(name).filename() != "line_follower") continue;
        for (int p = std::stoi(pid); p > 1;) {
            std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            const auto close = text.rfind(')');
            if (close == std::string::npos) break;
            std::istringstream(text.substr(close + 2)) >> name >> p;  // state, then the parent
            if (p == line_robot) return std::stoi(pid);
        }
    }
    return -1;
}

// The virtual robot on oval, and line-robot with line_follower driving it.
class Chain {
public:
    Chain(const std::string& folder, double duration) : folder_(folder) {
        fs::create_directories(folder + "/robot");
        robot_ = test_support::start_process(VIRTUAL_ROBOT_EXE, {WORLD_FILE, folder + "/robot", "120"});
        std::vector<std::string> said;
        for (auto start = std::chrono::steady_clock::now(); said.size() < 2;) {
            std::istringstream text(read_file(robot_.output_path));
            said.clear();
            for (std::string line; std::getline(text, line) && text.good();) said.push_back(line);
            if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(MOST_START_WAIT)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (said.size() < 2)
            throw std::runtime_error("the virtual robot did not start: " + read_file(robot_.error_path));
        std::ofstream(folder + "/robot.toml")
            << "name = \"virtual robot\"\n[camera]\npipeline = \"" << said[1]
            << "\"\nflip = \"none\"\nwidth = 64\nheight = 48\nstale_limit = " << STALE_LIMIT << "\n[board]\nport = \""
            << said[0] << "\"\nreset_wait = 0.1\n[run]\nduration = " << duration << "\nrecord_frames = false\n";
        line_robot_ = test_support::start_process(LINE_ROBOT_EXE, {folder + "/robot.toml", "-o", folder + "/run"});
    }
    int line_robot() const { return line_robot_.pid; }
    int virtual_robot() const { return robot_.pid; }
    // line-robot's end; then the virtual robot's, which writes its files.
    test_support::ProcessResult finish() {
        const test_support::ProcessResult result = test_support::wait_process(line_robot_);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the board's last commands carried out
        kill(robot_.pid, SIGTERM);
        const test_support::ProcessResult robot = test_support::wait_process(robot_);
        EXPECT_EQ(robot.exit_status, 0) << robot.standard_error;
        return result;
    }
    nlohmann::json run_summary() const { return nlohmann::json::parse(read_file(folder_ + "/run/summary.json")); }
    nlohmann::json world_summary() const { return nlohmann::json::parse(read_file(folder_ + "/robot/summary.json")); }
    // line-robot could not read the stream: GStreamer's good plugins, where udpsrc is, are not installed.
    static bool without_udpsrc(const test_support::ProcessResult& result) {
        return result.exit_status == 2 && result.standard_error.find("no element \"udpsrc\"") != std::string::npos;
    }
    std::string robot_folder() const { return folder_ + "/robot"; }

private:
    std::string folder_;
    test_support::StartedProcess robot_, line_robot_;
};

TEST(Chain, FollowsTheLineAsThePureSimulationDoes) {
    const std::string folder = fresh_folder();
    Chain chain(folder, 20.0);
    const test_support::ProcessResult result = chain.finish();
    if (Chain::without_udpsrc(result)) GTEST_SKIP() << "GStreamer's udpsrc (gstreamer1.0-plugins-good) is missing";
    ASSERT_EQ(result.exit_status, 0) << result.standard_error;
    const nlohmann::json run = chain.run_summary(), world = chain.world_summary();
    EXPECT_EQ(run["end_reason"], "duration");
    EXPECT_EQ(run["mode"], "live");  // udpsrc: the newest frame at each step, none queued stale
    EXPECT_LT(run["frame_age_s"]["p99"].get<double>(), 2 * STEP) << run.dump();

    const test_support::ProcessResult reference =
        test_support::run_process(LINE_SIM_EXE, {WORLD_FILE, "--duration", "20", "--out", folder + "/reference", "-q"});
    ASSERT_EQ(reference.exit_status, 0) << reference.standard_error;
    const auto pure = nlohmann::json::parse(read_file(folder + "/reference/oval/summary.json"));
    // The world's clock runs from the first drive to the virtual robot's end, a little past line-robot's 20 s.
    EXPECT_GE(world["sim_time_s"].get<double>(), 19.9);
    EXPECT_EQ(world["time_off_line_s"], 0.0) << world.dump();
    // As far along the line (the robot standing still for the last moments past 20 s counts nothing).
    EXPECT_GT(world["distance_along_line_m"].get<double>(), 0.9 * pure["distance_along_line_m"].get<double>());
    // The chain adds a step of command delay and the PWM's 1/1024 steps of
    // drive: close to the pure run's error, within half of it again.
    const double error = world["mean_abs_lateral_error_m"], pure_error = pure["mean_abs_lateral_error_m"];
    EXPECT_LT(error, 1.5 * pure_error) << world.dump() << pure.dump();
    EXPECT_GT(error, 0.5 * pure_error) << world.dump() << pure.dump();
}

enum class Cut { controller_killed, camera_stalled, link_pulled };
struct Ending {
    const char* name;
    Cut cut;
    const char* end_reason;  // line-robot's
    const char* event;       // the virtual robot's mark of the cut; "" for none
    double window;           // [s] from the cut to the wheels' stop, at most
};
void PrintTo(const Ending& e, std::ostream* out) { *out << e.name; }

class ChainEnding : public testing::TestWithParam<Ending> {};

TEST_P(ChainEnding, StopsTheWheels) {
    const Ending& e = GetParam();
    const std::string folder = fresh_folder();
    Chain chain(folder, 30.0);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // line_follower driving
    if (e.cut == Cut::controller_killed) {
        const int controller = controller_of(chain.line_robot());
        if (controller < 0) {
            const test_support::ProcessResult early = chain.finish();
            if (Chain::without_udpsrc(early))
                GTEST_SKIP() << "GStreamer's udpsrc (gstreamer1.0-plugins-good) is missing";
            FAIL() << "no line_follower under line-robot: " << early.standard_error;
        }
        kill(controller, SIGKILL);
    } else {
        kill(chain.virtual_robot(), e.cut == Cut::camera_stalled ? SIGUSR1 : SIGUSR2);
    }
    const test_support::ProcessResult result = chain.finish();
    if (Chain::without_udpsrc(result)) GTEST_SKIP() << "GStreamer's udpsrc (gstreamer1.0-plugins-good) is missing";
    EXPECT_EQ(result.exit_status, 1) << result.standard_error;
    EXPECT_EQ(chain.run_summary()["end_reason"], e.end_reason) << result.standard_error;

    const std::vector<Row> rows = trace_of(chain.robot_folder());
    const std::vector<double> drives = events_of(chain.robot_folder(), "host drive");
    ASSERT_FALSE(drives.empty());
    // The cut: the virtual robot's mark, or (a killed controller) its last drive.
    const std::vector<double> marks = *e.event ? events_of(chain.robot_folder(), e.event) : drives;
    ASSERT_FALSE(marks.empty());
    const double cut = *e.event ? marks.front() : drives.back();
    double moving = 0;
    for (const Row& r : rows) moving = r.time < cut && (r.left != 0 || r.right != 0) ? r.time : moving;
    EXPECT_GT(moving, cut - 2 * STEP) << "the wheels turned up to the cut";
    const double stopped = stopped_at(rows, cut);
    ASSERT_GE(stopped, 0) << "the wheels were still turning at the end";
    EXPECT_LE(stopped - cut, e.window) << "cut at " << cut << " s, stopped at " << stopped << " s";
    if (e.cut == Cut::link_pulled) {
        EXPECT_FALSE(events_of(chain.robot_folder(), "board timeout").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachCut, ChainEnding,
    testing::Values(
        // line-robot writes a stop once its controller is gone; the firmware's timeout would stop it anyway.
        Ending{"controller_killed", Cut::controller_killed, "controller_crashed", "", BOARD_TIMEOUT + 2 * STEP},
        // The newest frame older than stale_limit: line-robot ends the run and writes a stop.
        Ending{"camera_stalled", Cut::camera_stalled, "camera_stale", "camera stalled", STALE_LIMIT + 3 * STEP},
        // No byte reaches the board: its timeout stops the motors.
        Ending{"link_pulled", Cut::link_pulled, "board_lost", "link pulled", BOARD_TIMEOUT + 2 * STEP}),
    [](const testing::TestParamInfo<Ending>& param) { return param.param.name; });

}  // namespace
