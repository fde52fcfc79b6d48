// line-robot: runs a controller on a real robot (or on its recorded footage)
// through the real robot's library, records the run into a folder of a
// simulated run's layout, and makes sure the motors are stopped however the
// run ends.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "board_link.hpp"
#include "checked_toml.hpp"  // printable
#include "child_process.hpp"
#include "command_line.hpp"
#include "controller_file.hpp"
#include "controller_params.hpp"
#include "file_names.hpp"
#include "files.hpp"
#include "frame_codec.hpp"
#include "installed.hpp"
#include "replay.hpp"
#include "robot_file.hpp"
#include "robot_run.hpp"
#include "run_plan.hpp"
#include "runner.hpp"
#include "trace.hpp"

namespace fs = std::filesystem;
using line_sim::UsageError;

namespace {

constexpr const char* ROBOT_FILE = "robot.toml";  // the robot file as run, in the run's folder

constexpr const char* EXIT_STATUSES = R"(
The run's folder (-o DIR, or run.record_folder/NAME-TIME) gets robot.toml (the robot file as run),
  trace.csv (t, left, right, frame_age, late, overruns: a row a step), camera-frames.bin, summary.json,
  replay.html, report.txt (the robot library's report) and controller-output.txt.
Exit status: 0 the run ended normally (run.duration, the footage's end, Ctrl-C, the controller ended
  it); 1 it failed (the camera or the board lost, the controller crashed, --max-difference passed);
  2 a usage error, or a robot file, controller, camera or port that cannot work (nothing moved).)";

volatile std::sig_atomic_t signals_seen = 0;
extern "C" void on_signal(int) { signals_seen = signals_seen + 1; }

struct Options {
    std::string robot_file, out, controller, footage;
    bool dry_run = false;
    std::vector<std::string> sets, controller_arguments;
    std::optional<double> max_difference;
};

Options parse_options(int argc, char** argv) {
    Options options;
    options.controller_arguments = line_sim::controller_arguments(argc, argv);
    CLI::App app{
        "Runs a line-following controller on a real robot: its camera through GStreamer, its motors\n"
        "through the motor board's serial link, one 32 ms step after another; records the run.\n"
        "  line-robot ROBOT.toml [options] [-- CONTROLLER ARGUMENTS]"};
    app.footer(EXIT_STATUSES);
    app.set_version_flag("--version", std::string("line-robot ") + LINE_SIM_VERSION);
    app.add_option("ROBOT", options.robot_file, "The robot file (robots/*.toml are examples)")->required();
    app.add_option("-o,--out", options.out, "The run's folder (made; must be new or empty)");
    app.add_option("--controller", options.controller,
                   "An executable that uses the robot library (libController.so), or a Python script (NAME.py, "
                   "run by /usr/bin/python3 with the module robot_interface) (default: this project's "
                   "line_follower). Its arguments follow --");
    app.add_flag("--dry-run", options.dry_run, "Everything but the motors: no board is opened");
    app.add_option("--footage", options.footage,
                   "A video file, or an earlier run's folder or camera-frames.bin: its frames, one a step in order, "
                   "as fast as the controller takes them, instead of the camera; motors off. Against a run's "
                   "folder, the speeds set are compared with the ones it recorded");
    app.add_option("--max-difference", options.max_difference,
                   "With --footage of a run: exit status 1 where a speed set differs from the recorded one by "
                   "more than this [rad/s]")
        ->check(line_sim::at_least(0, true, "a difference in rad/s from 0"));
    app.add_option("--set", options.sets,
                   "KEY=VALUE: a robot file key by its dotted name, VALUE in TOML (camera.width=80); or a "
                   "controller parameter param.NAME=TEXT, which the controller gets as LINE_SIM_PARAM_NAME; "
                   "repeatable");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        line_sim::parse_error(app, error, "line-robot");
    }
    if (options.dry_run && !options.footage.empty())
        throw UsageError("line-robot: --dry-run and --footage: choose one (footage drives no motor either)");
    if (options.max_difference && options.footage.empty())
        throw UsageError("line-robot: --max-difference: compares with --footage of a run; give --footage");
    return options;
}

// The run's folder: made, and new or empty, so that nothing of an earlier run is mixed in or lost.
std::string make_run_folder(const Options& options, const robot::RobotSettings& robot) {
    std::string folder = options.out;
    if (folder.empty()) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
        std::string name;
        for (const char c : robot.name) name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
        folder = robot.run.record_folder + "/" + name + "-" + stamp;
    }
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder))
        throw UsageError("line-robot: " + folder + ": cannot be made (" + error.message() + ")");
    if (!fs::is_empty(folder, error))
        throw UsageError("line-robot: " + folder + ": holds files already: give a new or empty folder with -o");
    return folder;
}

