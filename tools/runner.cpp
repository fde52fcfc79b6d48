// Running the plan: each run a guarded controller process, then its files completed.

#include "runner.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "controller_params.hpp"
#include "file_names.hpp"
#include "files.hpp"
#include "frame_codec.hpp"
#include "replay.hpp"
#include "trace.hpp"
#include "track.hpp"
#include "trajectory_svg.hpp"

namespace line_sim {
namespace {

constexpr auto POLL = std::chrono::milliseconds(100);  // between redraws of the progress lines

bool fs_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
constexpr double PROGRESS_AFTER = 1.0;  // [s] a run must take before it shows progress
constexpr double GRACE = 5.0;           // [s] a stopped controller has to finish its files

// Runs the script on descriptor RECORD_FD + 1 as the module __main__ itself
// (so that pickle and `import __main__` find what it defines), with sys.argv
// as if Python had been given its path, its folder first on sys.path, and
// none of the launcher's names left; a traceback starts at the script. The
// descriptor (the run's sealed copy, or line-sim's own, shared by every run,
// where no copy could be made) is read from its start with pread, leaving
// its offset alone.
constexpr const char* PYTHON_LAUNCHER =
    "import os, sys\n"
    "sys.argv = sys.argv[1:]\n"
    "size, source = os.fstat(4).st_size, b''\n"
    "while len(source) < size and (part := os.pread(4, size - len(source), len(source))): source += part\n"
    "os.close(4)\n"
    "sys.path[0] = os.path.dirname(os.path.abspath(sys.argv[0]))\n"
    "sys.excepthook = lambda kind, value, tb, hook=sys.excepthook: hook(kind, value.with_traceback(tb := tb.tb_next "
    "if tb is not None and tb.tb_frame.f_code.co_filename == '<string>' else tb), tb)\n"
    "__file__ = sys.argv[0]\n"
    "launcher_code = compile(source, __file__, 'exec')\n"
    "[globals().pop(name, None) for name in ('os', 'sys', 'size', 'source', 'part')]\n"
    "exec(globals().pop('launcher_code'), globals())\n";

// A sealed file in memory holding `bytes`, or -1: what a script run reads,
// unchangeable by anyone once made.
int sealed_copy(const std::string& bytes) {
    const int fd = memfd_create("controller.py", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done != bytes.size() || fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ChildSpec controller_child(Controller& controller, const std::string& folder, sim::LineSimFacts& facts, int& script) {
    // The platform's library, whatever the caller's search path or the
    // controller's own run path says: first on the path, which comes before a
    // RUNPATH, and preloaded where an old RPATH would come before the path.
    // (Preloading only then keeps a sanitizer's runtime first where it must be.)
    ChildSpec child{controller.path.string(),
                    facts.arguments,  // the call's, each {NAME} put in for this run
                    environment_without({"LINE_SIM_", "LINE_ROBOT_", "LD_LIBRARY_PATH=", "LD_PRELOAD=", "PYTHONPATH="}),
                    folder + "/" + sim::OUTPUT_FILE,
                    folder + "/" + sim::REPORT_FILE,
                    ""};
    child.environment.push_back("LD_LIBRARY_PATH=" + controller.library.parent_path().string());
    if (controller.preload) child.environment.push_back("LD_PRELOAD=" + controller.library.string());
    for (const auto& [name, value] : facts.params) child.environment.push_back(PARAM_VARIABLE + name + "=" + value);
    child.program_fd = controller.held->fd();
    if (controller.held->file().python) {
        // Debian's Python runs the script from the held descriptor, so that
        // what was hashed is what runs, named as the person gave it; the
        // robot_interface module comes first on its path.
        child.program = PYTHON;
        child.arguments.insert(child.arguments.begin(), {"-c", PYTHON_LAUNCHER, controller.given});
        child.interpreted = true;
        const char* theirs = std::getenv("PYTHONPATH");
        child.environment.push_back("PYTHONPATH=" + controller.python_modules.string() +
                                    (theirs != nullptr && *theirs != '\0' ? ":" + std::string(theirs) : ""));
        facts.interpreter = PYTHON;
    }
    facts.controller_sha256 = controller.held->sha256_now();
    child.program_bytes = &controller.held->bytes();
    // A script, unlike a program that runs, can be written over in place
    // while it is read: Python reads a sealed copy of the bytes just hashed.
    script = -1;
    if (child.interpreted && !facts.controller_sha256.value_or("").empty())
        script = sealed_copy(controller.held->bytes());
    if (script >= 0) child.program_fd = script;
    return child;
}

namespace {

void start(Run& run, Controller& controller) {
    run.started = std::chrono::steady_clock::now();
    try {
        sim::write_file(run.folder + "/" + sim::WORLD_FILE, run.text);
        if (const auto& picture = run.world->floor.image_file) {
            sim::write_file(run.folder + "/" + run.world->floor.image, *picture);
        }
    } catch (const sim::FileError& error) {
        run.facts.error = error.what();
        return;
    }
    int script = -1;
    ChildSpec child = controller_child(controller, run.folder, run.facts, script);
    child.environment.push_back("LINE_SIM_WORLD=" + run.folder + "/" + sim::WORLD_FILE);
    child.environment.push_back("LINE_SIM_OUTPUT=" + run.folder);
    child.environment.push_back("LINE_SIM_RECORD_FD=" + std::to_string(RECORD_FD));
    const GuardedChild started = start_guarded_child(child);
    if (script >= 0) close(script);
    run.pid = started.guard;
    run.record_fd = started.record_fd;
    if (run.pid < 0) {
        run.facts.error = "cannot start " + controller.given + ": " + std::strerror(errno);
        return;
    }
    // A file of the same name left in the folder (by a run killed before it
    // finished) would be read for the robot's until the robot replaced it.
    bool left_before = false;
    for (const std::string name : {sim::TRACE_FILE, sim::FRAMES_FILE}) {
        const auto& kept = run.run_folder.kept;
        left_before = left_before || kept.count(name) != 0 || kept.count(sim::part_name(name)) != 0;
    }
    try {
        if (!left_before) run.live = std::make_unique<LiveRunFiles>(run.folder, *run.world, controller.own);
    } catch (const std::system_error&) {
        // No thread to spare: the files are made once the run is over.
    }
}

// A run's world and its text, held only while it goes (a sweep has thousands of runs).
void let_go(Run& run) {
    run.world.reset();
    std::string().swap(run.text);
}

// The robot's end record, read once its controller has ended: the end
// reason's word on the first line, a failure's line on the second.
void take_record(Run& run) {
    if (run.record_fd < 0) return;
    char bytes[65536];
    for (ssize_t n; run.record.size() < (std::size_t{1} << 16) && (n = read(run.record_fd, bytes, sizeof bytes)) > 0;) {
        run.record.append(bytes, static_cast<std::size_t>(n));
    }
    close(run.record_fd);
    run.record_fd = -1;
}

// The robot's record's line `index` (0: the end reason, 1: a failure, 2:
// the summary), or ""; the guard's own line ("exec ...") is passed over.
std::string record_line(const Run& run, int index) {
    for (std::size_t begin = 0; begin < run.record.size();) {
        const std::size_t end = run.record.find('\n', begin);
        const std::string line = run.record.substr(begin, end - begin);
        if (line.rfind("exec ", 0) != 0 && index-- == 0) return line;
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return "";
}

// The robot's summary, where it wrote one whole and true to its kind.
std::optional<sim::RunSummary> robot_summary(const Run& run, const std::string& summary_path) {
    try {
        std::ifstream file(summary_path);
        return sim::summary_from_json(nlohmann::json::parse(file));
    } catch (const std::exception&) {  // nlohmann::json::exception, sim::FieldError
    }
    // Where summary.json could not be written, the robot's record brings it.
    try {
        if (!record_line(run, 2).empty()) return sim::summary_from_json(nlohmann::json::parse(record_line(run, 2)));
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The run's files completed. summary.json is the robot's; where the
// controller ended before the robot could write it, one is worked out from
// the trace, with the end reason from the robot's record (or, without one,
// from how the controller ended). Then the pages, and line-sim.json last,
// so that it says whether every file was written whole.
void finish_files(Run& run, const Controller& controller) {
    if (run.live) run.live->writer_ended();
    const sim::WorldSettings& world = *run.world;
    const std::string summary_path = run.folder + "/" + sim::SUMMARY_FILE,
                      trace_path = run.folder + "/" + sim::TRACE_FILE;
    const std::optional<sim::EndReason> recorded = sim::end_reason_from_word(record_line(run, 0));
    const std::string failure = record_line(run, 1);
    if (!failure.empty()) run.facts.error = failure;
    // A robot that could not write its files leaves what it wrote under the
    // temporary names; a controller that crashed leaves whole rows and frames.
    const bool robot_failed = recorded == sim::EndReason::files_not_written;
    if (!robot_failed) {
        sim::complete_cut_trace(trace_path);
        sim::complete_cut_frames(run.folder + "/" + sim::FRAMES_FILE);
    }
    const sim::Track track(world.track);
    sim::LineSimFacts& facts = run.facts;
    run.summary = robot_summary(run, summary_path);
    if (!run.summary) {
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
        const std::string read_from = fs_exists(trace_path) ? trace_path : sim::part_name(trace_path);
        const sim::Metrics metrics = sim::replay_metrics(read_from, world, track.length());
        const sim::EndReason reason = recorded        ? *recorded
                                      : run.timed_out ? sim::EndReason::wall_time_limit
                                      : run.stopped   ? sim::EndReason::interrupted
                                                      : sim::EndReason::controller_exited;
        double sim_time = 0.0;
        {
            sim::TraceReader trace(read_from);
            for (sim::TraceRow row{}; trace.next(row);) sim_time = row.t;
        }
        run.summary = sim::summarise(world, sim_time, wall, metrics, reason);
        try {
            sim::write_file(summary_path, sim::to_json(*run.summary).dump(2) + "\n");
        } catch (const sim::FileError& error) {
            facts.files_whole = false;
            if (facts.error.empty()) facts.error = error.what();
        }
    }
    // Written over while the run started: what ran is not the file that was
    // hashed, and no hash is given for it. Where it could not start at all
    // (being written at that instant: ETXTBSY), nothing ran.
    const std::size_t failed = run.record.find("exec failed ");
    if (failed != std::string::npos) {
        facts.controller_sha256.reset();
        facts.error =
            "cannot start " + facts.controller + ": " + std::strerror(std::atoi(run.record.c_str() + failed + 12));
    } else if (run.pid > 0 && run.record.find("exec same\n") == std::string::npos) {
        facts.controller_sha256.reset();
        facts.error = facts.controller + ": the file was written over as the run started, so what ran is not known";
    }
    // The controller's output and the robot's report, which its guard keeps
    // under their temporary names where it could not write them whole.
    for (const char* name : {sim::OUTPUT_FILE, sim::REPORT_FILE}) {
        if (!fs_exists(sim::part_name(run.folder + "/" + name))) continue;
        facts.files_whole = false;
        if (facts.error.empty()) facts.error = run.folder + "/" + name + ": cannot be written whole";
    }
    if (run.summary->end_reason == sim::EndReason::files_not_written) facts.files_whole = false;
    if (!facts.files_whole && facts.error.empty()) facts.error = run.folder + ": the run's files could not be written";
    try {
        const nlohmann::json joined = sim::joined_json(*run.summary, facts);
        // (Where the robot could not write its files, what the reading saw
        // of them before they were removed is not what is left: the pages
        // are made from what is left.)
        const bool made = run.live && facts.files_whole && run.live->finish(joined);
        // Otherwise the reading stops and its page is removed before another is begun under the same name.
        run.live.reset();
        // Without a whole trace a page would show a run of no steps: none is made.
        if (!made && fs_exists(trace_path)) {
            // The picture is drawn on a thread of its own while the replay is written: on
            // a machine of two or more cores the run's files are done sooner.
            auto trajectory = std::async(std::launch::async, [&] {
                write_trajectory_svg(run.folder + "/" + sim::TRAJECTORY_FILE, world, track, trace_path);
            });
            write_replay(run.folder, world, joined, controller.own);
            trajectory.get();
        }
    } catch (const std::exception& error) {
        if (facts.files_whole || facts.error.empty()) facts.error = error.what();
        facts.files_whole = false;
    }
    try {
        // (An argument or a path given that is not UTF-8 is written with U+FFFD in its place.)
        sim::write_file(run.folder + "/" + sim::LINE_SIM_FILE,
                        sim::to_json(facts).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    } catch (const sim::FileError& error) {
        facts.files_whole = false;
        if (facts.error.empty()) facts.error = error.what();
    }
}

void finish(Run& run, const Controller& controller) {
    take_record(run);
    try {
        finish_files(run, controller);
    } catch (const std::exception& error) {  // a file that cannot be written, named; or no memory for one
        if (run.facts.error.empty()) {
            const bool memory = dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
            run.facts.error = memory ? run.folder + ": out of memory while completing the run's files" : error.what();
        }
        run.facts.files_whole = false;
    }
    // What was read while the run went is let go (a sweep has thousands of
    // runs), and a page begun then but not finished is removed before the
    // files are listed.
    run.live.reset();
    let_go(run);
    // Whatever failed, the files that are there are listed as the run's.
    try {
        write_manifest(run.run_folder);
    } catch (const std::exception&) {
    }
}

// A run that could not start (its folder or world.toml could not be
// written, no process to be had) is still a row of the results, saying so,
// and leaves no empty folder behind.
void not_started(Run& run) {
    run.facts.controller_exit_status = 127;
    run.summary = sim::summarise(*run.world, 0.0, 0.0, sim::Metrics(run.world->run, 0.0), sim::EndReason::none);
    run.facts.files_whole = false;
    if (!run.folder.empty()) rmdir(run.folder.c_str());  // only if empty
    let_go(run);
}

// The simulated time a run has reached: the last whole line of its trace.
double progress_of(const Run& run) {
    std::ifstream file(sim::part_name(run.folder + "/" + sim::TRACE_FILE), std::ios::binary | std::ios::ate);
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

}  // namespace

bool ended_normally(const Run& run) {
    // A controller killed for lingering after its run was over ended it as well as one that left.
    const bool left = run.facts.controller_exit_status == 0 || (run.over && !run.stopped);
    return left && run.facts.error.empty() && run.summary &&
           sim::end_reason_info(sim::joined_end_reason(*run.summary, run.facts)).normal;
}

std::deque<Run> run_all(std::size_t count, const std::function<Run(std::size_t)>& prepare, Controller& controller,
                        unsigned jobs, bool progress, const volatile std::sig_atomic_t& interrupted) {
    const auto began = std::chrono::steady_clock::now();
    // SIGCHLD is held back and waited for, so that a run that ends is taken
    // up at once rather than at the next poll. (Children start with no
    // signal blocked: start_child clears the mask.)
    sigset_t child_ended, before;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &child_ended, &before);
    std::deque<Run> runs;       // every run made so far; a deque keeps each where it is
    std::vector<Run*> running;  // those whose controllers have not ended
    std::size_t done = 0, progress_lines = 0;
    std::optional<std::chrono::steady_clock::time_point> stop_sent;
    const auto seconds_since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    // Once interrupted no run starts; the loop waits for those running.
    while ((!interrupted && runs.size() < count) || !running.empty()) {
        if (interrupted && !stop_sent) {
            stop_sent = std::chrono::steady_clock::now();
            for (Run* run : running) {
                run->stopped = true;
                stop_guarded_child(run->pid);
            }
        }
        for (Run* run : running) {
            // A controller that lingers once its run is over (the robot has
            // written the summary), or once told to stop, gets a grace period.
            if (!run->over && fs_exists(run->folder + "/" + sim::SUMMARY_FILE))
                run->over = std::chrono::steady_clock::now();
            if ((stop_sent && seconds_since(*stop_sent) > GRACE) || (run->over && seconds_since(*run->over) > GRACE)) {
                kill_guarded_child(run->pid);
            }
            // The robot ends a run past its wall-clock limit at the next step;
            // a controller that takes no step for a grace period after it is hung.
            if (!run->over && !run->timed_out &&
                seconds_since(run->started) > run->world->run.wall_time_limit + GRACE) {
                run->timed_out = true;
                kill_guarded_child(run->pid);
            }
        }
        while (!interrupted && runs.size() < count && running.size() < jobs) {
            Run& run = runs.emplace_back(prepare(runs.size()));
            run.facts.controller = controller.given;
            if (run.facts.error.empty()) start(run, controller);
            if (run.pid > 0) {
                running.push_back(&run);
            } else {
                not_started(run);
                ++done;
            }
        }
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended > 0) {
            for (auto at = running.begin(); at != running.end(); ++at) {
                Run& run = **at;
                if (run.pid != ended) continue;
                // Its guard has killed whatever the controller started, in any process group or session.
                run.facts.controller_exit_status = exit_status_of(status);
                running.erase(at);
                ++done;
                finish(run, controller);
                break;
            }
            continue;  // another may have ended too
        }
        if (progress) {
            // The whole call, then a line a running run, redrawn in place.
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            char line[256];
            if (done > 0) {
                std::snprintf(line, sizeof line, "%zu of %zu runs done, %.0f s elapsed, about %.0f s left\n", done,
                              count, elapsed, elapsed / static_cast<double>(done) * static_cast<double>(count - done));
            } else {
                std::snprintf(line, sizeof line, "0 of %zu runs done, %.0f s elapsed\n", count, elapsed);
            }
            std::string lines = line;
            std::size_t shown = 1;
            for (const Run* run : running) {
                const double busy =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - run->started).count();
                if (busy < PROGRESS_AFTER) continue;
                std::snprintf(line, sizeof line, "  %-30s %8.1f of %.1f s simulated\n", run->plan.folder.c_str(),
                              progress_of(*run), run->world->run.duration);
                lines += line;
                ++shown;
            }
            for (std::size_t i = 0; i < progress_lines; ++i) std::fputs("\033[1A\033[2K", stderr);
            std::fputs(lines.c_str(), stderr);
            progress_lines = shown;
        }
        // Until a child ends, a signal (Ctrl-C) comes, or it is time to redraw the progress lines.
        const timespec timeout{0, std::chrono::nanoseconds(POLL).count()};
        sigtimedwait(&child_ended, nullptr, &timeout);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    for (std::size_t i = 0; i < progress_lines; ++i) std::fputs("\033[1A\033[2K", stderr);
    return runs;
}

}  // namespace line_sim
