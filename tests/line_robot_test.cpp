// line-robot and the real robot's library, black box: the motor board played
// by the test through a pseudo-terminal, the camera a live test source or a
// video made here, and every way a run ends checked for its stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "board_link.hpp"
#include "process.hpp"
#include "robot_run.hpp"

namespace {

using test_support::fresh_folder;
using test_support::read_file;

// A motor board on the far side of a pseudo-terminal: it greets (after a
// delay, as a board that resets on open), answers each valid line "ok", and
// keeps every line it was sent.
class Board {
public:
    struct Behaviour {
        double greet_after = 0.2;  // [s] after the port is opened; < 0: never greets by itself
        bool answer_hello = true;
        int answers = 1 << 30;  // lines answered, then silent
        bool damage = false;    // a damaged line of its own before each answer
    };
    explicit Board(Behaviour behaviour) : behaviour_(behaviour) {
        EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        path_ = ttyname(slave_);
        thread_ = std::thread([this] { play(); });
    }
    ~Board() {
        done_ = true;
        thread_.join();
        close(master_);
        close(slave_);
    }
    const std::string& path() const { return path_; }
    // What it was sent, once the last bytes have been read (it reads every 2 ms).
    std::vector<std::string> lines() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void say(const std::string& body) {
        const std::string line = robot::framed_line(body);
        [[maybe_unused]] const ssize_t n = write(master_, line.data(), line.size());
    }
    void play() {
        const auto start = std::chrono::steady_clock::now();
        bool greeted = false;
        std::string pending;
        int answered = 0;
        while (!done_) {
            const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!greeted && behaviour_.greet_after >= 0 && since >= behaviour_.greet_after) {
                say("boot noise");  // a line before the greeting, passed over
                say("hello 1 test-board");
                greeted = true;
            }
            char bytes[256];
            const ssize_t n = read(master_, bytes, sizeof bytes);  // non-blocking below
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            for (const char c : std::string(bytes, static_cast<std::size_t>(n))) {
                if (c != '\n') {
                    pending += c;
                    continue;
                }
                if (!pending.empty()) {
                    const auto body = robot::checked_body(pending);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        lines_.push_back(body ? std::string(*body) : "damaged:" + pending);
                    }
                    if (body && *body == "hello" && behaviour_.answer_hello) say("hello 1 test-board");
                    if (body && *body != "hello" && answered++ < behaviour_.answers) {
                        if (behaviour_.damage) write(master_, "ok*00\n", 6);
                        say("ok");
                    }
                }
                pending.clear();
            }
        }
    }

    Behaviour behaviour_;
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<std::string> lines_;

public:
    void set_nonblocking() { fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK); }
};

std::string robot_file(const std::string& folder, const std::string& port, const std::string& camera, double duration) {
    const std::string path = folder + "/robot.toml";
    std::ofstream(path) << "name = \"test robot\"\n[camera]\npipeline = \"" << camera
                        << "\"\nwidth = 64\nheight = 48\nstale_limit = 0.5\n[board]\nport = \"" << port
                        << "\"\nreset_wait = 1.0\nanswer_timeout = 0.5\nsilent_limit = 0.3\n[run]\nduration = "
                        << duration << "\n";
    return path;
}

constexpr const char* LIVE = "videotestsrc is-live=true pattern=smpte";

nlohmann::json summary_of(const std::string& run) { return nlohmann::json::parse(read_file(run + "/summary.json")); }

int drives(const std::vector<std::string>& lines) {
    int n = 0;
    for (const std::string& line : lines) n += line.rfind("drive ", 0) == 0 ? 1 : 0;
    return n;
}

