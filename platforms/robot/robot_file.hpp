#pragma once

// Robot files: TOML settings of one real robot (its camera, its motor board,
// its wheels, a run's length and where it is recorded), read as the world
// files are: every key checked, unknown keys are errors.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace robot {

// One line naming the file, the key and what was expected.
class RobotFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    static constexpr const char* KIND = "robot";  // the word its lines start with
};

inline constexpr std::size_t MOST_ROBOT_FILE_BYTES = 1 << 20;
inline constexpr std::int64_t MOST_PIXELS = 1 << 22;  // of the camera image, width x height

struct CameraSettings {
    std::string pipeline = "videotestsrc is-live=true";  // a GStreamer source; conversion and sink are appended
    std::string flip = "none";                           // a videoflip method, turning the image to the robot's view
    std::int32_t width = 64, height = 48;                // [px] of the image the controller gets
    double start_timeout = 10.0;                         // [s] for the first frame
    // [s] a live camera's newest frame may be old at a step: beyond it the
    // motors stop and the run ends (stale image).
    double stale_limit = 0.5;
};

struct BoardSettings {
    std::string port;  // the serial device; /dev/serial/by-id/... keeps its name across replugging
    std::int32_t baud = 115200;
    // [s] a board that resets when the port opens takes to greet; then it is
    // asked (hello) and has answer_timeout to answer.
    double reset_wait = 2.0;
    double answer_timeout = 1.0;  // [s]
    double silent_limit = 0.5;    // [s] without a line from the board: the link is lost
};

// How a wheel speed [rad/s] becomes the board's drive (thousandths of full
// drive, positive forwards).
struct WheelSettings {
    double full_speed = 20.0;  // [rad/s] a wheel's speed at full drive
    double dead_band = 0.0;  // [fraction of full drive] below which a motor does not turn: added to any non-zero drive
    double trim = 0.0;       // the left wheel's drive times 1 + trim, the right's times 1 - trim
    bool left_reversed = false, right_reversed = false;  // a motor wired the other way round
    // The board counts encoders and holds each wheel's speed itself: it is
    // sent speeds in mrad/s instead of drives.
    bool encoders = false;
};

struct RunSettings {
    double duration = 60.0;                    // [s] of a run
    std::string record_folder = "robot-runs";  // where line-robot makes a run's folder, unless told -o
    bool record_frames = true;                 // every camera frame into the run's folder
};

struct RobotSettings {
    std::string name = "robot";
    CameraSettings camera;
    BoardSettings board;
    WheelSettings wheels;
    RunSettings run;
};

// `source` names the text in error messages.
RobotSettings parse_robot(std::string_view text, const std::string& source);
// Reads a regular file of at most MOST_ROBOT_FILE_BYTES.
RobotSettings load_robot_file(const std::string& path);
// The file's text, checked as load_robot_file checks it; throws RobotFileError.
std::string read_robot_text(const std::string& path);

// The speeds [rad/s] as the board takes them: drives in thousandths of full
// drive (or, with encoders, speeds in mrad/s), each clamped to what the board
// accepts (-1000 to 1000; with encoders, full_speed either way).
struct BoardCommand {
    std::int32_t left = 0, right = 0;
};
BoardCommand board_command(const WheelSettings& wheels, double left, double right);

}  // namespace robot
