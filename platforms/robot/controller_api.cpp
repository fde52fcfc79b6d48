// The robot library's nine operations on a real robot: the camera through a
// GStreamer pipeline, the motors through a serial link to the motor board,
// each step paced by the monotonic clock.
//
//   LINE_ROBOT_FILE     the robot file (robot_file.hpp); needed
//   LINE_ROBOT_OUTPUT   an existing folder for the run's files (robot_run.hpp;
//                       none without it)
//   LINE_ROBOT_DRY_RUN  1: no motor board; everything else as a real run
//   LINE_ROBOT_FOOTAGE  a video file, a frames file or a run's folder: its
//                       frames instead of the camera's, one a step in order,
//                       as fast as the controller takes them; no motor board
//
// Steps return at ticks of the monotonic clock counted from the first step,
// whatever the controller spends between them; a controller that asks for a
// step after its tick has passed is counted (an overrun) and gets the next
// tick, never a burst of steps to catch up. The step answers -1 once the run
// is over: run.duration reached, SIGINT / SIGTERM / SIGHUP, the camera's
// stream ended, failed or stale (no new frame within camera.stale_limit),
// the board silent or its port gone.
//
// Nothing moves that should not. The motors are stopped whenever the run
// ends, at wb_robot_cleanup, when the process exits without it, from the
// signal handler of SIGINT / SIGTERM / SIGHUP at once (before the step that
// ends the run), and on a fatal signal in the controller (the stop written
// from the handler, then the signal's own action). Past those (SIGKILL, a
// lost link) the board's firmware stops by itself for want of commands, and
// line-robot writes a stop once the controller is gone.
//
// A setting that cannot work (the robot file, the pipeline, the port) ends
// the process in wb_robot_init with one line naming it and status 2, before
// anything is written to the board.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board_link.hpp"
#include "camera_stream.hpp"
#include "file_names.hpp"
#include "files.hpp"
#include "frame_codec.hpp"
#include "recorder.hpp"
#include "robot_file.hpp"
#include "robot_interface.h"
#include "robot_run.hpp"

namespace {

constexpr DeviceTag CAMERA_TAG = 1;  // 0 names no device

// [ns] on the monotonic clock: the ticks are whole nanoseconds, so that a
// run's times are exact multiples of its step (0.032 s, not 0.0319999...).
std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}
double now_s() { return 1e-9 * static_cast<double>(now_ns()); }

// A run's recorded frames, handed out again in order.
class RecordedFrames {
public:
    RecordedFrames(const std::string& path, std::int32_t width, std::int32_t height) : file_(path, std::ios::binary) {
        if (!file_) throw robot::CameraError("footage " + path + ": cannot be read");
        try {
            const sim::FramesHeader header = sim::read_frames_header(file_, path);
            if (header.width != width || header.height != height) {
                throw robot::CameraError("footage " + path + ": its frames are " + std::to_string(header.width) +
                                         " x " + std::to_string(header.height) +
                                         " px, the robot file's camera.width x camera.height " + std::to_string(width) +
                                         " x " + std::to_string(height) + ": set them to the footage's");
            }
        } catch (const robot::CameraError&) {
            throw;
        } catch (const std::exception& error) {
            throw robot::CameraError(error.what());
        }
        decoder_.emplace(width, height);
    }
    bool next() {
        try {
            return decoder_->next(file_);
        } catch (const std::exception&) {
            return false;  // a frame no recorder wrote: the footage ends there
        }
    }
    const std::uint8_t* image() const { return decoder_->image().data(); }

private:
    std::ifstream file_;
    std::optional<sim::FrameDecoder> decoder_;
};

struct Platform {
    robot::RobotSettings settings;
    std::string mode = "live";  // "live", "dry_run" or "footage"
    std::unique_ptr<robot::CameraStream> camera;
    std::unique_ptr<RecordedFrames> recorded;
    std::unique_ptr<robot::BoardLink> board;
    std::unique_ptr<robot::Recorder> recorder;
    bool enabled = false, running = false, closed = false;
    std::int64_t start = 0, tick = 0;  // [ns] monotonic: the first step's call; the last tick, after it
    double left = 0.0, right = 0.0;    // [rad/s] in force
    sim::SpreadCounter frame_age, late;
    sim::RobotSummary summary;
};

