#pragma once

// What a world file sets, each with its default. Units are SI: metres,
// seconds, radians inside the simulator; the world file gives angles in
// degrees.

#include <cstdint>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "geometry.hpp"

namespace sim {

struct Picture;  // picture.hpp

struct RunSettings {
    double duration = 120.0;      // [s] simulated time, then the run ends
    std::uint64_t seed = 1;       // seeds every random effect: camera noise, wheel slip, floor stains (seed_matters)
    double off_line_limit = 5.0;  // [s] off the line for longer than this ends the run
    double off_line_distance = 0.05;   // [m] from the centre line, beyond which the robot is off it
    double wall_time_limit = 86400.0;  // [s] of wall-clock time a run may take: a day, which no real run needs
};

// One piece of the centre line: a straight (curvature 0) or an arc.
struct SegmentSettings {
    double length = 0.0;  // [m] along the centre line
    double radius = 0.0;  // [m] 0 for a straight
    double angle = 0.0;   // [rad] turn of an arc, positive to the left
    double corner = 0.0;  // [rad] sharp turn at the piece's start, positive to the left
    bool gap = false;     // the line is not drawn along this piece
    // The corner is taped, its outer edge mitred (see Piece::mitre), not
    // rounded as a point track's are.
    bool mitre = false;
};

struct TrackSettings {
    double line_width = 0.018;  // [m]
    bool closed = true;         // the centre line ends where it starts, heading included
    Vec2 start;                 // [m] first point of the centre line
    double heading = 0.0;       // [rad] direction of the first piece, 0 = +x
    // None on a picture floor whose line is the picture's alone: the run
    // then has no figures measured from a centre line.
    std::vector<SegmentSettings> segments;
    bool has_centre_line() const { return !segments.empty(); }
};

// The robot and its motors. Every effect beyond the ideal robot is off at its
// default, so that a world without these keys drives as it always did.
struct RobotSettings {
    double wheel_radius = 0.02;           // [m]
    double axle_track = 0.053;            // [m] distance between the wheels' contact points
    double max_wheel_speed = 0.0;         // [rad/s] commands beyond it are clamped; 0: no limit but MOST_WHEEL_SPEED
    double motor_time_constant = 0.0;     // [s] of the first-order lag from command to wheel speed; 0: none
    double max_wheel_acceleration = 0.0;  // [rad/s^2] 0: no limit
    double wheel_radius_error = 0.0;      // [fraction] the left wheel this much larger, the right this much smaller
    double wheel_speed_noise = 0.0;       // [fraction] of each wheel's speed, drawn afresh each step (slip)
};

// A pinhole camera fixed on the robot, looking down and ahead.
struct CameraSettings {
    std::int32_t width = 64;                               // [px]
    std::int32_t height = 48;                              // [px]
    double field_of_view = 54.0 * std::numbers::pi / 180;  // [rad] horizontal
    double mount_forward = 0.03;                           // [m] ahead of the axle centre
    double mount_height = 0.05;                            // [m] above the floor
    double pitch = 55.0 * std::numbers::pi / 180;          // [rad] of the optical axis below the horizontal
    double noise = 0.0;                                    // [gray levels] amplitude of uniform pixel noise
    double latency = 0.0;                                  // [s] the image shows the world as it was this long ago
    std::int32_t antialias = 1;                            // sub-pixels a side averaged into a pixel; 1: a hard edge
    double exposure_gain = 1.0;                            // factor on every gray, saturating at 255
    double vignetting = 0.0;  // [fraction] darker at the image's corners than at its centre
};

struct FloorSettings {
    std::uint8_t floor_gray = 230;      // [0-255]
    std::uint8_t line_gray = 10;        // [0-255]
    std::uint8_t outside_gray = 128;    // [0-255] beyond the floor's edge
    double margin = 0.5;                // [m] of floor around the track
    double floor_gray_variation = 0.0;  // [gray levels] most a stain lightens or darkens the floor
    double line_gray_variation = 0.0;   // [gray levels] most wear lightens or darkens the line
    // A floor from a picture instead, its line and marks its own: the file
    // as the world names it, and the picture as read from it.
    std::string image;
    std::shared_ptr<const Picture> picture;
    std::shared_ptr<const std::string> image_file;  // its bytes, kept with a run
};

struct WorldSettings {
    std::string name = "world";
    RunSettings run;
    TrackSettings track;
    RobotSettings robot;
    CameraSettings camera;
    FloorSettings floor;
};

// Whether the run's seed changes anything: one of the random effects is on.
inline bool seed_matters(const WorldSettings& world) {
    return world.camera.noise > 0 || world.floor.floor_gray_variation > 0 || world.floor.line_gray_variation > 0 ||
           world.robot.wheel_speed_noise > 0;
}

}  // namespace sim
