// line-sim: runs the controller on the simulated robot, one child process a
// world, and reports how well it followed the line.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <toml++/toml.h>

#include "index_page.hpp"
#include "replay.hpp"
#include "run_files.hpp"
#include "trace.hpp"
#include "trajectory_svg.hpp"
#include "world_file.hpp"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* DEFAULT_SOURCE = "(built-in oval)";
constexpr auto POLL = std::chrono::milliseconds(50);
constexpr double PROGRESS_AFTER = 1.0;  // [s] a run must take before it shows progress
constexpr double GRACE = 5.0;           // [s] a stopped controller has to finish its files

volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_interrupt(int) { interrupted = 1; }

// A usage error or an unusable world: one line, status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Run {
    std::string source;  // the world file, or DEFAULT_SOURCE
    std::string text;    // the world as run, with the command line's overrides
    sim::WorldSettings world;
    std::string folder;
    pid_t pid = 0;
    std::chrono::steady_clock::time_point started;
    bool stopped = false;  // told to stop by line-sim
    int exit_status = -1;  // of the controller: its status, or 128 + the signal that ended it
    nlohmann::json summary;
};

fs::path own_folder() { return fs::canonical("/proc/self/exe").parent_path(); }

// The collection: installed beside the executable, or the source tree's.
fs::path collection_folder() {
    const fs::path installed = own_folder() / ".." / "share" / "line_follower" / "worlds";
    if (fs::is_directory(installed)) return installed;
    return LINE_SIM_SOURCE_WORLDS;
}

