// line-sim: runs a controller on the simulated robot, one child process a
// run, over worlds, overrides, sweeps and seeds, and reports how well it
// followed the line; compares and merges result sets.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "checked_toml.hpp"  // printable
#include "command_line.hpp"
#include "compare_merge.hpp"
#include "controller_file.hpp"
#include "controller_params.hpp"
#include "file_names.hpp"
#include "files.hpp"
#include "installed.hpp"
#include "picture_file.hpp"
#include "result_files.hpp"
#include "results.hpp"
#include "run_folder.hpp"
#include "run_plan.hpp"
#include "runner.hpp"
#include "track.hpp"
#include "world_file.hpp"
#include "world_preview.hpp"

namespace fs = std::filesystem;
using line_sim::at_least;
using line_sim::parse_error;
using line_sim::UsageError;

namespace {

constexpr const char* DEFAULT_SOURCE = "(built-in oval)";
constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports Ctrl-C, so that a loop around line-sim stops

volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_interrupt(int) { interrupted = 1; }

constexpr const char* EXIT_STATUSES = R"(
Each run writes into OUT/WORLD/ (OUT/WORLD/KEY=VALUE,...,seed=N/ with --sweep or --seeds):
  summary.json, trace.csv, trajectory.svg, replay.html, camera-*.png, camera-frames.bin,
  world.toml (the world as run), report.txt (the simulated robot's report),
  controller-output.txt, line-sim.json (the controller, its parameters and arguments, how it
  ended); and at the top of OUT: results.csv, results.json (a column param.NAME a parameter),
  index.html, and sweep.svg for a sweep.
Exit status: 0 every run ended normally and met every --require; 1 a run did not (a controller
  crashed, a file could not be written) or a requirement failed; 2 a usage error or an unusable
  world or controller (nothing ran); 130 interrupted (Ctrl-C), what was recorded is kept.)";

using line_sim::own_folder;
using line_sim::python_modules;
using line_sim::simulated_library;

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
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(collection_folder(), error)) {
        if (entry.path().extension() == ".toml") names.push_back(entry.path().stem().string());
    }
    throw UsageError("line-sim: no world file or collection world named \"" + name + "\"" +
                     sim::did_you_mean(name, names) + " (see line-sim --list)");
}

