// The robot library's nine operations over one simulated run.
//
//   LINE_SIM_WORLD   the world file to run (the built-in oval without it); an
//                    unusable world ends the process with status 2 before any step
//   LINE_SIM_OUTPUT  an existing folder for the run's files: trace.csv, every
//                    camera frame (camera-frames.bin), camera snapshots and
//                    summary.json (none without it)
//   LINE_SIM_RECORD_FD  a descriptor (line-sim's pipe) that gets the run's
//                    end record once it is over: the end reason's word on a
//                    line, the first failure's line (empty if none), and the
//                    summary as one line of JSON where it fits. It reaches
//                    line-sim even when no file can be written (a full disk).
//   SIM_FRAME_TIMES  for tests: simulated times [s], separated by commas; the
//                    frame of the first step at or after each is also saved as
//                    camera-frame-<time>s.png. Not LINE_SIM_ like the others,
//                    since line-sim sets those itself and passes this one on.
//
// wb_robot_cleanup writes the run's report to standard error, since standard
// output belongs to the controller. SIGINT or SIGTERM ends the run at the next
// step, so that the controller closes it and nothing measured is lost; a
// second one ends the process at once. A file that cannot be written (a full
// disk) ends the run with one line on standard error naming it; the summary
// then says files_not_written. No C++ exception leaves these functions: the
// controller calling them may not even be written in C++.
//
// The controller is a stranger's program, so the robot bounds what it may do.
// It serves one thread, the one that called wb_robot_init: a call from any
// other is refused (one line on standard error, the first time; nothing of
// the run touched) and the run ends at the owner's next step (other_thread).
// A wheel speed that is not a finite number ends the run (invalid_speed);
// steps that let no time pass end it after Simulation::MOST_STILL_STEPS
// (clock_stopped); and a run that takes longer than the world's
// run.wall_time_limit in wall-clock time ends at its next step
// (wall_time_limit).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "robot_interface.h"
#include "run_files.hpp"
#include "run_summary.hpp"
#include "simulation.hpp"
#include "world_file.hpp"

namespace {

constexpr DeviceTag CAMERA_TAG = 1;  // 0 names no device

struct Platform {
    std::unique_ptr<sim::Simulation> simulation;
    std::unique_ptr<sim::RunFiles> files;
    std::chrono::steady_clock::time_point started;
    double deadline = 0.0;  // [s] of wall_now() when the run's wall-clock time limit is reached
    bool files_failed = false;
    std::string failure;  // the first failure's line, for the end record
};

Platform platform;
volatile std::sig_atomic_t stop_requested = 0;

// The thread the robot serves (none before wb_robot_init), and whether another
// has called it. Read on every call, so atomics and no lock: a step pays two
// loads for them.
std::atomic<std::thread::id> owner{};
std::atomic<bool> intruded{false};
static_assert(std::atomic<std::thread::id>::is_always_lock_free);

// Whether the calling thread is the one the robot serves. Another's call is
// refused, said once, and ends the run at the owner's next step; before
// wb_robot_init there is nothing to serve and nothing to say.
bool from_owner(const char* operation) {
    const std::thread::id served = owner.load(std::memory_order_acquire);
    if (served == std::this_thread::get_id()) return true;
    if (served != std::thread::id{} && !intruded.exchange(true)) {
        std::fprintf(stderr,
                     "simulated robot: %s called from a second thread, refused: the robot serves only the thread that "
                     "called wb_robot_init, and the run ends\n",
                     operation);
    }
    return false;
}

extern "C" void request_stop(int) { stop_requested = 1; }

// A controller that crashes takes the buffered end of the trace and frames
// with it: hand it to the files, then crash as it would have.
extern "C" void flush_and_crash(int signal) {
    if (platform.files) platform.files->flush();
    std::raise(signal);  // the handler was reset on entry
}

[[noreturn]] void fail(const std::string& line, int status) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::exit(status);
}

sim::Simulation* camera_of(DeviceTag tag) { return tag == CAMERA_TAG ? platform.simulation.get() : nullptr; }