std::string read_text(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A world file by path, or by its name in the collection.
fs::path find_world(const std::string& name) {
    if (fs::is_regular_file(name)) return name;
    for (const fs::path& candidate : {collection_folder() / (name + ".toml"), collection_folder() / name}) {
        if (fs::is_regular_file(candidate)) return candidate;
    }
    throw UsageError("line-sim: no world file or collection world named \"" + name + "\" (see line-sim --list)");
}

// The world's TOML with [run] duration and seed replaced where asked.
std::string with_overrides(const std::string& text, const std::string& source, std::optional<double> duration,
                           std::optional<std::int64_t> seed) {
    if (!duration && !seed) return text;
    toml::table root = toml::parse(text, source);  // already checked
    if (!root.contains("run")) root.insert("run", toml::table{});
    toml::table& run = *root["run"].as_table();
    if (duration) run.insert_or_assign("duration", *duration);
    if (seed) run.insert_or_assign("seed", *seed);
    std::ostringstream out;
    out << root << "\n";
    return out.str();
}

void start(Run& run, const fs::path& controller) {
    // Only what line-sim itself wrote may go: a previous run's snapshots would mislead.
    for (const auto& entry : fs::directory_iterator(run.folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("camera-", 0) == 0 && entry.path().extension() == ".png") fs::remove(entry.path());
    }
    for (const char* name : {"trace.csv", "summary.json", "trajectory.svg", "report.txt", "controller-output.txt"}) {
        fs::remove(fs::path(run.folder) / name);
    }
    std::ofstream(fs::path(run.folder) / "world.toml") << run.text;

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        // The simulated robot's library, whatever the caller's search path says.
        const bool replaced = entry.rfind("LINE_SIM_", 0) == 0 || entry.rfind("LD_LIBRARY_PATH=", 0) == 0 ||
                              entry.rfind("LD_PRELOAD=", 0) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.push_back("LINE_SIM_WORLD=" + run.folder + "/world.toml");
    env.push_back("LINE_SIM_OUTPUT=" + run.folder);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = controller.string();
    char* argv[] = {program.data(), nullptr};

    const std::string out = run.folder + "/controller-output.txt", err = run.folder + "/report.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int failed = posix_spawn(&run.pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) run.pid = 0;
    run.started = std::chrono::steady_clock::now();
}

// The run's summary: the simulated robot's own, or, where the controller
// ended before the robot could write it, one worked out from the trace.
void finish(Run& run) {
    const std::string summary_path = run.folder + "/summary.json";
    const sim::Track track(run.world.track);
    const std::vector<line_sim::TraceRow> trace = line_sim::read_trace(run.folder + "/trace.csv");
    try {
        run.summary = nlohmann::json::parse(read_text(summary_path));
    } catch (const nlohmann::json::exception&) {
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
        run.summary = sim::make_summary(run.world.name, run.world.run.seed, trace.empty() ? 0.0 : trace.back().t, wall,
                                        line_sim::replay_metrics(trace, run.world, track.length()),
                                        run.stopped ? "interrupted" : "controller_exited", run.world.camera.width,
                                        run.world.camera.height);
    }
    run.summary["controller_exit_status"] = run.exit_status;
    std::ofstream(summary_path) << run.summary.dump(2) << "\n";
    std::ofstream(run.folder + "/trajectory.svg") << line_sim::trajectory_svg(run.world, track, trace);
    line_sim::write_replay(run.folder, run.world, run.summary);
}

bool ended_normally(const Run& run) {
    const std::string reason = run.summary.value("end_reason", "");
    return run.exit_status == 0 && (reason == "duration" || reason == "off_line" || reason == "off_floor");
}

// The simulated time a run has reached: the last whole line of its trace.
double progress_of(const Run& run) {
    std::ifstream file(run.folder + "/trace.csv", std::ios::binary | std::ios::ate);
    const std::streamoff size = file.tellg();
    if (size <= 0) return 0.0;
    const std::streamoff tail = std::min<std::streamoff>(size, 512);
    std::string text(static_cast<std::size_t>(tail), '\0');
    file.seekg(size - tail);
    file.read(text.data(), tail);
    const auto end = text.find_last_of('\n');
    if (end == std::string::npos || end == 0) return 0.0;
    const auto begin = text.find_last_of('\n', end - 1);
    return std::atof(text.c_str() + (begin == std::string::npos ? 0 : begin + 1));
}

// Runs every world, `jobs` at a time, showing progress on a terminal.
void run_all(std::vector<Run>& runs, unsigned jobs, const fs::path& controller) {
    const bool terminal = isatty(STDERR_FILENO) != 0;
    std::size_t next = 0, running = 0, progress_lines = 0;
    std::optional<std::chrono::steady_clock::time_point> stop_sent;
    while (next < runs.size() || running > 0) {
        if (interrupted && !stop_sent) {
            stop_sent = std::chrono::steady_clock::now();
            for (Run& run : runs) {
                if (run.pid > 0 && run.exit_status < 0) {
                    run.stopped = true;
                    kill(run.pid, SIGTERM);
                }
            }
        }
        if (stop_sent && std::chrono::duration<double>(std::chrono::steady_clock::now() - *stop_sent).count() > GRACE) {
            for (Run& run : runs) {
                if (run.pid > 0 && run.exit_status < 0) kill(run.pid, SIGKILL);
            }
        }
        while (!interrupted && next < runs.size() && running < jobs) {
            start(runs[next], controller);
            if (runs[next].pid > 0) {
                ++running;
            } else {
                runs[next].exit_status = 127;
                finish(runs[next]);
            }
            ++next;
        }
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended > 0) {
            for (Run& run : runs) {
                if (run.pid != ended) continue;
                run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                --running;
                finish(run);
            }
            continue;  // another may have ended too
        }
        if (terminal) {
            // One line a running world, redrawn in place.
            std::string lines;
            std::size_t count = 0;
            for (const Run& run : runs) {
                if (run.pid <= 0 || run.exit_status >= 0) continue;
                const double busy = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
                if (busy < PROGRESS_AFTER) continue;
                char line[256];
                std::snprintf(line, sizeof line, "  %-20s %8.1f of %.1f s simulated\n", run.world.name.c_str(),
                              progress_of(run), run.world.run.duration);
                lines += line;
                ++count;
            }
            for (std::size_t i = 0; i < progress_lines; ++i) std::fputs("\033[1A\033[2K", stderr);
            std::fputs(lines.c_str(), stderr);
            progress_lines = count;
        }
        std::this_thread::sleep_for(POLL);
    }
    for (std::size_t i = 0; i < progress_lines; ++i) std::fputs("\033[1A\033[2K", stderr);
}

void print_table(const std::vector<Run>& runs) {
    std::printf("%-20s %5s %10s %10s %10s %9s %-18s %10s\n", "world", "laps", "best lap", "mean err", "max err",
                "off line", "end", "real time");
    for (const Run& run : runs) {
        if (run.summary.is_null()) continue;
        const nlohmann::json& s = run.summary;
        const auto laps = s["lap_times_s"].get<std::vector<double>>();
        char best[32] = "-";
        if (!laps.empty()) std::snprintf(best, sizeof best, "%.2f s", *std::min_element(laps.begin(), laps.end()));
        std::string end = s["end_reason"].get<std::string>();
        if (run.exit_status != 0) end += " (" + std::to_string(run.exit_status) + ")";
        std::printf("%-20s %5zu %10s %7.2f mm %7.2f mm %7.2f s %-18s %9.0fx\n", s["world"].get<std::string>().c_str(),
                    laps.size(), best, 1000 * s["mean_abs_lateral_error_m"].get<double>(),
                    1000 * s["max_abs_lateral_error_m"].get<double>(), s["time_off_line_s"].get<double>(), end.c_str(),
                    s["real_time_factor"].get<double>());
    }
}