Platform platform;
volatile std::sig_atomic_t stop_requested = 0;
std::atomic<int> board_fd{-1};  // where a signal handler writes the stop
static_assert(std::atomic<int>::is_always_lock_free);

void write_stop() {
    const int fd = board_fd.load();
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = write(fd, robot::STOP_LINE.data(), robot::STOP_LINE.size());
    }
}

extern "C" void request_stop(int) {
    write_stop();
    stop_requested = 1;
}

extern "C" void stop_and_crash(int signal) {
    write_stop();
    // What was recorded up to the crash; line-robot completes the files.
    if (platform.recorder) {
        try {
            platform.recorder->flush();
        } catch (...) {
        }
    }
    std::raise(signal);  // the handler was reset on entry
}

[[noreturn]] void fail(const std::string& line) {
    std::fprintf(stderr, "real robot: %s\n", line.c_str());
    board_fd = -1;
    platform.board.reset();
    platform.recorder.reset();
    platform.camera.reset();
    std::_Exit(2);
}

// Ends the run: the motors stopped, the files completed. Returns -1, the step's answer from then on.
int32_t end_run(const char* word, const std::string& failure = "") {
    if (!platform.running && platform.closed) return -1;
    if (platform.board) platform.board->stop();
    platform.running = false;
    platform.closed = true;
    sim::RobotSummary& s = platform.summary;
    s.end_reason = word;
    s.failure = failure;
    s.time_s = static_cast<double>(platform.tick) / 1e9;
    s.frame_age = platform.frame_age.spread();
    s.late = platform.late.spread();
    if (platform.camera) s.frames_dropped = platform.camera->dropped();
    if (platform.board) {
        s.board_refused = platform.board->refused();
        s.board_damaged = platform.board->damaged();
        s.board_timeouts = platform.board->timeouts();
    }
    if (!failure.empty()) std::fprintf(stderr, "real robot: %s\n", failure.c_str());
    if (platform.recorder) {
        try {
            platform.recorder->finish(s);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "real robot: %s\n", error.what());
        }
        platform.recorder.reset();
    }
    return -1;
}

extern "C" void stop_at_exit() {
    if (platform.running) end_run("controller_exited");
    board_fd = -1;
    platform.board.reset();
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The footage's frames: a video file through GStreamer, or a run's recorded frames.
void open_footage(const std::string& given) {
    std::string path = given;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) path += std::string("/") + sim::FRAMES_FILE;
    std::ifstream probe(path, std::ios::binary);
    std::string magic(std::string_view(sim::FRAMES_MAGIC).size(), '\0');
    if (probe.read(magic.data(), static_cast<std::streamsize>(magic.size())) && magic == sim::FRAMES_MAGIC) {
        platform.recorded =
            std::make_unique<RecordedFrames>(path, platform.settings.camera.width, platform.settings.camera.height);
    } else {
        const robot::CameraSettings& c = platform.settings.camera;
        // Made in place: the stream cannot move (GStreamer's threads hold its address).
        platform.camera.reset(
            new robot::CameraStream(robot::CameraStream::from_file(path, c.width, c.height, c.start_timeout)));
    }
}

const std::uint8_t* current_image() {
    if (platform.recorded) return platform.recorded->image();
    return platform.camera ? platform.camera->image() : nullptr;
}