void print_table(const std::deque<line_sim::Run>& runs) {
    // A run of a sweep is named by its world and its parameters.
    const auto label = [](const line_sim::Run& run) {
        const auto slash = run.plan.folder.find('/');
        return run.summary->world + (slash == std::string::npos ? "" : " " + run.plan.folder.substr(slash + 1));
    };
    int width = 20;
    for (const line_sim::Run& run : runs) {
        if (run.summary) width = std::max(width, static_cast<int>(label(run).size()));
    }
    std::printf("%-*s %5s %10s %10s %10s %14s %-18s %10s\n", width, "world", "laps", "best lap", "mean err", "max err",
                "off line", "end", "real time");
    std::string mostly_off;  // the runs that spent most of their time off the line, said after the table
    for (const line_sim::Run& run : runs) {
        if (!run.summary) continue;
        const sim::RunSummary& s = *run.summary;
        char best[32] = "-";
        if (!s.lap_times_s.empty()) {
            std::snprintf(best, sizeof best, "%.2f s", *std::min_element(s.lap_times_s.begin(), s.lap_times_s.end()));
        }
        std::string end(sim::end_reason_info(sim::joined_end_reason(s, run.facts)).word);
        if (run.facts.controller_exit_status != 0) end += " (" + std::to_string(run.facts.controller_exit_status) + ")";
        const double share = sim::off_line_share(s);
        // A figure not given (no centre line) or not known is a dash.
        const auto figure = [](const char* format, double value) {
            char text[32] = "-";
            if (!std::isnan(value)) std::snprintf(text, sizeof text, format, value);
            return std::string(text);
        };
        std::printf("%-*s %5s %10s %10s %10s %9s %4s %-18s %9.0fx\n", width, label(run).c_str(),
                    s.centre_line ? std::to_string(s.lap_times_s.size()).c_str() : "-", best,
                    figure("%.2f mm", 1000 * s.mean_abs_lateral_error_m).c_str(),
                    figure("%.2f mm", 1000 * s.max_abs_lateral_error_m).c_str(),
                    figure("%.2f s", s.time_off_line_s).c_str(), figure("%.0f%%", 100 * share).c_str(), end.c_str(),
                    sim::real_time_factor(s));
        if (share > 0.5) {
            char line[512];
            std::snprintf(line, sizeof line, "%s: off the line for most of the run (%.1f of %.1f s)\n",
                          label(run).c_str(), s.time_off_line_s, s.sim_time_s);
            mostly_off += line;
        }
    }
    std::fputs(mostly_off.c_str(), stdout);
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
        if (!world.track.has_centre_line()) {
            std::printf("%-20s %11s   %s\n", file.stem().c_str(), "-", "no centre line (the picture's line alone)");
            continue;
        }
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

// The runs' rows, in plan order, with folders relative to `out`.
line_sim::Results results_of(const std::deque<line_sim::Run>& runs, const std::vector<line_sim::Sweep>& sweeps) {
    line_sim::Results results;
    for (const line_sim::Sweep& sweep : sweeps) results.swept_keys.push_back(sweep.key);
    for (const line_sim::Run& run : runs) {
        if (!run.summary) continue;
        const std::string folder = run.run_folder.path.lexically_relative(run.run_folder.path.parent_path()).string();
        const fs::path relative = fs::path(run.plan.folder).parent_path() / folder;
        results.rows.push_back({run.plan.index, relative.string(), run.plan.swept, *run.summary, run.facts});
    }
    return results;
}

// Everything a call of line-sim is asked for on its command line, as given.
struct Options {
    std::vector<std::string> worlds, sets, sweeps, requirements;
    std::string out = "runs", controller, seeds, shard, plot = "mean_abs_lateral_error_m";
    bool controller_given = false;  // --controller, even if empty
    std::optional<double> duration;
    std::optional<std::int64_t> seed;
    unsigned jobs = std::max(1U, std::thread::hardware_concurrency());
    bool list = false, quiet = false;
    std::vector<std::string> controller_arguments;  // what follows a lone --
};

Options parse_options(int argc, char** argv) {
    Options options;
    options.controller_arguments = line_sim::controller_arguments(argc, argv);
    CLI::App app{
        "Runs a line-following controller on the simulated robot over worlds, overrides, sweeps and\n"
        "seeds, several at once, and writes each run's summary, trace, camera snapshots and\n"
        "trajectory picture, and a table of every run's results.\n"
        "  line-sim [WORLD ...] [options] [-- CONTROLLER ARGUMENTS ({NAME}: a parameter's text; {{ }}: braces)]\n"
        "  line-sim compare A B [--require EXPR]\n"
        "  line-sim merge DIR ... --out DIR\n"
        "  line-sim show [WORLD] [-o FILE] (a world's track drawn before any run; line-sim show --help)"};
    app.footer(EXIT_STATUSES);
    app.set_version_flag("--version", std::string("line-sim ") + LINE_SIM_VERSION);
    app.add_option("WORLD", options.worlds,
                   "A world file, or the name of a world in the collection (default: the built-in oval)");
    app.add_option("-o,--out", options.out, "Folder for the runs' files")->capture_default_str();
    app.add_option("--controller", options.controller,
                   "An executable that uses the robot library (libController.so), or a Python script (NAME.py, "
                   "run by /usr/bin/python3 with the module robot_interface); it runs on the simulated robot "
                   "(default: this project's line_follower). Its arguments follow --");
    app.add_option("--set", options.sets,
                   "KEY=VALUE: a world key by its dotted name, VALUE in TOML (camera.noise=8); or a controller "
                   "parameter param.NAME=TEXT (param.gain=3), which the controller gets as LINE_SIM_PARAM_NAME "
                   "and where its arguments say {NAME}; repeatable");
    app.add_option("--sweep", options.sweeps,
                   "KEY=V1,V2,...: a run for each value (world keys and param.NAME alike); several sweeps form "
                   "their product");
    app.add_option("--seeds", options.seeds, "A..B: a run for each seed from A to B");
    app.add_option("--duration", options.duration, "Simulated seconds to run (as --set run.duration=S)")
        ->check(at_least(0, false, "a positive number of seconds"));
    app.add_option("--seed", options.seed, "The seed (as --set run.seed=N)")
        ->check(at_least(0, true, "a whole number from 0"));
    app.add_option("--require", options.requirements,
                   "METRIC OP VALUE (laps_completed>=2, end_reason==duration): checked for every run; "
                   "a failure is one line and exit status 1");
    app.add_option("--plot", options.plot, "The figure sweep.svg shows against the first swept key")
        ->capture_default_str();
    app.add_option("--shard", options.shard,
                   "K/N: run only the K-th of N slices of the runs (merge them with line-sim merge)");
    app.add_option("-j,--jobs", options.jobs, "Runs at once")
        ->check(at_least(1, true, "a whole number of runs from 1"))
        ->capture_default_str();
    app.add_flag("-q,--quiet", options.quiet, "No progress lines on a terminal");
    app.add_flag("--list", options.list, "List the collection's worlds with their length and smallest radius");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        parse_error(app, error);
    }
    options.controller_given = app.count("--controller") != 0;
    if (options.duration && !std::isfinite(*options.duration)) {
        throw UsageError("line-sim: --duration: expected a finite number of seconds");
    }
    if (options.controller_given && options.controller.empty()) {
        throw UsageError("line-sim: --controller: expected the path of an executable, not an empty text");
    }
    if (options.out.empty()) throw UsageError("line-sim: --out: expected a folder, not an empty text");
    if (std::error_code error; fs::exists(options.out, error) && !fs::is_directory(options.out, error)) {
        throw UsageError("line-sim: --out " + options.out + ": not a folder");
    }
    return options;
}