// The reference trace of --footage: the run's folder it names, or the folder of its camera-frames.bin.
std::string footage_trace(const std::string& footage) {
    const fs::path path(footage);
    const fs::path folder = fs::is_directory(path) ? path : path.parent_path();
    if (fs::is_directory(path) || path.filename() == sim::FRAMES_FILE) {
        sim::RobotTraceReader reader((folder / sim::TRACE_FILE).string());
        if (reader.is_robot_trace()) return (folder / sim::TRACE_FILE).string();
    }
    return "";
}

// The speeds set on the footage against the recording's, step by step; false past `most`.
bool compare_speeds(const std::string& recorded, const std::string& now, std::optional<double> most) {
    sim::RobotTraceReader a(recorded), b(now);
    std::int64_t steps = 0, differing = 0;
    double largest = 0.0, first_t = 0.0, largest_t = 0.0;
    for (sim::RobotTraceRow x{}, y{}; a.next(x) && b.next(y); ++steps) {
        const double d = std::max(std::abs(x.left - y.left), std::abs(x.right - y.right));
        if (x.left == y.left && x.right == y.right) continue;
        if (differing++ == 0) first_t = y.t;
        if (!(d <= largest)) largest = d, largest_t = y.t;
    }
    if (differing == 0) {
        std::printf("footage: %lld steps compared: the same speeds as recorded, bit for bit\n",
                    static_cast<long long>(steps));
    } else {
        std::printf(
            "footage: %lld of %lld steps set other speeds than recorded; the first at %.3f s, the largest "
            "difference %.6g rad/s at %.3f s\n",
            static_cast<long long>(differing), static_cast<long long>(steps), first_t, largest, largest_t);
    }
    return !most || largest <= *most;
}

// A stop written to the board, blind: the controller is gone, perhaps without its own stop.
void stop_board(const robot::RobotSettings& robot) {
    const int fd = ::open(robot.board.port.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "line-robot: could not write a stop to %s (%s): the board stops by itself\n",
                     robot.board.port.c_str(), std::strerror(errno));
        return;
    }
    [[maybe_unused]] const ssize_t n = ::write(fd, robot::STOP_LINE.data(), robot::STOP_LINE.size());
    tcdrain(fd);
    ::close(fd);
    std::fprintf(stderr, "line-robot: the controller ended without closing the robot; a stop was written to %s\n",
                 robot.board.port.c_str());
}

// What the robot's library said (its report, a failure's line), shown as it stands: bounded.
void show_report(const std::string& folder) {
    std::ifstream report(folder + "/" + sim::REPORT_FILE);
    std::string line;
    for (int lines = 0; std::getline(report, line) && lines < 40; ++lines)
        if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
}

