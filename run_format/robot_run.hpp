#pragma once

// A real robot's run, as its platform records it into the run's folder:
// camera-frames.bin as a simulated run's (frame_codec.hpp), a trace.csv of
// its own columns (no pose: a real robot's is not known), and summary.json
// with the run's timing.

#include <cstdint>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace.hpp"  // TraceColumn

namespace sim {

// After each step: the tick it returned at, counted from the run's start;
// the wheel command in force over the step, as the controller set it; the
// age of the camera image the step handed out, from its capture to the
// step's return; how late the step returned after its tick; and the steps
// so far that overran their tick.
inline constexpr TraceColumn ROBOT_TRACE_COLUMNS[] = {{"t", "s"},         {"left", "rad/s"}, {"right", "rad/s"},
                                                      {"frame_age", "s"}, {"late", "s"},     {"overruns", ""}};
inline constexpr std::size_t ROBOT_TRACE_COLUMN_COUNT = std::size(ROBOT_TRACE_COLUMNS);

struct RobotTraceRow {
    double t, left, right, frame_age, late, overruns;  // as ROBOT_TRACE_COLUMNS
};

std::string robot_trace_header();  // without its line end
// One row at `out`, as write_trace_row; `out` must hold 32 bytes a column.
char* write_robot_trace_row(char* out, const RobotTraceRow& row);

// Reads a robot trace's rows in order; none from a file that is missing or
// not a robot trace; a last row cut short is left out.
class RobotTraceReader {
public:
    explicit RobotTraceReader(const std::string& path);
    bool next(RobotTraceRow& row);
    bool is_robot_trace() const { return robot_; }

private:
    std::ifstream in_;
    std::string line_;
    bool robot_ = false;
};

// Every way a robot's run ends.
struct RobotEnd {
    const char* word;
    const char* sentence;
    bool normal;  // not a fault of the robot or its settings
};
inline constexpr RobotEnd ROBOT_ENDS[] = {
    {"duration", "run.duration reached", true},
    {"footage_ended", "the footage has no more frames", true},
    {"interrupted", "stopped by a signal (Ctrl-C, SIGTERM or SIGHUP)", true},
    {"controller_exited", "the controller closed the robot before the run was over", true},
    {"camera_ended", "the camera's source (a file, a finite source) ended", true},
    {"camera_stale", "no new camera frame within camera.stale_limit", false},
    {"camera_failed", "the camera pipeline failed", false},
    {"board_lost", "the motor board stopped answering or its port failed", false},
    {"files_not_written", "the run's files could not be written", false},
    {"controller_crashed", "the controller crashed or was killed", false},
};
const RobotEnd* robot_end(std::string_view word);

// Figures of one timing over a run's steps [s].
struct Spread {
    double mean = 0.0, p99 = 0.0, max = 0.0;
};

struct RobotSummary {
    std::string robot;       // the robot file's name
    std::string mode;        // "live", "dry_run" or "footage"
    std::string end_reason;  // a ROBOT_ENDS word
    std::string failure;     // the line that said what failed, or ""
    std::int64_t steps = 0;
    double time_s = 0.0;              // [s] from the first step to the last
    std::int64_t overruns = 0;        // steps whose tick had passed when the controller asked for it
    Spread frame_age, late;           // [s]
    std::int64_t frames_dropped = 0;  // by a live camera's queue, for newer ones
    std::string board;                // the board's greeting, or ""
    std::int64_t board_refused = 0, board_damaged = 0, board_timeouts = 0;
    std::int32_t camera_width = 0, camera_height = 0;  // [px]
};

nlohmann::json to_json(const RobotSummary& summary);
// Throws nlohmann::json::exception where a field is missing or of another kind.
RobotSummary robot_summary_from_json(const nlohmann::json& json);

// Collects a timing's values [s]: mean and largest exactly, the 99th
// percentile to 0.1 ms (values past 2 s count as 2 s there).
class SpreadCounter {
public:
    void add(double seconds);
    Spread spread() const;

private:
    static constexpr double BIN = 1e-4;  // [s]
    std::vector<std::uint32_t> bins_ = std::vector<std::uint32_t>(20001);
    std::int64_t count_ = 0;
    double sum_ = 0.0, max_ = 0.0;
};

}  // namespace sim