std::vector<double> frame_times() {
    std::vector<double> times;
    const char* text = std::getenv("SIM_FRAME_TIMES");
    if (text == nullptr || *text == '\0') return times;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        char* end = nullptr;
        const double t = std::strtod(item.c_str(), &end);
        if (end == item.c_str() || *end != '\0' || !std::isfinite(t)) {
            fail(
                std::string("SIM_FRAME_TIMES: expected simulated times in s separated by commas, not \"") + text + "\"",
                2);
        }
        times.push_back(t);
    }
    return times;
}

// Reports what went wrong inside an operation, once, and ends the run: the
// controller's next step gets -1 and it closes the run as usual.
void failed_inside(const char* what, sim::EndReason reason) {
    if (!platform.files_failed) {
        std::fprintf(stderr, "simulated robot: %s\n", what);
        platform.failure = what;
    }
    platform.files_failed = true;
    if (platform.simulation) platform.simulation->stop(reason);
}

// Runs an operation's body, turning any exception into a report.
template <typename Body>
void guarded(const Body& body) {
    try {
        body();
    } catch (const sim::FileError& error) {
        failed_inside(error.what(), sim::EndReason::files_not_written);
    } catch (const std::bad_alloc&) {
        failed_inside("out of memory", sim::EndReason::interrupted);
    } catch (const std::exception& error) {
        failed_inside(error.what(), sim::EndReason::interrupted);
    }
}

// The run's files are complete once the run is over: the summary is there
// even if the controller never calls wb_robot_cleanup, or lingers after it.
void close_files(sim::EndReason end_reason) {
    if (!platform.files) return;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - platform.started;
    const bool failed_before = platform.files_failed;
    guarded([&] { platform.files->finished(*platform.simulation, wall.count(), end_reason); });
    platform.files.reset();
    if (platform.files_failed && !failed_before) {
        end_reason = sim::EndReason::files_not_written;
        platform.simulation->files_not_written();
    }
    const char* fd_text = std::getenv("LINE_SIM_RECORD_FD");
    if (fd_text == nullptr || *fd_text == '\0') return;
    // One write into the empty pipe, which holds 64 KiB: the summary goes
    // along where it fits (all but runs of thousands of laps), for line-sim
    // to take where summary.json could not be written.
    std::string record =
        std::string(sim::end_reason_info(end_reason).word) + "\n" + platform.failure.substr(0, 2000) + "\n";
    const std::string summary = sim::to_json(sim::summarise(platform.simulation->world(), platform.simulation->time(),
                                                            wall.count(), platform.simulation->metrics(), end_reason))
                                    .dump();
    if (summary.size() < 60000) record += summary + "\n";
    const int fd = std::atoi(fd_text);
    if (fd > 2 && write(fd, record.data(), record.size()) >= 0) close(fd);
}

}  // namespace

extern "C" {

void wb_robot_init(void) {
    std::thread::id none{};
    if (!owner.compare_exchange_strong(none, std::this_thread::get_id()) && !from_owner("wb_robot_init")) return;
    if (platform.simulation) return;  // one run a process
    const char* path = std::getenv("LINE_SIM_WORLD");
    const bool named = path != nullptr && *path != '\0';
    try {
        const sim::WorldSettings world =
            named ? sim::load_world_file(path) : sim::parse_world(sim::DEFAULT_WORLD, "(built-in oval)");
        platform.simulation = std::make_unique<sim::Simulation>(world);
    } catch (const sim::WorldError& error) {
        fail(error.what(), 2);
    } catch (const std::exception&) {
        fail(std::string("world ") + (named ? path : "(built-in oval)") + ": too large to simulate in memory", 2);
    }
    // A file grown past the size limit (ulimit -f) is then a failed write,
    // reported, instead of a signal that kills the controller.
    std::signal(SIGXFSZ, SIG_IGN);
    if (const char* folder = std::getenv("LINE_SIM_OUTPUT"); folder != nullptr && *folder != '\0') {
        try {
            platform.files =
                std::make_unique<sim::RunFiles>(folder, platform.simulation->world().run.duration, frame_times());
        } catch (const std::exception& error) {
            fail(std::string("simulated robot: ") + error.what(), 1);
        }
    }
    struct sigaction action {};
    action.sa_handler = request_stop;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_RESTART);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction crash {};
    crash.sa_handler = flush_and_crash;
    crash.sa_flags = static_cast<int>(SA_RESETHAND);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(signal, &crash, nullptr);
    platform.started = std::chrono::steady_clock::now();
    platform.deadline = sim::wall_now() + platform.simulation->world().run.wall_time_limit;
}