// The last line the board was sent: a run that ends leaves its motors stopped.
std::string last(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

struct Ending {
    const char* name;
    Board::Behaviour board;
    std::vector<std::string> controller;  // misbehaving_controller's mode, or empty: line_follower
    const char* camera;
    int signal;  // sent to line-robot (or, for SIGKILL, to the controller) 1 s into the run
    const char* end_reason;
    int exit_status;
};

void PrintTo(const Ending& e, std::ostream* out) { *out << e.name; }

class LineRobotEnding : public testing::TestWithParam<Ending> {};

TEST_P(LineRobotEnding, StopsTheMotors) {
    const Ending& e = GetParam();
    Board board(e.board);
    board.set_nonblocking();
    const std::string folder = fresh_folder();
    const std::string robot = robot_file(folder, board.path(), e.camera, 3.0);
    std::vector<std::string> arguments = {robot, "-o", folder + "/run"};
    if (!e.controller.empty()) {
        arguments.insert(arguments.end(), {"--controller", MISBEHAVING_CONTROLLER_EXE, "--"});
        arguments.insert(arguments.end(), e.controller.begin(), e.controller.end());
    }
    const test_support::StartedProcess started = test_support::start_process(LINE_ROBOT_EXE, arguments);
    if (e.signal != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        if (e.signal == SIGKILL) {
            // The controller, line-robot's grandchild (the child of its guard), and none of another test's.
            const std::string guard = "$(pgrep -P " + std::to_string(started.pid) + ")";
            ASSERT_EQ(std::system(("pkill -KILL -P " + guard).c_str()), 0);
        } else {
            kill(started.pid, e.signal);
        }
    }
    const test_support::ProcessResult result = test_support::wait_process(started);
    EXPECT_EQ(result.exit_status, e.exit_status) << result.standard_error;
    const nlohmann::json summary = summary_of(folder + "/run");
    EXPECT_EQ(summary["end_reason"], e.end_reason) << result.standard_error;
    const std::vector<std::string> lines = board.lines();
    EXPECT_EQ(last(lines), "stop") << result.standard_error;
    EXPECT_GT(drives(lines), 0);
    // One drive line a step, none lost: the steps the run counted (and the one that ended it) were each sent.
    // (A controller that crashes or is killed may take the trace's last rows, up to a second's, with it.)
    const auto steps = summary["steps"].get<int>();
    EXPECT_GE(drives(lines), steps);
    if (e.controller.empty()) {
        EXPECT_LE(drives(lines), steps + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryWayARunEnds, LineRobotEnding,
    testing::Values(
        Ending{"duration", {}, {}, LIVE, 0, "duration", 0}, Ending{"ctrl_c", {}, {}, LIVE, SIGINT, "interrupted", 0},
        Ending{"sighup", {}, {}, LIVE, SIGHUP, "interrupted", 0},
        Ending{"controller_crash", {}, {"crash", "40"}, LIVE, 0, "controller_crashed", 1},
        Ending{"controller_killed", {}, {"slow"}, LIVE, SIGKILL, "controller_crashed", 1},
        Ending{"silent_board", {.answers = 20}, {}, LIVE, 0, "board_lost", 1},
        Ending{"damaged_answers", {.damage = true}, {}, LIVE, 0, "duration", 0},
        Ending{"greeted_only_when_asked", {.greet_after = -1}, {}, LIVE, 0, "duration", 0},
        // A finite source given as the camera: its end is the run's, a normal one.
        Ending{"finite_source", {}, {}, "videotestsrc num-buffers=40", 0, "camera_ended", 0},
        // A frame every 2 s: stale past camera.stale_limit.
        Ending{"stale_camera", {}, {}, "videotestsrc is-live=true ! video/x-raw,framerate=1/2", 0, "camera_stale", 1}),
    [](const testing::TestParamInfo<Ending>& param) { return param.param.name; });

// Settings that cannot work: one line naming the setting, status 2, nothing written to the board.
TEST(LineRobot, RefusesWhatCannotWorkBeforeAnythingMoves) {
    const std::string folder = fresh_folder();
    Board silent({.greet_after = -1, .answer_hello = false});
    silent.set_nonblocking();
    struct Case {
        std::string port, camera, says;
    } cases[] = {
        {"/dev/does-not-exist", LIVE, "board.port: /dev/does-not-exist: no such device"},
        {"/etc/hostname", LIVE, "not a serial port"},
        {silent.path(), LIVE, "no greeting from the board"},
        {silent.path(), "no-such-element", "camera.pipeline"},
    };
    int k = 0;
    for (const Case& c : cases) {
        const std::string dir = folder + "/" + std::to_string(k++);
        std::filesystem::create_directories(dir);
        const test_support::ProcessResult result =
            test_support::run_process(LINE_ROBOT_EXE, {robot_file(dir, c.port, c.camera, 1.0), "-o", dir + "/run"});
        EXPECT_EQ(result.exit_status, 2) << c.says;
        EXPECT_NE(result.standard_error.find(c.says), std::string::npos) << result.standard_error;
    }
    for (const std::string& line : silent.lines()) EXPECT_EQ(line, "hello");  // asked its greeting, nothing more
}

// Footage: the recorded frames again give the recorded speeds, bit for bit;
// another controller's differences are shown, and --max-difference fails on them.
TEST(LineRobot, FootageGivesTheRecordedSpeeds) {
    const std::string folder = fresh_folder();
    const std::string robot = robot_file(folder, "", LIVE, 1.5);
    ASSERT_EQ(test_support::run_process(LINE_ROBOT_EXE, {robot, "--dry-run", "-o", folder + "/live"}).exit_status, 0);
    const test_support::ProcessResult same =
        test_support::run_process(LINE_ROBOT_EXE, {robot, "--footage", folder + "/live", "-o", folder + "/again"});
    EXPECT_EQ(same.exit_status, 0) << same.standard_error;
    EXPECT_NE(same.standard_output.find("the same speeds as recorded, bit for bit"), std::string::npos)
        << same.standard_output;
    EXPECT_EQ(summary_of(folder + "/again")["end_reason"], "footage_ended");
    const test_support::ProcessResult other = test_support::run_process(
        LINE_ROBOT_EXE, {robot, "--footage", folder + "/live", "--controller", EDGE_FOLLOWER_EXE, "--max-difference",
                         "0.1", "-o", folder + "/other"});
    EXPECT_EQ(other.exit_status, 1);
    EXPECT_NE(other.standard_output.find("set other speeds than recorded"), std::string::npos) << other.standard_output;
}

// The Python example on the C example's footage, its gain a parameter on both: the same speeds, bit for bit.
TEST(LineRobot, PythonControllerOnFootage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "Debian's python3 cannot load the sanitizer-built libController.so; the default build runs this";
#endif
    const std::string folder = fresh_folder();
    const std::string robot = robot_file(folder, "", LIVE, 1.0);
    ASSERT_EQ(test_support::run_process(LINE_ROBOT_EXE, {robot, "--dry-run", "--controller", EDGE_FOLLOWER_EXE, "--set",
                                                         "param.gain=3", "-o", folder + "/c"})
                  .exit_status,
              0);
    const test_support::ProcessResult python = test_support::run_process(
        LINE_ROBOT_EXE, {robot, "--footage", folder + "/c", "--controller", EDGE_FOLLOWER_PY, "--set", "param.gain=3",
                         "--max-difference", "0", "-o", folder + "/py"});
    EXPECT_EQ(python.exit_status, 0) << python.standard_error;
    EXPECT_NE(python.standard_output.find("bit for bit"), std::string::npos) << python.standard_output;
}

}  // namespace
