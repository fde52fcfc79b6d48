#pragma once

// The wheels as their motors turn them. A command is clamped to the motor's
// top speed; the wheel's speed follows it through a first-order lag, no faster
// than the acceleration limit allows; each wheel's ground speed is its speed
// times its radius, scaled by its own factor (a wheel a little larger than
// the other, slip).
//
// Over a step the speeds follow closed forms: constant, a ramp at the
// acceleration limit, or an exponential approach to the command. Each wheel
// goes through these at most once each, in that order, so the step is cut where
// a wheel passes from one to the next, and each piece is driven on its own.
// Within a piece the heading is a closed form too (the wheels' turned angles).
// The position is not, once a speed changes: the heading is quadratic in time
// on a ramp (a Fresnel integral) and holds an exponential under the lag, so
// the position is integrated by Gauss-Legendre quadrature of that closed-form
// heading, over panels short enough that the error stays at rounding level.
// A piece where both wheels turn steadily is the exact arc of `advance`.

#include "geometry.hpp"
#include "settings.hpp"

namespace sim {

struct WheelPair {
    double left = 0.0;  // [rad/s], or a factor
    double right = 0.0;
};

// [rad/s] No motor turns faster (about 95,000 rpm): a command beyond it is
// clamped to it, whatever the robot's own top speed, so that a controller
// asking for 1e308 rad/s drives fast but never makes the pose overflow.
inline constexpr double MOST_WHEEL_SPEED = 1e4;

// The command a motor driver passes on: `command` clamped to the top speed
// (and to MOST_WHEEL_SPEED). A finite command gives a finite one.
double clamp_command(double command, const RobotSettings& robot);

// What a wheel does from a given speed under a given command, until `until`.
struct WheelPhase {
    double speed = 0.0;      // [rad/s] at the phase's start
    double command = 0.0;    // [rad/s] approached under the lag
    double rate = 0.0;       // [rad/s^2] of a ramp; 0 when steady or lagging
    double lag = 0.0;        // [s] time constant while lagging; 0 otherwise
    double until = 0.0;      // [s] after its start when the next phase begins (infinite: never)
    double end_speed = 0.0;  // [rad/s] at `until`

    double speed_at(double t) const;  // [rad/s] t [s] after the phase's start
    double turned(double t) const;    // [rad] the wheel's angle turned by then
    bool steady() const { return rate == 0.0 && lag == 0.0; }
};

// The phase a wheel turning at `speed` [rad/s] enters under `command` (clamped already).
WheelPhase wheel_phase(double speed, double command, const RobotSettings& robot);

// Drives from `pose` for `seconds` with the wheels turning at `speeds` and
// following `commands`; `ground` scales each wheel's ground speed. Returns the
// new pose and leaves the wheels' speeds at the end in `speeds`.
Pose drive(const Pose& pose, WheelPair& speeds, WheelPair commands, WheelPair ground, double seconds,
           const RobotSettings& robot);

}  // namespace sim