void list_collection() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(collection_folder())) {
        if (entry.path().extension() == ".toml") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const sim::WorldSettings world = sim::load_world_file(file.string());
        double smallest = INFINITY;
        bool corners = false;
        for (const sim::SegmentSettings& s : world.track.segments) {
            if (s.radius > 0) smallest = std::min(smallest, s.radius);
            corners = corners || s.corner != 0.0;
        }
        char radius[64] = "straight only";
        if (corners) {
            std::snprintf(radius, sizeof radius, "sharp corners");
        } else if (std::isfinite(smallest)) {
            std::snprintf(radius, sizeof radius, "smallest radius %.3f m", smallest);
        }
        const std::vector<sim::Piece> pieces = sim::lay_pieces(world.track);
        std::printf("%-20s %9.2f m   %s\n", file.stem().c_str(), pieces.back().start_distance + pieces.back().length,
                    radius);
    }
}

int run_line_sim(int argc, char** argv) {
    CLI::App app{"Runs the line-following controller on the simulated robot, one world at a time or several at\n"
                 "once, and writes each run's summary, trace, camera snapshots and trajectory picture."};
    std::vector<std::string> names;
    std::string out = "runs";
    std::optional<double> duration;
    std::optional<std::int64_t> seed;
    unsigned jobs = std::max(1U, std::thread::hardware_concurrency());
    bool list = false;
    app.add_option("WORLD", names, "A world file, or the name of a world in the collection (default: the built-in oval)");
    app.add_option("--out", out, "Folder for the runs' files, one folder a world")->capture_default_str();
    app.add_option("--duration", duration, "Simulated seconds to run, instead of the world's [run] duration")
        ->check(CLI::PositiveNumber);
    app.add_option("--seed", seed, "Seed instead of the world's [run] seed")->check(CLI::NonNegativeNumber);
    app.add_option("--jobs", jobs, "Worlds run at once")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_flag("--list", list, "List the collection's worlds with their length and smallest radius");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        throw UsageError(std::string("line-sim: ") + e.what() + " (see line-sim --help)");
    }
    if (duration && !std::isfinite(*duration)) throw UsageError("line-sim: --duration: expected a finite number of seconds");
    if (list) {
        list_collection();
        return 0;
    }

    // Every world is read and checked before anything runs.
    std::vector<Run> runs;
    const auto add = [&runs](std::string source, std::string text) {
        Run& run = runs.emplace_back();
        run.source = std::move(source);
        run.text = std::move(text);
    };
    if (names.empty()) add(DEFAULT_SOURCE, std::string(sim::DEFAULT_WORLD));
    for (const std::string& name : names) {
        const fs::path path = find_world(name);
        add(path.string(), read_text(path));
    }
    std::map<std::string, int> folders;
    for (Run& run : runs) {
        try {
            run.world = sim::parse_world(run.text, run.source);
        } catch (const sim::WorldError& error) {
            throw UsageError(error.what());
        }
        run.text = with_overrides(run.text, run.source, duration, seed);
        run.world = sim::parse_world(run.text, run.source);
        // Two worlds of one name get folders of their own.
        const int count = ++folders[run.world.name];
        run.folder = (fs::path(out) / (run.world.name + (count > 1 ? "-" + std::to_string(count) : ""))).string();
    }
    for (const Run& run : runs) fs::create_directories(run.folder);

    const fs::path controller = own_folder() / "line_follower";
    if (!fs::is_regular_file(controller)) {
        std::fprintf(stderr, "line-sim: cannot find the controller at %s\n", controller.c_str());
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    run_all(runs, jobs, controller);

    print_table(runs);
    bool all_normal = !interrupted;
    for (const Run& run : runs) {
        if (run.summary.is_null()) continue;
        std::printf("%s: %s/trajectory.svg, summary.json, trace.csv, camera-*.png\n", run.world.name.c_str(),
                    run.folder.c_str());
        all_normal = all_normal && ended_normally(run);
    }
    std::vector<line_sim::IndexRow> index;
    for (const Run& run : runs) {
        if (!run.summary.is_null()) index.push_back({fs::path(run.folder).lexically_relative(out), run.summary});
    }
    line_sim::write_index(out, index, "");
    if (interrupted) std::fprintf(stderr, "line-sim: interrupted; what was recorded so far is kept\n");
    return all_normal ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run_line_sim(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    } catch (const sim::WorldError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "line-sim: %s\n", error.what());
        return 1;
    }
}
