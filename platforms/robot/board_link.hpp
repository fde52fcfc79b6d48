#pragma once

// The serial link to the motor board (docs/motor-board.md says it for a
// person at a serial terminal and for the firmware): lines of ASCII, each
// "BODY*HH" and a line end, HH the XOR of BODY's bytes in two upper-case hex
// digits, so that the other end ignores a damaged or partial line.
//
//   board -> host  "hello 1 <version> ..."  at start, and in answer to hello
//   host -> board  "drive L R"  L, R in thousandths of full drive (-1000 to 1000)
//                  "speed L R"  L, R in mrad/s (a board with encoders)
//                  "stop"       both motors at once
//                  "hello"      asks the greeting
//   board -> host  "ok" to each command, "err <what>" to one refused,
//                  "timeout" when it stopped for want of commands

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "robot_file.hpp"

namespace robot {

inline constexpr int BOARD_PROTOCOL = 1;  // the "1" of the greeting
inline constexpr std::size_t MOST_LINE_BYTES = 64;

// The XOR of the body's bytes.
constexpr std::uint8_t checksum(std::string_view body) {
    std::uint8_t sum = 0;
    for (const char c : body) sum ^= static_cast<std::uint8_t>(c);
    return sum;
}
// `body` framed as a line: "BODY*HH\n".
std::string framed_line(std::string_view body);
// The body of `line` (without its line end, a CR before it allowed) if its
// checksum holds.
std::optional<std::string_view> checked_body(std::string_view line);

// The stop line, led by a line end so that it ends any partial line before
// it (a command cut by a signal) and is read whole.
inline constexpr std::string_view STOP_LINE = "\nstop*18\n";
static_assert(checksum("stop") == 0x18);

// One line naming the setting and what to do.
class BoardError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The board baud rates a serial port can be set to; false for another.
bool known_baud(std::int32_t baud);

class BoardLink {
public:
    // Opens settings.port (raw 8N1 at its baud), takes it for this process
    // alone, and waits for the board's greeting: reset_wait for a board that
    // resets on open and greets by itself, then a hello asked, answered
    // within answer_timeout. Nothing is written to the board before that. Throws BoardError.
    explicit BoardLink(const BoardSettings& settings);
    ~BoardLink();  // stops the motors and closes the port
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // One command, no answer awaited; false if the port failed (why()).
    bool send(const BoardCommand& command, bool speeds);
    bool stop();
    // Reads what the board said since the last call, at `now` [s]; false
    // once it has said nothing valid for silent_limit, or the port failed.
    bool heard(double now);

    int fd() const { return fd_; }  // for a stop written from a signal handler
    const std::string& greeting() const { return greeting_; }
    std::int64_t refused() const { return refused_; }    // "err" answers
    std::int64_t damaged() const { return damaged_; }    // lines from the board whose checksum failed
    std::int64_t timeouts() const { return timeouts_; }  // "timeout" lines: the board stopped by itself
    const std::string& why() const { return why_; }

private:
    bool write_all(std::string_view bytes);
    // Reads the lines that are there; each whole valid one goes to `take`.
    template <typename Take>
    bool read_lines(const Take& take);
    std::string fail(const std::string& what) const;

    BoardSettings settings_;
    int fd_ = -1;
    std::string pending_;  // bytes after the last line end
    std::string greeting_, why_;
    double last_heard_ = 0.0;  // [s]
    std::int64_t refused_ = 0, damaged_ = 0, timeouts_ = 0;
};

}  // namespace robot
