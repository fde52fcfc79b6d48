#pragma once

// The files a run leaves in its output folder: the trace of every step, the
// camera's snapshots, and the summary.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "frame_codec.hpp"

#include "simulation.hpp"

namespace sim {

inline constexpr const char* TRACE_HEADER = "t,x,y,heading,left,right,lateral_error,progress";
inline constexpr double SNAPSHOT_PERIOD = 10.0;  // [s] of simulated time between camera snapshots

// The summary of a run; `end_reason` as end_reason_name gives it, or another
// word from whoever ended the run.
nlohmann::json make_summary(const std::string& world, std::uint64_t seed, double sim_time, double wall_time,
                            const Metrics& metrics, const std::string& end_reason, std::int32_t camera_width,
                            std::int32_t camera_height);

// Writes an 8-bit RGB image; throws std::runtime_error naming the file on failure.
void write_png(const std::string& path, std::int32_t width, std::int32_t height, const std::uint8_t* rgb);

// Writes a run's files as it goes: a trace row a step and every camera frame
// (FRAMES_FILE), both flushed often so that an interrupted run keeps what it
// measured; camera snapshots (the first frame, one every SNAPSHOT_PERIOD, and
// each time the robot leaves the line), and at the end the summary. Every
// write is checked: a failure throws std::runtime_error naming the file.
class RunFiles {
public:
    // Creates the folder if needed. `frame_times` [s], in any order: the
    // frame of the first step at or after each is also saved as
    // camera-frame-<time>s.png, for tests that check the frames file.
    explicit RunFiles(std::string folder, std::vector<double> frame_times = {});
    ~RunFiles();
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;

    void started(const Simulation& simulation);  // call once the camera is on: saves the first frame
    void stepped(const Simulation& simulation);
    void finished(const Simulation& simulation, double wall_seconds);

private:
    // Saves the camera's image as camera-<label><simulated time>s.png.
    void snapshot(const Simulation& simulation, const std::string& label);
    void write(std::FILE* file, const char* name, const char* bytes, std::size_t size);
    void flush();

    std::string folder_;
    std::FILE* trace_ = nullptr;
    std::FILE* frames_ = nullptr;  // open once the camera is on
    std::optional<FrameEncoder> encoder_;
    std::string frame_code_;
    std::vector<double> frame_times_;  // [s] still to save, latest first
    double last_flush_ = 0.0;       // [s] of wall time
    std::int64_t next_snapshot_ = 1;  // the next multiple of SNAPSHOT_PERIOD to save a frame at
    bool was_off_line_ = false;
    int off_line_snapshots_ = 0;
};

}  // namespace sim
