// The robot file's reader, and the wheels' calibration.

#include "robot_file.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "board_link.hpp"
#include "checked_toml.hpp"

namespace robot {
namespace {

using TableReader = sim::CheckedTable<RobotFileError>;

std::string text(TableReader& table, const std::string& key, const std::string& fallback, bool may_be_empty = false) {
    const toml::node* node = table.find(key);
    if (node == nullptr) return fallback;
    const std::string value = node->value<std::string>().value_or("");
    // Settings go into pipelines, paths and one-line messages: no control characters.
    const bool printable = std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c != 0x7f; });
    if (!node->is_string() || (value.empty() && !may_be_empty) || value.size() > 4096 || !printable) {
        table.fail(key, "a string of at most 4096 bytes without control characters");
    }
    return value;
}

double seconds(TableReader& table, const std::string& key, double fallback, double least, double most) {
    std::ostringstream expected;
    expected << "a time from " << least << " to " << most << " s";
    const double value = table.number(key, fallback, expected.str());
    if (value < least || value > most) table.fail(key, expected.str());
    return value;
}

}  // namespace

RobotSettings parse_robot(std::string_view file_text, const std::string& given_source) {
    const std::string source = sim::printable(given_source);
    toml::table root;
    if (const auto problem = sim::parse_problem(file_text, source, root))
        throw RobotFileError("robot " + source + ": " + *problem);
    RobotSettings robot;
    TableReader top(root, "", source);
    robot.name = text(top, "name", robot.name);
    if (const toml::table* table = top.table("camera")) {
        TableReader c(*table, "camera.", source);
        CameraSettings& s = robot.camera;
        s.pipeline = text(c, "pipeline", s.pipeline);
        s.flip = text(c, "flip", s.flip);
        s.width = static_cast<std::int32_t>(c.integer("width", s.width, 1, 8192));
        s.height = static_cast<std::int32_t>(c.integer("height", s.height, 1, 8192));
        if (std::int64_t{s.width} * s.height > MOST_PIXELS)
            c.fail("height", "an image of at most 4194304 pixels (width x height)");
        s.start_timeout = seconds(c, "start_timeout", s.start_timeout, 0.1, 600);
        s.stale_limit = seconds(c, "stale_limit", s.stale_limit, 0.05, 60);
        c.finish();
    }
    if (const toml::table* table = top.table("board")) {
        TableReader b(*table, "board.", source);
        BoardSettings& s = robot.board;
        s.port = text(b, "port", s.port, true);  // empty: no board (--dry-run, --footage)
        s.baud = static_cast<std::int32_t>(b.integer("baud", s.baud, 1200, 4000000));
        if (!known_baud(s.baud))
            b.fail("baud", "one of 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 921600, 1000000");
        s.reset_wait = seconds(b, "reset_wait", s.reset_wait, 0, 60);
        s.answer_timeout = seconds(b, "answer_timeout", s.answer_timeout, 0.01, 60);
        s.silent_limit = seconds(b, "silent_limit", s.silent_limit, 0.05, 60);
        b.finish();
    }
    if (const toml::table* table = top.table("wheels")) {
        TableReader w(*table, "wheels.", source);
        WheelSettings& s = robot.wheels;
        s.full_speed = w.positive("full_speed", s.full_speed, "(a wheel's speed at full drive in rad/s)", 1000);
        s.dead_band = w.number("dead_band", s.dead_band, "a fraction of full drive from 0 to 0.9",
                               [](double v) { return v >= 0 && v <= 0.9; });
        s.trim = w.number("trim", s.trim, "a fraction from -0.5 to 0.5", [](double v) { return std::abs(v) <= 0.5; });
        s.left_reversed = w.boolean("left_reversed", s.left_reversed);
        s.right_reversed = w.boolean("right_reversed", s.right_reversed);
        s.encoders = w.boolean("encoders", s.encoders);
        w.finish();
    }
    if (const toml::table* table = top.table("run")) {
        TableReader r(*table, "run.", source);
        RunSettings& s = robot.run;
        s.duration = seconds(r, "duration", s.duration, 0.032, 1e7);
        s.record_folder = text(r, "record_folder", s.record_folder);
        s.record_frames = r.boolean("record_frames", s.record_frames);
        r.finish();
    }
    top.finish();
    return robot;
}

std::string read_robot_text(const std::string& path) {
    std::string why;
    std::string file_text = sim::read_regular_text(path, MOST_ROBOT_FILE_BYTES, why);
    if (!why.empty()) throw RobotFileError("robot " + sim::printable(path) + ": cannot be read (" + why + ")");
    return file_text;
}

RobotSettings load_robot_file(const std::string& path) { return parse_robot(read_robot_text(path), path); }

BoardCommand board_command(const WheelSettings& wheels, double left, double right) {
    const auto one = [&](double speed, double trim, bool reversed) {
        if (!std::isfinite(speed)) return 0;
        if (reversed) speed = -speed;
        if (wheels.encoders) {
            const double most = wheels.full_speed * 1000.0;  // [mrad/s]
            return static_cast<std::int32_t>(std::lround(std::clamp(speed * 1000.0, -most, most)));
        }
        const double drive = std::clamp(speed / wheels.full_speed * (1.0 + trim), -1.0, 1.0);
        if (std::lround(drive * 1000.0) == 0) return 0;
        // A motor turns only past its dead band: the drive is laid over the rest.
        const double lifted = std::copysign(wheels.dead_band + (1.0 - wheels.dead_band) * std::abs(drive), drive);
        return static_cast<std::int32_t>(std::lround(lifted * 1000.0));
    };
    return {one(left, wheels.trim, wheels.left_reversed), one(right, -wheels.trim, wheels.right_reversed)};
}

}  // namespace robot