DeviceTag wb_robot_get_device(const char* name) {
    if (!from_owner("wb_robot_get_device")) return 0;
    if (name != nullptr && std::strcmp(name, "camera") == 0) return CAMERA_TAG;
    std::fprintf(stderr, "simulated robot: no device named \"%s\" (it has \"camera\")\n", name ? name : "(null)");
    return 0;
}

void wb_camera_enable(DeviceTag camera, int32_t sampling_period_ms) {
    if (!from_owner("wb_camera_enable")) return;
    sim::Simulation* s = camera_of(camera);
    if (s == nullptr) return;
    const bool first = !s->camera_enabled();
    guarded([&] {
        s->enable_camera(sampling_period_ms);
        if (first && platform.files && !platform.files_failed) platform.files->started(*s);
    });
}

int32_t wb_camera_get_width(DeviceTag camera) {
    if (!from_owner("wb_camera_get_width")) return 0;
    const sim::Simulation* s = camera_of(camera);
    return s ? s->camera().width() : 0;
}

int32_t wb_camera_get_height(DeviceTag camera) {
    if (!from_owner("wb_camera_get_height")) return 0;
    const sim::Simulation* s = camera_of(camera);
    return s ? s->camera().height() : 0;
}

const unsigned char* wb_camera_get_image(DeviceTag camera) {
    if (!from_owner("wb_camera_get_image")) return nullptr;
    const sim::Simulation* s = camera_of(camera);
    return s && s->camera_enabled() ? s->camera().image() : nullptr;
}

void wb_differential_wheels_set_speed(double left, double right) {
    if (!from_owner("wb_differential_wheels_set_speed") || !platform.simulation) return;
    const bool running = platform.simulation->end_reason() == sim::EndReason::none;
    if (!platform.simulation->set_wheel_speeds(left, right) && running) {
        std::fprintf(
            stderr,
            "simulated robot: wb_differential_wheels_set_speed(%g, %g): expected finite wheel speeds in rad/s; "
            "the run ends\n",
            left, right);
    }
}

int32_t wb_robot_step(int32_t duration_ms) {
    if (!from_owner("wb_robot_step")) return -1;
    sim::Simulation* s = platform.simulation.get();
    if (s == nullptr) return -1;
    if (stop_requested) s->stop(sim::EndReason::interrupted);
    if (intruded.load(std::memory_order_relaxed)) s->stop(sim::EndReason::other_thread);
    if (sim::wall_now() > platform.deadline) s->stop(sim::EndReason::wall_time_limit);
    bool going_on = false;
    guarded([&] {
        const std::int64_t steps = s->metrics().steps;
        going_on = s->step(duration_ms);
        if (platform.files && !platform.files_failed && s->metrics().steps != steps) platform.files->stepped(*s);
    });
    if (!going_on || platform.files_failed) {
        close_files(s->end_reason());
        return -1;
    }
    return 0;
}

void wb_robot_cleanup(void) {
    if (!from_owner("wb_robot_cleanup") || !platform.simulation) return;
    // Closed before the run was over: the controller ended it.
    platform.simulation->stop(sim::EndReason::controller_exited);
    close_files(platform.simulation->end_reason());
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - platform.started;
    // On a terminal the report would go on from the controller's size text, which has no line end.
    if (isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)) std::fputs("\n", stderr);
    guarded([&] { std::fputs(platform.simulation->report(wall.count()).c_str(), stderr); });
    platform.simulation.reset();
}

}  // extern "C"