// What the options ask to run over the worlds, read and checked.
struct Experiment {
    std::vector<line_sim::Setting> settings;  // --set, --duration, --seed: the world's keys
    std::vector<line_sim::Setting> params;    // --set param.NAME: the controller's, the same for every run
    std::vector<line_sim::Sweep> sweeps;
    std::vector<std::uint64_t> seeds;
    line_sim::Shard shard;
    std::vector<line_sim::Requirement> requirements;
};

Experiment read_experiment(const Options& options) {
    Experiment e;
    for (const std::string& text : options.sets) {
        line_sim::Setting setting = line_sim::parse_setting(text, "--set");
        (line_sim::is_param(setting.key) ? e.params : e.settings).push_back(std::move(setting));
    }
    if (options.duration) e.settings.push_back({"run.duration", nlohmann::json(*options.duration).dump()});
    if (options.seed) e.settings.push_back({"run.seed", std::to_string(*options.seed)});
    for (const std::string& text : options.sweeps) e.sweeps.push_back(line_sim::parse_sweep(text));
    if (!options.seeds.empty()) e.seeds = line_sim::parse_seeds(options.seeds);
    if (!options.shard.empty()) e.shard = line_sim::parse_shard(options.shard);
    e.requirements = line_sim::parse_requirements(options.requirements, false);
    line_sim::check_plot_metric(options.plot);
    // Each key set once: a second would silently win over the first, and the
    // folder names and results would say what did not run.
    std::set<std::string> keys;
    const auto once = [&keys](const std::string& key) {
        if (!keys.insert(key).second) {
            throw UsageError("line-sim: " + key + " is set twice (by --set, --sweep, --seeds, --seed or --duration)");
        }
    };
    for (const line_sim::Setting& setting : e.settings) once(setting.key);
    for (const line_sim::Setting& setting : e.params) once(setting.key);
    for (const line_sim::Sweep& sweep : e.sweeps) once(sweep.key);
    if (!e.seeds.empty()) once("run.seed");
    return e;
}

struct World {
    std::string source, text, name;
};

// The worlds named, read and checked as they stand (the built-in oval for none).
std::vector<World> load_worlds(const std::vector<std::string>& names) {
    std::vector<World> worlds;
    if (names.empty()) worlds.push_back({DEFAULT_SOURCE, std::string(sim::DEFAULT_WORLD), ""});
    for (const std::string& name : names) {
        const fs::path path = find_world(name);
        worlds.push_back({path.string(), sim::read_world_text(path.string()), ""});
    }
    for (World& world : worlds) world.name = sim::parse_world(world.text, world.source).name;
    return worlds;
}

