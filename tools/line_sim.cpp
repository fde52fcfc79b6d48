// line-sim: runs a controller on the simulated robot, one child process a
// run, over worlds, overrides, sweeps and seeds, and reports how well it
// followed the line; compares and merges result sets.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <deque>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "command_line.hpp"
#include "compare_merge.hpp"
#include "controller_file.hpp"
#include "files.hpp"
#include "result_files.hpp"
#include "results.hpp"
#include "run_folder.hpp"
#include "run_plan.hpp"
#include "runner.hpp"
#include "track.hpp"
#include "world_file.hpp"

namespace fs = std::filesystem;
using line_sim::UsageError;
using line_sim::at_least;
using line_sim::parse_error;

namespace {

constexpr const char* DEFAULT_SOURCE = "(built-in oval)";
constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports Ctrl-C, so that a loop around line-sim stops

volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_interrupt(int) { interrupted = 1; }

constexpr const char* EXIT_STATUSES = R"(
Each run writes into OUT/WORLD/ (OUT/WORLD/KEY=VALUE,...,seed=N/ with --sweep or --seeds):
  summary.json, trace.csv, trajectory.svg, replay.html, camera-*.png, camera-frames.bin,
  world.toml (the world as run), report.txt (the simulated robot's report),
  controller-output.txt; and at the top of OUT: results.csv, results.json, index.html, and
  sweep.svg for a sweep.
Exit status: 0 every run ended normally and met every --require; 1 a run did not (a controller
  crashed, a file could not be written) or a requirement failed; 2 a usage error or an unusable
  world or controller (nothing ran); 130 interrupted (Ctrl-C), what was recorded is kept.)";

fs::path own_folder() { return fs::canonical("/proc/self/exe").parent_path(); }

// The collection: installed beside the executable, or the source tree's.
fs::path collection_folder() {
    const fs::path installed = own_folder() / ".." / "share" / "line_follower" / "worlds";
    if (fs::is_directory(installed)) return installed;
    return LINE_SIM_SOURCE_WORLDS;
}

// The simulated robot's library: installed beside the executables, or the build tree's.
fs::path simulated_library() {
    for (const fs::path& dir : {own_folder() / ".." / LINE_SIM_INSTALL_LIBDIR, own_folder() / ".." / "lib"}) {
        if (fs::is_regular_file(dir / "libController.so")) return fs::canonical(dir / "libController.so");
    }
    throw std::runtime_error("cannot find the simulated robot's libController.so beside " + own_folder().string());
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
    std::printf("%-*s %5s %10s %10s %10s %9s %-18s %10s\n", width, "world", "laps", "best lap", "mean err", "max err",
                "off line", "end", "real time");
    for (const line_sim::Run& run : runs) {
        if (!run.summary) continue;
        const sim::RunSummary& s = *run.summary;
        char best[32] = "-";
        if (!s.lap_times_s.empty()) {
            std::snprintf(best, sizeof best, "%.2f s", *std::min_element(s.lap_times_s.begin(), s.lap_times_s.end()));
        }
        std::string end(sim::end_reason_info(s.end_reason).word);
        if (run.exit_status != 0) end += " (" + std::to_string(run.exit_status) + ")";
        std::printf("%-*s %5zu %10s %7.2f mm %7.2f mm %7.2f s %-18s %9.0fx\n", width, label(run).c_str(),
                    s.lap_times_s.size(), best, 1000 * s.mean_abs_lateral_error_m, 1000 * s.max_abs_lateral_error_m,
                    s.time_off_line_s, end.c_str(), s.wall_time_s > 0 ? s.sim_time_s / s.wall_time_s : 0.0);
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

// The runs' rows, in plan order, with folders relative to `out`.
line_sim::Results results_of(const std::deque<line_sim::Run>& runs, const std::vector<line_sim::Sweep>& sweeps) {
    line_sim::Results results;
    for (const line_sim::Sweep& sweep : sweeps) results.swept_keys.push_back(sweep.key);
    for (const line_sim::Run& run : runs) {
        if (!run.summary) continue;
        const std::string folder = run.run_folder.path.lexically_relative(run.run_folder.path.parent_path()).string();
        const fs::path relative = fs::path(run.plan.folder).parent_path() / folder;
        results.rows.push_back({run.plan.index, relative.string(), run.plan.swept, *run.summary});
    }
    return results;
}

int run_line_sim(int argc, char** argv) {
    // What follows a lone -- goes to the controller.
    std::vector<std::string> controller_arguments;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--") continue;
        controller_arguments.assign(argv + i + 1, argv + argc);
        argc = i;
        break;
    }
    CLI::App app{"Runs a line-following controller on the simulated robot over worlds, overrides, sweeps and\n"
                 "seeds, several at once, and writes each run's summary, trace, camera snapshots and\n"
                 "trajectory picture, and a table of every run's results.\n"
                 "  line-sim [WORLD ...] [options] [-- CONTROLLER ARGUMENTS]\n"
                 "  line-sim compare A B [--require EXPR]\n"
                 "  line-sim merge DIR ... --out DIR"};
    app.footer(EXIT_STATUSES);
    app.set_version_flag("--version", std::string("line-sim ") + LINE_SIM_VERSION);
    std::vector<std::string> names, set_texts, sweep_texts, require;
    std::string out = "runs", controller_path, seeds_text, shard_text, plot = "mean_abs_lateral_error_m";
    std::optional<double> duration;
    std::optional<std::int64_t> seed;
    unsigned jobs = std::max(1U, std::thread::hardware_concurrency());
    bool list = false, quiet = false;
    app.add_option("WORLD", names, "A world file, or the name of a world in the collection (default: the built-in oval)");
    app.add_option("-o,--out", out, "Folder for the runs' files")->capture_default_str();
    app.add_option("--controller", controller_path,
                   "An executable that uses the robot library (libController.so); it runs on the simulated robot "
                   "(default: this project's line_follower). Its arguments follow --");
    app.add_option("--set", set_texts, "KEY=VALUE: a world key by its dotted name, VALUE in TOML (camera.noise=8); repeatable");
    app.add_option("--sweep", sweep_texts, "KEY=V1,V2,...: a run for each value; several sweeps form their product");
    app.add_option("--seeds", seeds_text, "A..B: a run for each seed from A to B");
    app.add_option("--duration", duration, "Simulated seconds to run (as --set run.duration=S)")
        ->check(at_least(0, false, "a positive number of seconds"));
    app.add_option("--seed", seed, "The seed (as --set run.seed=N)")->check(at_least(0, true, "a whole number from 0"));
    app.add_option("--require", require, "METRIC OP VALUE (laps_completed>=2, end_reason==duration): checked for every run; "
                                         "a failure is one line and exit status 1");
    app.add_option("--plot", plot, "The figure sweep.svg shows against the first swept key")->capture_default_str();
    app.add_option("--shard", shard_text, "K/N: run only the K-th of N slices of the runs (merge them with line-sim merge)");
    app.add_option("-j,--jobs", jobs, "Runs at once")->check(at_least(1, true, "a whole number of runs from 1"))->capture_default_str();
    app.add_flag("-q,--quiet", quiet, "No progress lines on a terminal");
    app.add_flag("--list", list, "List the collection's worlds with their length and smallest radius");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        parse_error(app, error);
    }
    if (duration && !std::isfinite(*duration)) throw UsageError("line-sim: --duration: expected a finite number of seconds");
    if (list) {
        list_collection();
        return 0;
    }

    // Everything is read and checked before anything runs: the controller, the
    // options, every world with every setting it will run with.
    line_sim::Controller controller;
    if (app.count("--controller") != 0 && controller_path.empty()) {
        throw UsageError("line-sim: --controller: expected the path of an executable, not an empty text");
    }
    if (out.empty()) throw UsageError("line-sim: --out: expected a folder, not an empty text");
    if (std::error_code error; fs::exists(out, error) && !fs::is_directory(out, error)) {
        throw UsageError("line-sim: --out " + out + ": not a folder");
    }
    controller.given = controller_path.empty() ? (own_folder() / "line_follower").string() : controller_path;
    controller.path = fs::absolute(controller.given);
    controller.arguments = controller_arguments;
    line_sim::HeldController held(controller.path.string());
    const line_sim::ControllerFile& file = held.file();
    if (!file.problem.empty()) throw UsageError("line-sim: controller " + controller.given + ": " + file.problem);
    controller.held = &held;
    controller.library = simulated_library();
    controller.preload = file.old_rpath;
    std::vector<line_sim::Setting> settings;
    for (const std::string& text : set_texts) settings.push_back(line_sim::parse_setting(text, "--set"));
    if (duration) settings.push_back({"run.duration", nlohmann::json(*duration).dump()});
    if (seed) settings.push_back({"run.seed", std::to_string(*seed)});
    std::vector<line_sim::Sweep> sweeps;
    for (const std::string& text : sweep_texts) sweeps.push_back(line_sim::parse_sweep(text));
    const std::vector<std::uint64_t> seeds = seeds_text.empty() ? std::vector<std::uint64_t>{} : line_sim::parse_seeds(seeds_text);
    const line_sim::Shard shard = shard_text.empty() ? line_sim::Shard{} : line_sim::parse_shard(shard_text);
    const auto requirements = line_sim::parse_requirements(require, false);
    line_sim::check_plot_metric(plot);
    // Each key set once: a second would silently win over the first, and the
    // folder names and results would say what did not run.
    std::set<std::string> keys;
    const auto once = [&keys](const std::string& key) {
        if (!keys.insert(key).second) {
            throw UsageError("line-sim: " + key + " is set twice (by --set, --sweep, --seeds, --seed or --duration)");
        }
    };
    for (const line_sim::Setting& setting : settings) once(setting.key);
    for (const line_sim::Sweep& sweep : sweeps) once(sweep.key);
    if (!seeds.empty()) once("run.seed");

    struct World {
        std::string source, text, name;
    };
    std::vector<World> worlds;
    if (names.empty()) worlds.push_back({DEFAULT_SOURCE, std::string(sim::DEFAULT_WORLD), ""});
    for (const std::string& name : names) {
        const fs::path path = find_world(name);
        worlds.push_back({path.string(), sim::read_world_text(path.string()), ""});
    }
    std::vector<std::string> world_names;
    for (World& world : worlds) {
        world.name = sim::parse_world(world.text, world.source).name;
        world_names.push_back(world.name);
    }
    // What makes the plan, so that merge can tell shards of one plan from others.
    std::string description = file.sha256 + "\n";
    for (const std::string& argument : controller.arguments) description += argument + "\n";
    for (const World& world : worlds) description += world.source + "\n" + world.text + "\n";
    for (const line_sim::Setting& setting : settings) description += setting.key + "=" + setting.value + "\n";
    for (const line_sim::Sweep& sweep : sweeps) {
        description += sweep.key;
        for (const std::string& value : sweep.values) description += "," + value;
        description += "\n";
    }
    description += seeds_text;
    const std::string plan_id = line_sim::sha256(description);
    const line_sim::Plan plan(world_names, sweeps, seeds, shard);
    // Every world with every combination of swept values, checked now and
    // let go: each run reads its world again as it starts. (A seed cannot
    // make a world unusable.)
    const auto world_as_run = [&](std::size_t w, std::vector<line_sim::Setting> all, std::optional<std::uint64_t> run_seed) {
        const World& world = worlds[w];
        all.insert(all.begin(), settings.begin(), settings.end());
        if (run_seed) all.push_back({"run.seed", std::to_string(*run_seed)});
        std::string text = line_sim::apply_settings(world.text, world.source, world.name, all);
        try {
            sim::WorldSettings read = sim::parse_world(text, world.source);
            return std::make_pair(std::move(text), std::move(read));
        } catch (const sim::WorldError& error) {
            // The same line as for the file's own keys, said of the setting that made it.
            std::string why = error.what();
            if (!all.empty()) why += " (with --set/--sweep/--seeds)";
            throw UsageError("line-sim: " + why);
        }
    };
    for (std::size_t w = 0; w < worlds.size(); ++w) {
        for (std::size_t c = 0; c < plan.combinations(); ++c) world_as_run(w, plan.combination(c), std::nullopt);
    }
    // The folder is this call's from before anything is made in it.
    std::optional<line_sim::FolderLock> lock;
    try {
        fs::create_directories(out);
        lock.emplace(out);
    } catch (const std::exception& error) {
        throw UsageError("line-sim: --out " + out + ": " + error.what());
    }
    // A run's folder is made as it starts: an interrupted sweep leaves no empty ones.
    std::set<std::string> taken;
    const auto prepare = [&](std::size_t k) {
        line_sim::Run run;
        run.plan = plan[k];
        auto [text, world] = world_as_run(run.plan.world, run.plan.swept, run.plan.seed);
        run.text = std::move(text);
        run.world = std::move(world);
        try {
            run.run_folder = line_sim::claim_run_folder(out, run.plan.folder, taken);
            run.folder = run.run_folder.path.string();
        } catch (const std::exception& error) {
            run.error = "--out " + out + ": cannot make the run's folder there (" + error.what() + ")";
        }
        return run;
    };
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);  // a terminal closed: the runs so far are kept as for Ctrl-C
    const std::deque<line_sim::Run> runs =
        line_sim::run_all(plan.size(), prepare, controller, jobs, !quiet && isatty(STDERR_FILENO) != 0, interrupted);

