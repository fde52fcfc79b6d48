#pragma once

// The files a run leaves in its output folder: the trace of every step, the
// camera's snapshots, and the summary.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files.hpp"
#include "frame_codec.hpp"
#include "simulation.hpp"
#include "trace.hpp"

namespace sim {

inline constexpr double SNAPSHOT_PERIOD = 10.0;  // [s] of simulated time between camera snapshots
// Periodic snapshots of one run at most: a longer run takes them at twice,
// four times ... the period, so that a day's run does not leave thousands.
inline constexpr double MOST_SNAPSHOTS = 100;

// [s] of wall time, read every step for the run's wall-clock limit and the
// trace's flush: steady_clock's 29 ns against 1.3 us of the engine's step
// (BM_SteadyClock against BM_StepByImageSize/64/48).
inline double wall_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// [s] between a run's periodic snapshots: SNAPSHOT_PERIOD doubled until the
// run's duration holds at most MOST_SNAPSHOTS of them.
double snapshot_period(double duration);
// A snapshot's name: camera-<label><time>s.png, the time zero-padded to as
// many digits as the run's duration needs, so that names sort in time order.
std::string snapshot_name(const std::string& label, double time, double duration);

// Writes an 8-bit RGB image, complete or not at all; throws FileError.
void write_png(const std::string& path, std::int32_t width, std::int32_t height, const std::uint8_t* rgb);
// The same image as the bytes of a PNG file, written as write_png writes it;
// throws std::runtime_error.
std::string png_bytes(std::int32_t width, std::int32_t height, const std::uint8_t* rgb);

// Writes a run's files as it goes: a trace row a step and every camera frame
// (FRAMES_FILE), both flushed often so that an interrupted run keeps what it
// measured, and under their temporary names until the run ends; camera snapshots (the first frame, one every
// snapshot_period, and each time the robot leaves the line), and at the end
// the summary. Every write is checked; a failure throws FileError.
//
// The writing itself (the trace's numbers turned into text, the snapshots
// compressed, the bytes handed to the files) is done by a thread of its own,
// while the run goes on: what a hundred or so steps leave is handed to it at
// once. A write that fails there throws from the next call that hands it more.
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
    // Hands what is buffered to the files now (a controller is crashing).
    void flush();
    // Gives the trace its final name and writes the summary, ending as
    // `end_reason` says (files_not_written if the trace cannot be completed).
    void finished(const Simulation& simulation, double wall_seconds, EndReason end_reason);

private:
    struct Snapshot {
        std::string name;
        std::int32_t width = 0, height = 0;
        std::vector<std::uint8_t> rgb;
    };
    // What the run leaves for the writing thread.
    struct Batch {
        std::vector<double> rows;  // the trace's numbers, TRACE_COLUMN_COUNT a step
        std::string frames;        // frames' codes
        std::vector<Snapshot> snapshots;
        bool flush = false;  // once written, hand what the files buffer to them
        bool empty() const { return rows.empty() && frames.empty() && snapshots.empty() && !flush; }
        void clear();
    };

    // Saves the camera's image as camera-<label><simulated time>s.png.
    void snapshot(const Simulation& simulation, const std::string& label);
    // Hands pending_ to the writing thread; throws the FileError it met, if any.
    void hand_over();
    // The writing thread: writes what it is handed until stopped.
    void write_handed();
    void write_batch(const Batch& batch);
    // Hands over what is left and ends the writing thread.
    void stop_writing() noexcept;

    std::string folder_;
    double duration_;  // [s] of the run
    double period_;    // [s] between periodic snapshots
    // Writes to a file opened by open_part, or throws FileError naming it.
    void write(std::FILE* file, const char* name, const char* bytes, std::size_t size);

    std::vector<char> trace_buffer_, frames_buffer_;  // the files' buffers: declared first, freed last
    std::FILE* trace_ = nullptr;
    std::FILE* frames_ = nullptr;  // open once the camera is on
    std::optional<FrameEncoder> encoder_;
    std::uint64_t encoded_render_ = 0;  // the camera's render last encoded
    std::vector<double> frame_times_;   // [s] still to save, latest first
    double last_flush_ = 0.0;           // [s] of wall time
    std::int64_t next_snapshot_ = 1;    // the next multiple of SNAPSHOT_PERIOD to save a frame at
    bool was_off_line_ = false;
    int off_line_snapshots_ = 0;

    Batch pending_;                   // the run's thread's, not yet handed over
    std::mutex mutex_;                // guards the members down to error_
    Batch handed_;                    // handed over, not yet taken by the writing thread
    bool writing_ = false;            // the writing thread is writing what it took
    bool stopping_ = false;           // the writing thread ends once it has written all
    std::optional<FileError> error_;  // the first write that failed; nothing is written after it
    std::condition_variable handed_cv_, written_cv_;
    std::thread writer_;
};

}  // namespace sim
