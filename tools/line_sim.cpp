// line-sim: runs the controller on the simulated robot, one child process a
// world, and reports how well it followed the line.
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <toml++/toml.h>

#include "child_process.hpp"
#include "files.hpp"
#include "run_folder.hpp"
#include "run_summary.hpp"
#include "trace.hpp"
#include "trajectory_svg.hpp"
#include "world_file.hpp"

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
    line_sim::RunFolder run_folder;
    std::string folder;  // run_folder's path
    pid_t pid = 0;
    std::chrono::steady_clock::time_point started;
    bool stopped = false;  // told to stop by line-sim
    int exit_status = -1;  // of the controller: its status, or 128 + the signal that ended it
    std::optional<sim::RunSummary> summary;
    std::string error;  // why the run's files are not all there, one line, or empty
};

fs::path own_folder() { return fs::canonical("/proc/self/exe").parent_path(); }

// The collection: installed beside the executable, or the source tree's.
fs::path collection_folder() {
    const fs::path installed = own_folder() / ".." / "share" / "line_follower" / "worlds";
    if (fs::is_directory(installed)) return installed;
    return LINE_SIM_SOURCE_WORLDS;
}

// A world file by path, or by its name in the collection. Anything at the
// path (a link loop, a FIFO, a folder) is taken as meant, for the reader to
// refuse with its reason.
fs::path find_world(const std::string& name) {
    std::error_code error;
    if (fs::symlink_status(name, error).type() != fs::file_type::not_found && !error) return name;
    for (const fs::path& candidate : {collection_folder() / (name + ".toml"), collection_folder() / name}) {
        if (fs::is_regular_file(candidate, error)) return candidate;
    }
    throw UsageError("line-sim: no world file or collection world named \"" + name + "\" (see line-sim --list)");
}

// The world's TOML with [run] duration and seed replaced where asked, and
// named: a world without a name is called by its file's name, and world.toml
// in the run's folder must say so (it is what the simulated robot reads).
std::string with_overrides(const std::string& text, const std::string& source, const sim::WorldSettings& world,
                           std::optional<double> duration, std::optional<std::int64_t> seed) {
    if (!duration && !seed) {
        if (text.find("name") != std::string::npos && toml::parse(text, source).contains("name")) return text;
        std::ostringstream named;
        named << "name = " << toml::value<std::string>(world.name) << "\n" << text;
        return named.str();
    }
    toml::table root = toml::parse(text, source);  // already checked
    root.insert_or_assign("name", world.name);
    if (!root.contains("run")) root.insert("run", toml::table{});
    toml::table& run = *root["run"].as_table();
    if (duration) run.insert_or_assign("duration", *duration);
    if (seed) run.insert_or_assign("seed", *seed);
    std::ostringstream out;
    out << root << "\n";
    return out.str();
}

void start(Run& run, const fs::path& controller) {
    run.started = std::chrono::steady_clock::now();
    try {
        sim::write_file(run.folder + "/world.toml", run.text);
    } catch (const sim::FileError& error) {
        run.error = error.what();
        return;
    }
    // The simulated robot's library, whatever the caller's search path says.
    line_sim::ChildSpec child{controller.string(), {},
                              line_sim::environment_without({"LINE_SIM_", "LD_LIBRARY_PATH=", "LD_PRELOAD="}),
                              run.folder + "/controller-output.txt", run.folder + "/report.txt", ""};
    child.environment.push_back("LINE_SIM_WORLD=" + run.folder + "/world.toml");
    child.environment.push_back("LINE_SIM_OUTPUT=" + run.folder);
    run.pid = line_sim::start_child(child);
    if (run.pid < 0) run.error = "cannot start " + controller.string() + ": " + std::strerror(errno);
}

// The lines in which the simulated robot said which file it could not write.
std::string write_failures(const Run& run) {
    std::ifstream report(run.folder + "/report.txt");
    std::string lines;
    for (std::string line; std::getline(report, line);) {
        if (line.rfind("simulated robot: ", 0) == 0 && line.find("cannot be written") != std::string::npos) {
            lines += (lines.empty() ? "" : "; ") + line.substr(17);
        }
    }
    return lines;
}

