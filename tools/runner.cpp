#include "runner.hpp"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "child_process.hpp"
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

void start(Run& run, const Controller& controller) {
    run.started = std::chrono::steady_clock::now();
    try {
        sim::write_file(run.folder + "/world.toml", run.text);
    } catch (const sim::FileError& error) {
        run.error = error.what();
        return;
    }
    // The simulated robot's library, whatever the caller's search path or the
    // controller's own run path says: first on the path, which comes before a
    // RUNPATH, and preloaded where an old RPATH would come before the path.
    // (Preloading only then keeps a sanitizer's runtime first where it must be.)
    ChildSpec child{controller.path.string(), controller.arguments,
                    environment_without({"LINE_SIM_", "LD_LIBRARY_PATH=", "LD_PRELOAD="}),
                    run.folder + "/controller-output.txt", run.folder + "/report.txt", ""};
    child.environment.push_back("LD_LIBRARY_PATH=" + controller.library.parent_path().string());
    if (controller.preload) child.environment.push_back("LD_PRELOAD=" + controller.library.string());
    child.environment.push_back("LINE_SIM_WORLD=" + run.folder + "/world.toml");
    child.environment.push_back("LINE_SIM_OUTPUT=" + run.folder);
    run.pid = start_child(child);
    if (run.pid < 0) {
        run.error = "cannot start " + controller.given + ": " + std::strerror(errno);
        return;
    }
    // A file of the same name left in the folder (by a run killed before it
    // finished) would be read for the robot's until the robot replaced it.
    bool left_before = false;
    for (const std::string name : {"trace.csv", sim::FRAMES_FILE}) {
        const auto& kept = run.run_folder.kept;
        left_before = left_before || kept.count(name) != 0 || kept.count(sim::part_name(name)) != 0;
    }
    try {
        if (!left_before) run.live = std::make_unique<LiveRunFiles>(run.folder, run.world);
    } catch (const std::system_error&) {
        // No thread to spare: the files are made once the run is over.
    }
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
void finish_files(Run& run, const Controller& controller) {
    if (run.live) run.live->writer_ended();
    const std::string summary_path = run.folder + "/summary.json", trace_path = run.folder + "/trace.csv";
    complete_cut_trace(trace_path);
    // A cut last frame is left out when the frames are read.
    std::rename(sim::part_name(run.folder + "/" + sim::FRAMES_FILE).c_str(), (run.folder + "/" + sim::FRAMES_FILE).c_str());
    const sim::Track track(run.world.track);
    try {
        std::ifstream file(summary_path);
        run.summary = sim::summary_from_json(nlohmann::json::parse(file));
    } catch (const nlohmann::json::exception&) {
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
        const sim::Metrics metrics = replay_metrics(trace_path, run.world, track.length());
        // Without the robot's summary: stopped, or the robot said it could not
        // write the files, or the controller ended (or crashed) before the run did.
        const sim::EndReason reason = run.stopped                     ? sim::EndReason::interrupted
                                      : !write_failures(run).empty() ? sim::EndReason::files_not_written
                                                                     : sim::EndReason::controller_exited;
        double sim_time = 0.0;
        {
            TraceReader trace(trace_path);
            for (TraceRow row{}; trace.next(row);) sim_time = row.t;
        }
        run.summary = sim::summarise(run.world, sim_time, wall, metrics, reason);
    }
    run.summary->controller_exit_status = run.exit_status;
    run.summary->controller = controller.given;
    run.summary->controller_sha256 = controller.sha256;
    if (run.summary->end_reason == sim::EndReason::files_not_written && run.error.empty()) {
        const std::string said = write_failures(run);
        run.error = said.empty() ? run.folder + ": the run's files could not be written" : said;
    }
    const nlohmann::json summary = sim::to_json(*run.summary);
    sim::write_file(summary_path, summary.dump(2) + "\n");
    // (Where the robot could not write its files, what the reading saw of them
    // before they were removed is not what is left.)
    const bool files_written = run.summary->end_reason != sim::EndReason::files_not_written;
    const bool made = run.live && files_written && run.live->finish(summary);
    // Otherwise the reading stops and its page is removed before another is begun under the same name.
    run.live.reset();
    if (made) return;
    // The picture is drawn on a thread of its own while the replay is written: on
    // a machine of two or more cores the run's files are done sooner.
    auto trajectory = std::async(std::launch::async,
                                 [&] { write_trajectory_svg(run.folder + "/trajectory.svg", run.world, track, trace_path); });
    write_replay(run.folder, run.world, summary);
    trajectory.get();
}

void finish(Run& run, const Controller& controller) {
    try {
        finish_files(run, controller);
    } catch (const std::bad_alloc&) {
        if (run.error.empty()) run.error = run.folder + ": out of memory while completing the run's files";
    } catch (const std::exception& error) {  // a file that cannot be written, named
        if (run.error.empty()) run.error = error.what();
    }
    // What was read while the run went is let go (a sweep has thousands of
    // runs), and a page begun then but not finished is removed before the
    // files are listed.
    run.live.reset();
    // Whatever failed, the files that are there are listed as the run's.
    try {
        write_manifest(run.run_folder);
    } catch (const std::exception&) {
    }
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

}  // namespace

bool ended_normally(const Run& run) {
    // A controller killed for lingering after its run was over ended it as well as one that left.
    const bool left = run.exit_status == 0 || (run.over && !run.stopped);
    return left && run.error.empty() && run.summary && sim::end_reason_info(run.summary->end_reason).normal;
}

void run_all(std::vector<Run>& runs, const Controller& controller, unsigned jobs, bool progress,
             const volatile std::sig_atomic_t& interrupted) {
    const auto began = std::chrono::steady_clock::now();
    // SIGCHLD is held back and waited for, so that a run that ends is taken
    // up at once rather than at the next poll. (Children start with no
    // signal blocked: start_child clears the mask.)
    sigset_t child_ended, before;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &child_ended, &before);
    std::size_t next = 0, running = 0, done = 0, progress_lines = 0;
    std::optional<std::chrono::steady_clock::time_point> stop_sent;
    const auto seconds_since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    // Once interrupted no run starts; the loop waits for those running.
    while ((!interrupted && next < runs.size()) || running > 0) {
        if (interrupted && !stop_sent) {
            stop_sent = std::chrono::steady_clock::now();
            for (Run& run : runs) {
                if (run.pid > 0 && run.exit_status < 0) {
                    run.stopped = true;
                    kill(-run.pid, SIGTERM);
                }
            }
        }
        for (Run& run : runs) {
            if (run.pid <= 0 || run.exit_status >= 0) continue;
            // A controller that lingers once its run is over (the robot has
            // written the summary), or once told to stop, gets a grace period.
            if (!run.over && fs_exists(run.folder + "/summary.json")) run.over = std::chrono::steady_clock::now();
            if ((stop_sent && seconds_since(*stop_sent) > GRACE) || (run.over && seconds_since(*run.over) > GRACE)) {
                kill(-run.pid, SIGKILL);
            }
        }
        while (!interrupted && next < runs.size() && running < jobs) {
            start(runs[next], controller);
            if (runs[next].pid > 0) {
                ++running;
            } else {
                runs[next].exit_status = 127;
                ++done;
            }
            ++next;
        }
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended > 0) {
            for (Run& run : runs) {
                if (run.pid != ended) continue;
                run.exit_status = exit_status_of(status);
                // Whatever the controller started in its process group goes with it.
                kill(-run.pid, SIGKILL);
                --running;
                ++done;
                finish(run, controller);
            }
            continue;  // another may have ended too
        }
        if (progress) {
            // The whole call, then a line a running run, redrawn in place.
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            char line[256];
            if (done > 0) {
                std::snprintf(line, sizeof line, "%zu of %zu runs done, %.0f s elapsed, about %.0f s left\n", done,
                              runs.size(), elapsed, elapsed / static_cast<double>(done) * static_cast<double>(runs.size() - done));
            } else {
                std::snprintf(line, sizeof line, "0 of %zu runs done, %.0f s elapsed\n", runs.size(), elapsed);
            }
            std::string lines = line;
            std::size_t count = 1;
            for (const Run& run : runs) {
                if (run.pid <= 0 || run.exit_status >= 0) continue;
                const double busy = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
                if (busy < PROGRESS_AFTER) continue;
                std::snprintf(line, sizeof line, "  %-30s %8.1f of %.1f s simulated\n", run.plan.folder.c_str(),
                              progress_of(run), run.world.run.duration);
                lines += line;
                ++count;
            }
            for (std::size_t i = 0; i < progress_lines; ++i) std::fputs("\033[1A\033[2K", stderr);
            std::fputs(lines.c_str(), stderr);
            progress_lines = count;
        }
        // Until a child ends, a signal (Ctrl-C) comes, or it is time to redraw the progress lines.
        const timespec timeout{0, std::chrono::nanoseconds(POLL).count()};
        sigtimedwait(&child_ended, nullptr, &timeout);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    for (std::size_t i = 0; i < progress_lines; ++i) std::fputs("\033[1A\033[2K", stderr);
}

}  // namespace line_sim
