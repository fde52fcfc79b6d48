#pragma once

// The files a run leaves in its output folder: the trace of every step, the
// camera's snapshots, and the summary.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files.hpp"
#include "frame_codec.hpp"
#include "simulation.hpp"

namespace sim {

inline constexpr const char* TRACE_HEADER = "t,x,y,heading,left,right,lateral_error,progress";
inline constexpr double SNAPSHOT_PERIOD = 10.0;  // [s] of simulated time between camera snapshots
// Periodic snapshots of one run at most: a longer run takes them at twice,
// four times ... the period, so that a day's run does not leave thousands.
inline constexpr double MOST_SNAPSHOTS = 100;

// [s] between a run's periodic snapshots: SNAPSHOT_PERIOD doubled until the
// run's duration holds at most MOST_SNAPSHOTS of them.
double snapshot_period(double duration);
// A snapshot's name: camera-<label><time>s.png, the time zero-padded to as
// many digits as the run's duration needs, so that names sort in time order.
std::string snapshot_name(const std::string& label, double time, double duration);

// Writes an 8-bit RGB image, complete or not at all; throws FileError.
void write_png(const std::string& path, std::int32_t width, std::int32_t height, const std::uint8_t* rgb);

// Writes a run's files as it goes: a trace row a step and every camera frame
// (FRAMES_FILE), both flushed often so that an interrupted run keeps what it
// measured, and under their temporary names until the run ends; camera
// snapshots (the first frame, one every snapshot_period, and each time the
// robot leaves the line), and at the end the summary. Every write is
// checked; a failure throws FileError.
//
// The steps' rows, frames and snapshots are written on a thread of its own, a
// batch of steps at a time, so that on a machine of two cores or more the
// files cost the controller's steps less: writing them took about as long
// as the steps themselves. A failure there is thrown by
// the next call to stepped(); started(), flush() and finished() first wait
// until every step handed over is written. (In a process forked from the one
// that made it, which has no such thread, the steps are written at once.)
class RunFiles {
public:
    // The folder must exist; throws FileError naming what failed.
    // `frame_times` [s], in any order: the frame of the first step at or after
    // each is also saved as camera-frame-<time>s.png, for tests that check
    // the frames file.
    RunFiles(std::string folder, double duration, std::vector<double> frame_times = {});
    ~RunFiles();
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;

    void started(const Simulation& simulation);  // call once the camera is on: saves the first frame
    void stepped(const Simulation& simulation);
    // Hands what is buffered to the files now (a controller is crashing):
    // waits a little for the steps handed over, then flushes the files.
    void flush();
    // Gives the trace its final name and writes the summary, ending as
    // `end_reason` says (files_not_written if the trace cannot be completed).
    void finished(const Simulation& simulation, double wall_seconds, EndReason end_reason);

private:
    // What a step leaves for the files.
    struct Step {
        double row[8];  // the trace row: t, x, y, heading, left, right, lateral_error, progress
        std::string frame_code;           // the camera's frame, coded for FRAMES_FILE
        std::vector<std::uint8_t> image;  // the camera's image, if a snapshot is made of it
        bool frame = false;               // frame_code is to be written
        std::uint8_t snapshots = 0;       // which snapshots: SNAPSHOT_* bits
    };
    // Steps in order; their images' memory is kept from batch to batch.
    struct Batch {
        std::vector<Step> steps;
        std::size_t count = 0, image_bytes = 0;
    };

    // Writes the steps of a batch, keeping the first failure; empties it.
    void write_batch(Batch& batch);
    void write_step(const Step& step);
    // Saves an image of the camera's as camera-<label><simulated time>s.png.
    void snapshot(double time, const std::uint8_t* image, const std::string& label);
    // Writes to a file opened by open_part, or throws FileError naming it.
    void write(std::FILE* file, const char* name, const char* bytes, std::size_t size);
    // Hands the batch being filled to the writing thread, once it has taken
    // the one before (or writes it at once, without that thread).
    void hand_over();
    // Hands over, then waits until every step is written; gives up (false)
    // at `deadline`, if given.
    bool written(std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
    void write_handed_batches();  // the writing thread
    bool threaded() const;        // there is a writing thread in this process
    void throw_failure();

    std::string folder_;
    double duration_;  // [s] of the run
    double period_;    // [s] between periodic snapshots
    std::int32_t width_ = 0, height_ = 0;  // [px] of the camera's images

    std::FILE* trace_ = nullptr;
    std::FILE* frames_ = nullptr;  // open once the camera is on
    std::optional<FrameEncoder> encoder_;
    std::vector<double> frame_times_;  // [s] still to save, latest first
    double last_flush_ = 0.0;          // [s] of wall time
    double last_hand_over_ = 0.0;      // [s] of wall time
    std::int64_t next_snapshot_ = 1;   // the next multiple of SNAPSHOT_PERIOD to save a frame at
    bool was_off_line_ = false;
    int off_line_snapshots_ = 0;

    // Filled by stepped(), handed to the writing thread, written there.
    Batch filling_, handed_, writing_;
    std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    bool handed_full_ = false, writing_busy_ = false, stopping_ = false;
    std::exception_ptr failure_;     // the first write that failed
    std::atomic<bool> failed_{false};
    bool streams_failed_ = false;    // the trace or the frames: no more rows or frames go there
    pid_t owner_;                    // the process whose thread writes
    std::thread writer_;
};

}  // namespace sim