// The next image for a step at `now`; empty if it came, else the run's end word.
const char* take_image(double now, std::string& failure) {
    if (platform.recorded) return platform.recorded->next() ? "" : "footage_ended";
    robot::CameraStream& camera = *platform.camera;
    const robot::CameraSettings& c = platform.settings.camera;
    const double wait = platform.mode == "footage" ? c.start_timeout : camera.live() ? 0.0 : c.stale_limit;
    switch (camera.take(wait)) {
        case robot::CameraStream::Next::frame:
            return "";
        case robot::CameraStream::Next::no_new_frame:
            if (camera.live() && now - camera.captured_at() <= c.stale_limit) return "";
            failure = "camera.stale_limit: no new camera frame for " +
                      std::to_string(static_cast<int>(1000 * c.stale_limit)) +
                      " ms: the motors are stopped and the run ends";
            return "camera_stale";
        case robot::CameraStream::Next::ended:
            if (platform.mode == "footage") return "footage_ended";
            if (!camera.live()) return "camera_ended";  // a file or a finite source: its end is the run's
            failure = "camera.pipeline: the live camera's stream ended (unplugged?)";
            return "camera_failed";
        case robot::CameraStream::Next::failed:
            failure = camera.error();
            return "camera_failed";
    }
    return "camera_failed";
}

}  // namespace