int run_line_robot(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    std::vector<line_sim::Setting> settings;
    sim::LineSimFacts facts;
    for (const std::string& text : options.sets) {
        line_sim::Setting setting = line_sim::parse_setting(text, "--set");
        if (line_sim::is_param(setting.key))
            facts.params[setting.key.substr(std::string_view(line_sim::PARAM_PREFIX).size())] = setting.value;
        else
            settings.push_back(std::move(setting));
    }
    const std::string robot_text = robot::read_robot_text(options.robot_file);
    std::string stem = fs::path(options.robot_file).stem().string();
    const std::string text = line_sim::apply_settings(robot_text, options.robot_file, stem, settings);
    const robot::RobotSettings robot = robot::parse_robot(text, options.robot_file);
    if (options.footage.empty() && !options.dry_run && robot.board.port.empty())
        throw UsageError("line-robot: " + options.robot_file +
                         ": board.port names no motor board: set it, or run with --dry-run");
    if (!options.footage.empty() && !fs::exists(options.footage))
        throw UsageError("line-robot: --footage " + options.footage + ": no such file or folder");

    line_sim::Controller controller;
    controller.given =
        options.controller.empty() ? (line_sim::own_folder() / "line_follower").string() : options.controller;
    controller.path = fs::absolute(controller.given);
    controller.arguments = options.controller_arguments;
    line_sim::HeldController held(controller.path.string());
    const line_sim::ControllerFile& file = held.file();
    if (!file.problem.empty()) throw UsageError("line-robot: controller " + controller.given + ": " + file.problem);
    controller.held = &held;
    controller.library = line_sim::robot_library();
    controller.preload = file.old_rpath;
    controller.python_modules = line_sim::python_modules();
    std::error_code not_same;
    controller.own = options.controller.empty() ||
                     fs::equivalent(controller.path, line_sim::own_folder() / "line_follower", not_same);
    facts.controller = controller.given;
    facts.arguments = line_sim::put_params(controller.arguments, facts.params);

    const std::string folder = make_run_folder(options, robot);
    sim::write_file(folder + "/" + ROBOT_FILE, text);
    int script = -1;
    line_sim::ChildSpec child = line_sim::controller_child(controller, folder, facts, script);
    child.environment.push_back("LINE_ROBOT_FILE=" + folder + "/" + ROBOT_FILE);
    child.environment.push_back("LINE_ROBOT_OUTPUT=" + folder);
    if (options.dry_run) child.environment.push_back("LINE_ROBOT_DRY_RUN=1");
    if (!options.footage.empty())
        child.environment.push_back("LINE_ROBOT_FOOTAGE=" + fs::absolute(options.footage).string());

    // Ctrl-C, SIGTERM, SIGHUP: the controller is asked to stop (its robot
    // stops the motors and ends the run); a second time, it is killed.
    struct sigaction action {};
    action.sa_handler = on_signal;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    const line_sim::GuardedChild started = line_sim::start_guarded_child(child);
    if (script >= 0) close(script);
    if (started.guard < 0) throw std::runtime_error("cannot start " + controller.given + ": " + std::strerror(errno));
    close(started.record_fd);
    int wait_status = 0;
    for (int asked = 0;;) {
        if (waitpid(started.guard, &wait_status, 0) == started.guard) break;
        if (errno != EINTR)
            throw std::runtime_error(std::string("waiting for the controller: ") + std::strerror(errno));
        if (signals_seen > asked) {
            (asked++ == 0 ? line_sim::stop_guarded_child : line_sim::kill_guarded_child)(started.guard);
        }
    }
    facts.controller_exit_status = line_sim::exit_status_of(wait_status);
    show_report(folder);
    if (facts.controller_exit_status == 2 && !fs::exists(folder + "/" + sim::TRACE_FILE) &&
        !fs::exists(sim::part_name(folder + "/" + sim::TRACE_FILE)))
        return 2;  // the robot refused its settings before anything moved; it said why

    // The run's files completed, and its summary where the controller took it down with it.
    sim::complete_cut_trace(folder + "/" + sim::TRACE_FILE);
    sim::complete_cut_frames(folder + "/" + sim::FRAMES_FILE);
    nlohmann::json summary;
    try {
        std::ifstream in(folder + "/" + sim::SUMMARY_FILE);
        summary = sim::to_json(sim::robot_summary_from_json(nlohmann::json::parse(in)));
    } catch (const std::exception&) {
        if (options.footage.empty() && !options.dry_run) stop_board(robot);
        sim::RobotSummary s;
        s.robot = robot.name;
        s.mode = !options.footage.empty() ? "footage" : options.dry_run ? "dry_run" : "live";
        s.end_reason = "controller_crashed";
        s.camera_width = robot.camera.width;
        s.camera_height = robot.camera.height;
        sim::RobotTraceReader trace(folder + "/" + sim::TRACE_FILE);
        for (sim::RobotTraceRow row{}; trace.next(row); ++s.steps)
            s.time_s = row.t, s.overruns = std::llround(row.overruns);
        summary = sim::to_json(s);
        sim::write_file(folder + "/" + sim::SUMMARY_FILE, summary.dump(2) + "\n");
    }
    sim::write_file(folder + "/" + sim::LINE_SIM_FILE, sim::to_json(facts).dump(2) + "\n");
    try {
        line_sim::write_robot_replay(folder, summary, controller.own);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "line-robot: %s\n", error.what());
    }
    const std::string end = summary.at("end_reason").get<std::string>();
    const sim::RobotEnd* how = sim::robot_end(end);
    bool fine = how != nullptr && how->normal && facts.controller_exit_status == 0;
    std::printf("%s: %lld steps, %s; the run is in %s\n", robot.name.c_str(),
                static_cast<long long>(summary.at("steps").get<std::int64_t>()), how ? how->sentence : end.c_str(),
                folder.c_str());
    if (facts.controller_exit_status != 0)
        std::printf("the controller's exit status was %d\n", facts.controller_exit_status);
    if (const std::string reference = footage_trace(options.footage); !reference.empty())
        fine = compare_speeds(reference, folder + "/" + sim::TRACE_FILE, options.max_difference) && fine;
    return fine ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!line_sim::prepare_process()) return 2;
    try {
        return run_line_robot(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s\n", sim::printable(error.what()).c_str());
        return 2;
    } catch (const robot::RobotFileError& error) {
        std::fprintf(stderr, "line-robot: %s\n", sim::printable(error.what()).c_str());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "line-robot: %s\n", sim::printable(error.what()).c_str());
        return 1;
    }
}