// What makes the plan, so that merge can tell shards of one plan from others.
std::string plan_id(const std::string& controller_sha256, const std::vector<std::string>& arguments,
                    const std::vector<World>& worlds, const Experiment& e, const std::string& seeds_text) {
    std::string description = controller_sha256 + "\n";
    for (const std::string& argument : arguments) description += argument + "\n";
    for (const World& world : worlds) description += world.source + "\n" + world.text + "\n";
    for (const line_sim::Setting& setting : e.settings) description += setting.key + "=" + setting.value + "\n";
    for (const line_sim::Setting& setting : e.params) description += setting.key + "=" + setting.value + "\n";
    for (const line_sim::Sweep& sweep : e.sweeps) {
        description += sweep.key;
        for (const std::string& value : sweep.values) description += "," + value;
        description += "\n";
    }
    return line_sim::sha256(description + seeds_text);
}

// The world as a run runs it (world.toml's text) and as read, with the
// call's settings, the run's swept values (but the controller's parameters)
// and its seed; a setting that makes it unusable is a usage error, said of
// the setting.
std::pair<std::string, sim::WorldSettings> world_as_run(const World& world,
                                                        const std::vector<line_sim::Setting>& settings,
                                                        std::vector<line_sim::Setting> swept,
                                                        std::optional<std::uint64_t> seed) {
    std::erase_if(swept, [](const line_sim::Setting& setting) { return line_sim::is_param(setting.key); });
    swept.insert(swept.begin(), settings.begin(), settings.end());
    if (seed) swept.push_back({"run.seed", std::to_string(*seed)});
    std::string text = line_sim::apply_settings(world.text, world.source, world.name, swept);
    try {
        sim::WorldSettings read = sim::parse_world(text, world.source);
        if (read.floor.image_file) {
            // The run keeps its own copy of the picture beside world.toml (runner.cpp), named so there.
            read.floor.image = sim::floor_picture_name(*read.floor.image_file);
            text = line_sim::apply_settings(text, world.source, world.name,
                                            {{"floor.image", '"' + read.floor.image + '"'}});
        }
        return {std::move(text), std::move(read)};
    } catch (const sim::WorldError& error) {
        std::string why = error.what();
        if (!swept.empty()) why += " (with --set/--sweep/--seeds)";
        throw UsageError("line-sim: " + why);
    }
}

// The files of a run that are there, the replay first: it is what a person opens.
std::string files_there(const std::string& folder) {
    std::string files;
    const auto add = [&files](const std::string& name) { files += (files.empty() ? "" : ", ") + name; };
    for (const char* name : {sim::REPLAY_FILE, sim::TRAJECTORY_FILE, sim::SUMMARY_FILE, sim::TRACE_FILE}) {
        if (fs::is_regular_file(fs::path(folder) / name)) add(name);
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("camera-", 0) != 0 || entry.path().extension() != ".png") continue;
        add("camera-*.png");
        break;
    }
    return files.empty() ? "(no files)" : files;
}

// The call's files, the table, a line for each run that failed and each
// requirement not met, the files written; the exit status.
int report(const Options& options, const Experiment& e, const std::deque<line_sim::Run>& runs,
           line_sim::Results results) {
    // The call's files first: whatever happens to standard output (a pipe
    // closed by `head`), they are written.
    bool all_normal = true;
    const line_sim::ResultFiles call_files = line_sim::write_result_files(options.out, results, options.plot);
    if (!call_files.problem.empty()) {
        std::fprintf(stderr, "line-sim: %s\n", call_files.problem.c_str());
        all_normal = false;
    }
    print_table(runs);
    for (const line_sim::Run& run : runs) {
        const bool normal = line_sim::ended_normally(run);
        if (!run.facts.error.empty()) {
            std::fprintf(stderr, "line-sim: %s\n", sim::printable(run.facts.error).c_str());
        } else if (!normal && !interrupted && run.summary) {
            // Why this run counts as failed, in one line.
            std::fprintf(
                stderr, "line-sim: %s: %s (controller exit status %d)\n", run.plan.folder.c_str(),
                std::string(sim::end_reason_info(sim::joined_end_reason(*run.summary, run.facts)).sentence).c_str(),
                run.facts.controller_exit_status);
        }
        all_normal = all_normal && normal;
    }
    for (const line_sim::ResultRow& row : results.rows) {
        all_normal = line_sim::check_requirements(e.requirements, line_sim::row_json(row), nullptr) && all_normal;
    }
    if (e.sweeps.empty() && e.seeds.empty()) {
        for (const line_sim::Run& run : runs) {
            if (run.summary)
                std::printf("%s: %s/%s\n", run.summary->world.c_str(), run.folder.c_str(),
                            files_there(run.folder).c_str());
        }
    } else {
        std::string files;
        for (const std::string& name : call_files.written) files += (files.empty() ? "" : ", ") + name;
        std::printf("%zu run%s: %s/%s\n", results.rows.size(), results.rows.size() == 1 ? "" : "s", options.out.c_str(),
                    files.empty() ? "(no files)" : files.c_str());
    }
    if (interrupted) {
        std::fprintf(stderr, "line-sim: interrupted; what was recorded so far is kept\n");
        return EXIT_INTERRUPTED;
    }
    return all_normal ? 0 : 1;
}