extern "C" {

void wb_robot_init(void) {
    if (platform.camera || platform.recorded) return;  // one run a process
    const std::string file = environment("LINE_ROBOT_FILE");
    if (file.empty()) fail("LINE_ROBOT_FILE names no robot file: run the controller with line-robot ROBOT.toml");
    try {
        platform.settings = robot::load_robot_file(file);
    } catch (const robot::RobotFileError& error) {
        fail(error.what());
    }
    const std::string footage = environment("LINE_ROBOT_FOOTAGE");
    platform.mode = !footage.empty() ? "footage" : environment("LINE_ROBOT_DRY_RUN") == "1" ? "dry_run" : "live";
    const robot::RobotSettings& s = platform.settings;
    try {
        if (!footage.empty()) {
            open_footage(footage);
        } else {
            platform.camera = std::make_unique<robot::CameraStream>(s.camera.pipeline, s.camera.flip, s.camera.width,
                                                                    s.camera.height, s.camera.start_timeout);
        }
        if (platform.mode == "live") {
            platform.board = std::make_unique<robot::BoardLink>(s.board);
            board_fd = platform.board->fd();
            platform.summary.board = platform.board->greeting();
        }
    } catch (const robot::CameraError& error) {
        fail(error.what());
    } catch (const robot::BoardError& error) {
        fail(error.what());
    }
    if (const std::string folder = environment("LINE_ROBOT_OUTPUT"); !folder.empty()) {
        try {
            platform.recorder =
                std::make_unique<robot::Recorder>(folder, s.camera.width, s.camera.height, s.run.record_frames);
        } catch (const std::exception& error) {
            fail(error.what());
        }
    }
    platform.summary.robot = s.name;
    platform.summary.mode = platform.mode;
    platform.summary.camera_width = s.camera.width;
    platform.summary.camera_height = s.camera.height;
    std::signal(SIGXFSZ, SIG_IGN);  // a file grown past ulimit -f is a failed write, not a killed robot
    struct sigaction action {};
    action.sa_handler = request_stop;
    action.sa_flags = static_cast<int>(SA_RESETHAND);  // no SA_RESTART: the step's sleep ends at once
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    struct sigaction crash {};
    crash.sa_handler = stop_and_crash;
    crash.sa_flags = static_cast<int>(SA_RESETHAND);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(signal, &crash, nullptr);
    std::atexit(stop_at_exit);
    platform.running = true;
}

DeviceTag wb_robot_get_device(const char* name) {
    if (name != nullptr && std::strcmp(name, "camera") == 0) return CAMERA_TAG;
    std::fprintf(stderr, "real robot: no device named \"%s\" (it has \"camera\")\n", name ? name : "(null)");
    return 0;
}

void wb_camera_enable(DeviceTag camera, int32_t) {
    if (camera != CAMERA_TAG || !platform.running || platform.enabled) return;
    platform.enabled = true;
    // The first image: the footage's first frame, or the camera's newest.
    std::string failure;
    if (const char* end = take_image(now_s(), failure); *end != '\0') {
        end_run(end, failure);
        return;
    }
    if (platform.recorder) platform.recorder->frame(current_image());
}

int32_t wb_camera_get_width(DeviceTag camera) { return camera == CAMERA_TAG ? platform.settings.camera.width : 0; }

int32_t wb_camera_get_height(DeviceTag camera) { return camera == CAMERA_TAG ? platform.settings.camera.height : 0; }

const unsigned char* wb_camera_get_image(DeviceTag camera) {
    return camera == CAMERA_TAG && platform.enabled ? current_image() : nullptr;
}

void wb_differential_wheels_set_speed(double left, double right) {
    // Not a number: no speed at all (robot::board_command drives such a wheel at 0).
    platform.left = left;
    platform.right = right;
}

int32_t wb_robot_step(int32_t duration_ms) {
    if (!platform.running) return -1;
    if (stop_requested) return end_run("interrupted");
    const bool paced = platform.mode != "footage";
    const std::int64_t period = std::int64_t{std::max(duration_ms, 1)} * 1000000;  // [ns]
    if (platform.summary.steps == 0) platform.start = now_ns();
    if (platform.board &&
        !platform.board->send(robot::board_command(platform.settings.wheels, platform.left, platform.right),
                              platform.settings.wheels.encoders))
        return end_run("board_lost", platform.settings.board.port + ": " + platform.board->why());
    std::int64_t tick = platform.tick + period;
    if (paced && static_cast<double>(tick) / 1e9 > platform.settings.run.duration + 1e-9) return end_run("duration");
    const double overruns_before = static_cast<double>(platform.summary.overruns);
    std::int64_t late_ns = 0;
    if (paced) {
        if (const std::int64_t behind = now_ns() - platform.start - tick; behind > 0) {
            ++platform.summary.overruns;
            tick += period * ((behind + period - 1) / period);
        }
        const std::int64_t at = platform.start + tick;
        const timespec deadline{static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
            if (stop_requested) return end_run("interrupted");
        }
        late_ns = now_ns() - at;
    }
    const double overruns = paced ? static_cast<double>(platform.summary.overruns) : overruns_before;
    const double now = now_s();
    platform.tick = tick;
    if (platform.board && !platform.board->heard(now))
        return end_run("board_lost", "board.port " + platform.settings.board.port + ": " + platform.board->why());
    std::string failure;
    if (const char* end = take_image(now, failure); *end != '\0') return end_run(end, failure);
    ++platform.summary.steps;
    const double age = platform.camera && paced ? now_s() - platform.camera->captured_at() : 0.0;
    const double late = static_cast<double>(late_ns) / 1e9;
    platform.frame_age.add(age);
    platform.late.add(late);
    if (platform.recorder) {
        try {
            platform.recorder->row(
                {static_cast<double>(tick) / 1e9, platform.left, platform.right, age, late, overruns});
            platform.recorder->frame(current_image());
        } catch (const std::exception& error) {
            return end_run("files_not_written", error.what());
        }
    }
    return 0;
}

void wb_robot_cleanup(void) {
    if (!platform.closed) end_run("controller_exited");
    board_fd = -1;
    platform.board.reset();  // stops the motors again and closes the port
    platform.camera.reset();
    platform.recorded.reset();
    const sim::RobotSummary& s = platform.summary;
    const sim::RobotEnd* end = sim::robot_end(s.end_reason);
    std::fprintf(stderr,
                 "\nreal robot: %lld steps in %.1f s, %s; overruns %lld; frame age %.1f ms mean, %.1f ms at the "
                 "99th percentile; steps late %.2f ms at the 99th percentile, %.2f ms at most\n",
                 static_cast<long long>(s.steps), s.time_s, end ? end->sentence : s.end_reason.c_str(),
                 static_cast<long long>(s.overruns), 1000 * s.frame_age.mean, 1000 * s.frame_age.p99, 1000 * s.late.p99,
                 1000 * s.late.max);
}

}  // extern "C"