    // The call's files first: whatever happens to standard output (a pipe
    // closed by `head`), they are written.
    bool all_normal = true;
    line_sim::Results results = results_of(runs, sweeps);
    results.plan = plan_id;
    results.plan_runs = plan.whole_size();
    const line_sim::ResultFiles call_files = line_sim::write_result_files(out, results, plot);
    const std::vector<std::string>& written = call_files.written;
    if (!call_files.problem.empty()) {
        std::fprintf(stderr, "line-sim: %s\n", call_files.problem.c_str());
        all_normal = false;
    }
    print_table(runs);
    for (const line_sim::Run& run : runs) {
        const bool normal = line_sim::ended_normally(run);
        if (!run.error.empty()) {
            std::fprintf(stderr, "line-sim: %s\n", run.error.c_str());
        } else if (!normal && !interrupted && run.summary) {
            // Why this run counts as failed, in one line.
            std::fprintf(stderr, "line-sim: %s: %s (controller exit status %d)\n", run.plan.folder.c_str(),
                         std::string(sim::end_reason_info(run.summary->end_reason).sentence).c_str(), run.exit_status);
        }
        all_normal = all_normal && normal;
    }
    for (const line_sim::ResultRow& row : results.rows) {
        all_normal = line_sim::check_requirements(requirements, line_sim::row_json(row), nullptr) && all_normal;
    }
    // Only the files that are there, the replay first: it is what a person opens.
    if (sweeps.empty() && seeds.empty()) {
        for (const line_sim::Run& run : runs) {
            if (!run.summary) continue;
            std::string files;
            for (const char* name : {"replay.html", "trajectory.svg", "summary.json", "trace.csv"}) {
                if (fs::is_regular_file(fs::path(run.folder) / name)) files += (files.empty() ? "" : ", ") + std::string(name);
            }
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(run.folder, error)) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("camera-", 0) != 0 || entry.path().extension() != ".png") continue;
                files += (files.empty() ? "" : ", ") + std::string("camera-*.png");
                break;
            }
            std::printf("%s: %s/%s\n", run.summary->world.c_str(), run.folder.c_str(), files.empty() ? "(no files)" : files.c_str());
        }
    } else {
        std::string files;
        for (const std::string& name : written) files += (files.empty() ? "" : ", ") + name;
        std::printf("%zu runs: %s/%s\n", results.rows.size(), out.c_str(), files.empty() ? "(no files)" : files.c_str());
    }
    if (interrupted) {
        std::fprintf(stderr, "line-sim: interrupted; what was recorded so far is kept\n");
        return EXIT_INTERRUPTED;
    }
    return all_normal ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A file grown past the size limit (ulimit -f) is then a failed write,
    // reported, instead of a signal that kills line-sim and its controllers.
    std::signal(SIGXFSZ, SIG_IGN);
    // Standard output closed early (`line-sim | head -1`) is then a failed
    // write, passed over, and every file of the call is still written.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "compare") return line_sim::compare(argc - 1, argv + 1);
        if (command == "merge") return line_sim::merge(argc - 1, argv + 1);
        return run_line_sim(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    } catch (const sim::WorldError& error) {
        std::fprintf(stderr, "line-sim: %s\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        // Controllers still running are killed as line-sim ends.
        std::fprintf(stderr, "line-sim: %s\n", error.what());
        return 1;
    }
}
