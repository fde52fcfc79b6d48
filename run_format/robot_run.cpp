// A real robot's trace, end reasons and summary.

#include "robot_run.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace sim {

std::string robot_trace_header() {
    std::string header;
    for (const TraceColumn& column : ROBOT_TRACE_COLUMNS)
        header += (header.empty() ? "" : ",") + std::string(column.name);
    return header;
}

char* write_robot_trace_row(char* out, const RobotTraceRow& row) {
    const double values[] = {row.t, row.left, row.right, row.frame_age, row.late, row.overruns};
    static_assert(std::size(values) == ROBOT_TRACE_COLUMN_COUNT);
    return write_csv_row(out, values, ROBOT_TRACE_COLUMN_COUNT);
}

RobotTraceReader::RobotTraceReader(const std::string& path) : in_(path, std::ios::binary) {
    robot_ = std::getline(in_, line_) && line_ == robot_trace_header();
}

bool RobotTraceReader::next(RobotTraceRow& r) {
    if (!robot_ || !std::getline(in_, line_) || in_.eof()) return false;
    double* fields[] = {&r.t, &r.left, &r.right, &r.frame_age, &r.late, &r.overruns};
    return read_csv_row(line_, fields, ROBOT_TRACE_COLUMN_COUNT);
}

const RobotEnd* robot_end(std::string_view word) {
    for (const RobotEnd& end : ROBOT_ENDS)
        if (word == end.word) return &end;
    return nullptr;
}

namespace {

nlohmann::json spread_json(const Spread& s) { return {{"mean", s.mean}, {"p99", s.p99}, {"max", s.max}}; }
Spread spread_from(const nlohmann::json& j) {
    return {j.at("mean").get<double>(), j.at("p99").get<double>(), j.at("max").get<double>()};
}

}  // namespace

nlohmann::json to_json(const RobotSummary& s) {
    return {{"robot", s.robot},
            {"mode", s.mode},
            {"end_reason", s.end_reason},
            {"failure", s.failure},
            {"steps", s.steps},
            {"time_s", s.time_s},
            {"overruns", s.overruns},
            {"frame_age_s", spread_json(s.frame_age)},
            {"late_s", spread_json(s.late)},
            {"frames_dropped", s.frames_dropped},
            {"board", s.board},
            {"board_refused", s.board_refused},
            {"board_damaged", s.board_damaged},
            {"board_timeouts", s.board_timeouts},
            {"camera_width", s.camera_width},
            {"camera_height", s.camera_height}};
}

RobotSummary robot_summary_from_json(const nlohmann::json& j) {
    RobotSummary s;
    s.robot = j.at("robot").get<std::string>();
    s.mode = j.at("mode").get<std::string>();
    s.end_reason = j.at("end_reason").get<std::string>();
    s.failure = j.at("failure").get<std::string>();
    s.steps = j.at("steps").get<std::int64_t>();
    s.time_s = j.at("time_s").get<double>();
    s.overruns = j.at("overruns").get<std::int64_t>();
    s.frame_age = spread_from(j.at("frame_age_s"));
    s.late = spread_from(j.at("late_s"));
    s.frames_dropped = j.at("frames_dropped").get<std::int64_t>();
    s.board = j.at("board").get<std::string>();
    s.board_refused = j.at("board_refused").get<std::int64_t>();
    s.board_damaged = j.at("board_damaged").get<std::int64_t>();
    s.board_timeouts = j.at("board_timeouts").get<std::int64_t>();
    s.camera_width = j.at("camera_width").get<std::int32_t>();
    s.camera_height = j.at("camera_height").get<std::int32_t>();
    return s;
}

void SpreadCounter::add(double seconds) {
    if (!std::isfinite(seconds)) return;
    seconds = std::max(seconds, 0.0);
    ++count_;
    sum_ += seconds;
    max_ = std::max(max_, seconds);
    ++bins_[std::min(bins_.size() - 1, static_cast<std::size_t>(seconds / BIN))];
}

Spread SpreadCounter::spread() const {
    if (count_ == 0) return {};
    // The smallest bin at or below which 99 % of the values lie, taken at its upper edge, and never past the largest.
    const auto wanted = static_cast<std::int64_t>(std::ceil(0.99 * static_cast<double>(count_)));
    std::int64_t below = 0;
    std::size_t bin = 0;
    while (bin + 1 < bins_.size() && (below += bins_[bin]) < wanted) ++bin;
    return {sum_ / static_cast<double>(count_), std::min(max_, static_cast<double>(bin + 1) * BIN), max_};
}

}  // namespace sim
