#pragma once

// What a real robot's run leaves in its folder: a trace row a step, every
// camera frame (camera-frames.bin, as a simulated run's), and the summary at
// the end. The trace and frames go under their temporary names, handed to
// the files every RECORD_BATCH steps, so that a run cut short keeps what it
// recorded (line-robot completes them) and a step costs no write.

#include <cstdint>
#include <cstdio>
#include <string>

#include "frame_codec.hpp"
#include "robot_run.hpp"

namespace robot {

class Recorder {
public:
    static constexpr int RECORD_BATCH = 32;  // [steps], about a second

    // The folder must exist; throws sim::FileError.
    Recorder(const std::string& folder, std::int32_t width, std::int32_t height, bool frames);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void frame(const std::uint8_t* rgb);  // the image the controller was handed
    void row(const sim::RobotTraceRow& row);
    // Hands what is held to the files; also from a crash's signal handler.
    void flush();
    // Closes the files under their names and writes the summary; throws sim::FileError.
    void finish(const sim::RobotSummary& summary);

private:
    std::string folder_;
    std::FILE* trace_ = nullptr;
    std::FILE* frames_ = nullptr;
    sim::FrameEncoder encoder_;
    std::string trace_text_, frame_codes_;
    int held_ = 0;  // rows held since the last flush
};

}  // namespace robot