// A call: the options read, then everything checked before anything runs
// (the controller, the experiment, every world with every combination of
// swept values), the plan made, the runs run, the results reported.
int run_line_sim(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    if (options.list) {
        list_collection();
        return 0;
    }
    line_sim::Controller controller;
    controller.given = options.controller.empty() ? (own_folder() / "line_follower").string() : options.controller;
    controller.path = fs::absolute(controller.given);
    controller.arguments = options.controller_arguments;
    line_sim::HeldController held(controller.path.string());
    const line_sim::ControllerFile& file = held.file();
    if (!file.problem.empty()) throw UsageError("line-sim: controller " + controller.given + ": " + file.problem);
    controller.held = &held;
    controller.library = simulated_library();
    controller.preload = file.old_rpath;
    controller.python_modules = python_modules();
    std::error_code not_same;
    controller.own =
        options.controller.empty() || fs::equivalent(controller.path, own_folder() / "line_follower", not_same);
    const Experiment e = read_experiment(options);
    const std::vector<World> worlds = load_worlds(options.worlds);
    std::vector<std::string> world_names;
    for (const World& world : worlds) world_names.push_back(world.name);
    const line_sim::Plan plan(world_names, e.sweeps, e.seeds, e.shard);
    // Checked now and let go: each run reads its world again as it starts.
    // (A seed cannot make a world unusable.)
    for (const World& world : worlds) {
        bool random = false;
        for (std::size_t c = 0; c < plan.combinations(); ++c)
            random =
                sim::seed_matters(world_as_run(world, e.settings, plan.combination(c), std::nullopt).second) || random;
        // Said once: its seeds will give the same figures.
        if (!e.seeds.empty() && !random) {
            std::fprintf(stderr,
                         "line-sim: %s: nothing in this world is random (camera.noise, floor.floor_gray_variation, "
                         "floor.line_gray_variation and robot.wheel_speed_noise are 0), so every seed runs the same\n",
                         sim::printable(world.name).c_str());
        }
    }
    // Every run has the same parameters' names, so one run's arguments say whether every {NAME} is known.
    const auto params = line_sim::params_of(e.params, plan.combination(0));
    line_sim::put_params(controller.arguments, params);
    // This project's controller reads none: said, since its runs would not differ.
    if (controller.own && !params.empty()) {
        std::fprintf(stderr, "line-sim: %s reads no parameters: param.%s and any others go unused\n",
                     sim::printable(controller.given).c_str(), sim::printable(params.begin()->first).c_str());
    }

    // The folder is this call's from before anything is made in it.
    std::optional<line_sim::FolderLock> lock;
    try {
        fs::create_directories(options.out);
        lock.emplace(options.out);
    } catch (const std::exception& error) {
        throw UsageError("line-sim: --out " + options.out + ": " + error.what());
    }
    // A run's folder is made as it starts: an interrupted sweep leaves no empty ones.
    std::set<std::string> taken;
    const auto prepare = [&](std::size_t k) {
        line_sim::Run run;
        run.plan = plan[k];
        auto [text, world] = world_as_run(worlds[run.plan.world], e.settings, run.plan.swept, run.plan.seed);
        run.text = std::move(text);
        run.world = std::move(world);
        run.facts.params = line_sim::params_of(e.params, run.plan.swept);
        run.facts.arguments = line_sim::put_params(controller.arguments, run.facts.params);
        try {
            run.run_folder = line_sim::claim_run_folder(options.out, run.plan.folder, taken);
            run.folder = run.run_folder.path.string();
        } catch (const std::exception& error) {
            run.facts.error = "--out " + options.out + ": cannot make the run's folder there (" + error.what() + ")";
        }
        return run;
    };
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);  // a terminal closed: the runs so far are kept as for Ctrl-C
    const std::deque<line_sim::Run> runs = line_sim::run_all(plan.size(), prepare, controller, options.jobs,
                                                             !options.quiet && isatty(STDERR_FILENO) != 0, interrupted);
    line_sim::Results results = results_of(runs, e.sweeps);
    results.plan = plan_id(file.sha256, controller.arguments, worlds, e, options.seeds);
    results.plan_runs = plan.whole_size();
    return report(options, e, runs, std::move(results));
}