// The run's summary: the simulated robot's own, or, where the controller
// ended before the robot could write it, one worked out from the trace.
void finish_files(Run& run) {
    const std::string summary_path = run.folder + "/summary.json", trace_path = run.folder + "/trace.csv";
    line_sim::complete_cut_trace(trace_path);
    const sim::Track track(run.world.track);
    try {
        std::ifstream file(summary_path);
        run.summary = sim::summary_from_json(nlohmann::json::parse(file));
    } catch (const nlohmann::json::exception&) {
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
        const sim::Metrics metrics = line_sim::replay_metrics(trace_path, run.world, track.length());
        // A controller that ended well, without the robot's summary: the robot could not write it.
        const sim::EndReason reason = run.stopped             ? sim::EndReason::interrupted
                                      : run.exit_status == 0 ? sim::EndReason::files_not_written
                                                             : sim::EndReason::controller_exited;
        double sim_time = 0.0;
        {
            line_sim::TraceReader trace(trace_path);
            for (line_sim::TraceRow row{}; trace.next(row);) sim_time = row.t;
        }
        run.summary = sim::summarise(run.world, sim_time, wall, metrics, reason);
    }
    run.summary->controller_exit_status = run.exit_status;
    if (run.summary->end_reason == sim::EndReason::files_not_written && run.error.empty()) {
        const std::string said = write_failures(run);
        run.error = said.empty() ? run.folder + ": the run's files could not be written" : said;
    }
    sim::write_file(summary_path, sim::to_json(*run.summary).dump(2) + "\n");
    sim::write_file(run.folder + "/trajectory.svg", line_sim::trajectory_svg(run.world, track, trace_path));
    line_sim::write_manifest(run.run_folder);
}

void finish(Run& run) {
    try {
        finish_files(run);
    } catch (const sim::FileError& error) {
        if (run.error.empty()) run.error = error.what();
    } catch (const std::bad_alloc&) {
        if (run.error.empty()) run.error = run.folder + ": out of memory while completing the run's files";
    }
}

bool ended_normally(const Run& run) {
    return run.exit_status == 0 && run.error.empty() && run.summary && sim::end_reason_info(run.summary->end_reason).normal;
}

// The simulated time a run has reached: the last whole line of its trace.
double progress_of(const Run& run) {
    std::ifstream file(sim::part_name(run.folder + "/trace.csv"), std::ios::binary | std::ios::ate);
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
            }
            ++next;
        }
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended > 0) {
            for (Run& run : runs) {
                if (run.pid != ended) continue;
                run.exit_status = line_sim::exit_status_of(status);
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
        if (!run.summary) continue;
        const sim::RunSummary& s = *run.summary;
        char best[32] = "-";
        if (!s.lap_times_s.empty()) {
            std::snprintf(best, sizeof best, "%.2f s", *std::min_element(s.lap_times_s.begin(), s.lap_times_s.end()));
        }
        std::string end(sim::end_reason_info(s.end_reason).word);
        if (run.exit_status != 0) end += " (" + std::to_string(run.exit_status) + ")";
        std::printf("%-20s %5zu %10s %7.2f mm %7.2f mm %7.2f s %-18s %9.0fx\n", s.world.c_str(), s.lap_times_s.size(),
                    best, 1000 * s.mean_abs_lateral_error_m, 1000 * s.max_abs_lateral_error_m, s.time_off_line_s,
                    end.c_str(), s.wall_time_s > 0 ? s.sim_time_s / s.wall_time_s : 0.0);
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
        add(path.string(), sim::read_world_text(path.string()));
    }
    for (Run& run : runs) {
        run.world = sim::parse_world(run.text, run.source);
        run.text = with_overrides(run.text, run.source, run.world, duration, seed);
        run.world = sim::parse_world(run.text, run.source);
    }
    // Each run a folder of its own, whatever the worlds are called.
    std::set<std::string> taken;
    for (Run& run : runs) {
        run.run_folder = line_sim::claim_run_folder(out, line_sim::safe_folder_name(run.world.name), taken);
        run.folder = run.run_folder.path.string();
    }

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
        if (!run.error.empty()) std::fprintf(stderr, "line-sim: %s\n", run.error.c_str());
        all_normal = all_normal && ended_normally(run);
        if (!run.summary) continue;
        std::printf("%s: %s/trajectory.svg, summary.json, trace.csv, camera-*.png\n", run.world.name.c_str(),
                    run.folder.c_str());
    }
    if (interrupted) std::fprintf(stderr, "line-sim: interrupted; what was recorded so far is kept\n");
    return all_normal ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A file grown past the size limit (ulimit -f) is then a failed write,
    // reported, instead of a signal that kills line-sim and its controllers.
    std::signal(SIGXFSZ, SIG_IGN);
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
