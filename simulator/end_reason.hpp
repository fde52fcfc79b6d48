#pragma once

// Every way a run can end, in one table: the value, the word the summary and
// the results use, the sentence of the report, and whether it is a normal
// ending (a result about the controller, not an error of the run).

#include <optional>
#include <string_view>

namespace sim {

enum class EndReason {
    none,               // still running, or the controller ended the run itself
    duration,           // the world's duration was reached
    off_line,           // off the line for longer than the world allows
    off_floor,          // the robot left the floor
    stalled,            // no progress along the line for the off-line time limit
    wrong_way,          // as stalled, but driven back along the line (WRONG_WAY_DISTANCE at least)
    interrupted,        // the person running it asked to stop
    controller_exited,  // the controller ended before the simulated robot could close the run
    files_not_written,  // a file of the run could not be written
    clock_stopped,      // the controller kept stepping without letting simulated time pass
    invalid_speed,      // the controller commanded a wheel speed that is not a finite number
    other_thread,       // a thread other than the one that started the run called the robot
    wall_time_limit,    // the run took longer in wall-clock time than the world allows
};

struct EndReasonInfo {
    EndReason reason;
    std::string_view word;
    std::string_view sentence;
    bool normal;
};

inline constexpr EndReasonInfo END_REASONS[] = {
    {EndReason::none, "running", "the controller ended the run", false},
    {EndReason::duration, "duration", "duration reached", true},
    {EndReason::off_line, "off_line", "robot off the line", true},
    {EndReason::off_floor, "off_floor", "robot off the floor", true},
    {EndReason::stalled, "stalled", "robot made no progress along the line", true},
    {EndReason::wrong_way, "wrong_way", "robot drove back along the line", true},
    {EndReason::interrupted, "interrupted", "interrupted", false},
    {EndReason::controller_exited, "controller_exited", "the controller ended before the run did", false},
    {EndReason::files_not_written, "files_not_written", "the run's files could not be written", false},
    {EndReason::clock_stopped, "clock_stopped", "the controller's steps let no simulated time pass", false},
    {EndReason::invalid_speed, "invalid_speed", "the controller commanded a wheel speed that is not a finite number",
     false},
    {EndReason::other_thread, "other_thread", "a second thread of the controller called the robot", false},
    {EndReason::wall_time_limit, "wall_time_limit", "the run's wall-clock time limit was reached", false},
};

constexpr const EndReasonInfo& end_reason_info(EndReason reason) {
    for (const EndReasonInfo& info : END_REASONS) {
        if (info.reason == reason) return info;
    }
    return END_REASONS[0];
}

constexpr std::optional<EndReason> end_reason_from_word(std::string_view word) {
    for (const EndReasonInfo& info : END_REASONS) {
        if (info.word == word) return info.reason;
    }
    return std::nullopt;
}

}  // namespace sim