// line-sim show: a world's track drawn before any run, and its figures.
int show_world(int argc, char** argv) {
    std::string name, out;
    CLI::App app{
        "Draws a world's track before any run, for preparing it: the track as a run's trajectory.svg\n"
        "draws it, the start and its heading, the robot to scale at the start with its camera's view\n"
        "on the floor, a scale bar, and the camera's first image; prints the track's length, its\n"
        "tightest turn and whether it closes. A refused world is drawn as far as its track reads, the\n"
        "fault marked, and the error printed as line-sim prints it (exit status 2).\n"
        "  line-sim show [WORLD] [-o FILE]",
        "line-sim show"};
    app.add_option("WORLD", name,
                   "A world file, or the name of a world in the collection (default: the built-in oval)");
    app.add_option("-o,--out", out, "The picture (SVG) to write (default: <world name>-show.svg in this folder)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        parse_error(app, error, "line-sim show");
    }
    if (app.count("--out") != 0 && out.empty())
        throw UsageError("line-sim show: --out: expected a file, not an empty text");
    std::string source = DEFAULT_SOURCE, text(sim::DEFAULT_WORLD);
    if (app.count("WORLD") != 0) {
        source = find_world(name).string();
        text = sim::read_world_text(source);
    }
    const auto picture = [&out](const std::string& world_name) {
        return out.empty() ? line_sim::safe_folder_name(world_name) + "-show.svg" : out;
    };
    std::optional<sim::TrackFault> fault;
    sim::WorldSettings world;
    try {
        world = sim::parse_world(text, source, fault);
    } catch (const sim::WorldError& error) {
        std::fprintf(stderr, "line-sim: %s\n", sim::printable(error.what()).c_str());
        if (!fault) return 2;
        world.name = fs::path(source).stem().string();
        world.track = fault->track;
        const line_sim::PreviewFault shown{fault->where, sim::printable(error.what())};
        const std::string path = picture(world.name);
        line_sim::write_world_preview(path, world, &shown);
        std::printf("picture: %s\n", sim::printable(path).c_str());
        return 2;
    }
    const std::string path = picture(world.name);
    line_sim::write_world_preview(path, world, nullptr);
    for (const std::string& line :
         line_sim::figure_lines(line_sim::track_figures(world.track, sim::Track(world.track))))
        std::printf("%s\n", line.c_str());
    std::printf("picture: %s\n", sim::printable(path).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!line_sim::prepare_process()) return 2;
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "compare") return line_sim::compare(argc - 1, argv + 1);
        if (command == "merge") return line_sim::merge(argc - 1, argv + 1);
        if (command == "show") return show_world(argc - 1, argv + 1);
        return run_line_sim(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s\n", sim::printable(error.what()).c_str());
        return 2;
    } catch (const sim::WorldError& error) {
        std::fprintf(stderr, "line-sim: %s\n", sim::printable(error.what()).c_str());
        return 2;
    } catch (const std::exception& error) {
        // Controllers still running are killed as line-sim ends.
        std::fprintf(stderr, "line-sim: %s\n", sim::printable(error.what()).c_str());
        return 1;
    }
}
