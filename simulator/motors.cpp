// The wheels' motors: commanded speeds reached through a first-order lag and an acceleration limit.

#include "motors.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "kinematics.hpp"

namespace sim {
namespace {

constexpr double NEVER = std::numeric_limits<double>::infinity();
// [rad/s] A lagging wheel this near its command is taken to have reached it:
// what it would still add to the wheel's travel is below 1e-12 rad times the
// time constant in seconds, far below a femtometre.
constexpr double SETTLED = 1e-12;
// [rad] Most the heading may turn within one quadrature panel; with 8 points
// the quadrature's error on a panel then stays below 1e-20 of its length.
constexpr double PANEL_TURN = 0.25;
// A bound on panels a piece, for speeds no robot reaches; the motion stays
// finite, only less exact.
constexpr int MOST_PANELS = 4096;

// Gauss-Legendre nodes on [-1, 1] (the positive half) and their weights, 8 points.
constexpr std::array<double, 4> NODES{0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr std::array<double, 4> WEIGHTS{0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};

WheelPhase steady(double speed) { return {speed, speed, 0.0, 0.0, NEVER, speed}; }

// Drives one piece in which neither wheel changes phase.
Pose drive_piece(const Pose& pose, const WheelPhase& left, const WheelPhase& right, WheelPair ground, double seconds,
                 const RobotSettings& robot) {
    if (left.steady() && right.steady()) {
        return advance(pose, left.speed * ground.left, right.speed * ground.right, seconds, robot);
    }
    const double r = robot.wheel_radius;
    const auto heading = [&](double t) {
        return pose.heading + r * (ground.right * right.turned(t) - ground.left * left.turned(t)) / robot.axle_track;
    };
    const auto speed = [&](double t) {
        return r * (ground.left * left.speed_at(t) + ground.right * right.speed_at(t)) / 2;
    };
    // Each speed is monotonic within a piece, so its ends bound it.
    const auto most = [seconds](const WheelPhase& w) {
        return std::max(std::abs(w.speed), std::abs(w.speed_at(seconds)));
    };
    const double most_turn = r * (std::abs(ground.left) * most(left) + std::abs(ground.right) * most(right)) /
                             robot.axle_track * seconds;  // [rad]
    double panels = std::ceil(most_turn / PANEL_TURN);
    // An exponential needs panels no longer than its time constant.
    for (const WheelPhase* w : {&left, &right}) {
        if (w->lag > 0) panels = std::max(panels, std::ceil(seconds / w->lag));
    }
    const int count = static_cast<int>(std::clamp(panels, 1.0, static_cast<double>(MOST_PANELS)));
    const double width = seconds / count;
    Pose next = pose;
    for (int i = 0; i < count; ++i) {
        const double middle = (i + 0.5) * width, half = width / 2;
        for (std::size_t k = 0; k < NODES.size(); ++k) {
            for (const double t : {middle - half * NODES[k], middle + half * NODES[k]}) {
                const double v = speed(t) * WEIGHTS[k] * half, h = heading(t);
                next.x += v * std::cos(h);
                next.y += v * std::sin(h);
            }
        }
    }
    next.heading = heading(seconds);
    return next;
}

}  // namespace

double clamp_command(double command, const RobotSettings& robot) {
    const double top = robot.max_wheel_speed > 0 ? std::min(robot.max_wheel_speed, MOST_WHEEL_SPEED) : MOST_WHEEL_SPEED;
    return std::clamp(command, -top, top);
}

double WheelPhase::speed_at(double t) const {
    if (lag > 0) return command + (speed - command) * std::exp(-t / lag);
    return speed + rate * t;
}

double WheelPhase::turned(double t) const {
    // The integral of speed_at from 0 to t; -expm1 keeps 1 - e^-x exact for small x.
    if (lag > 0) return command * t - (speed - command) * lag * std::expm1(-t / lag);
    return (speed + rate * t / 2) * t;
}

WheelPhase wheel_phase(double speed, double command, const RobotSettings& robot) {
    const double gap = command - speed, lag = robot.motor_time_constant, limit = robot.max_wheel_acceleration;
    if (gap == 0.0) return steady(speed);
    // The lag asks for gap / lag [rad/s^2]; where that is beyond the limit,
    // the wheel ramps at the limit until it is not. A ramp that ended leaves
    // a gap of limit * lag give or take the rounding of the speeds, which must
    // not start another ramp of no length.
    const double rounding = 4 * std::numeric_limits<double>::epsilon() * std::max(std::abs(speed), std::abs(command));
    if (limit > 0 && std::abs(gap) > limit * lag + rounding) {
        const double left_at_end = lag == 0 ? 0.0 : limit * lag;  // [rad/s] of gap when the ramp ends
        const double rate = std::copysign(limit, gap);
        return {speed,
                command,
                rate,
                0.0,
                (std::abs(gap) - left_at_end) / limit,
                command - std::copysign(left_at_end, gap)};
    }
    if (lag > 0) {
        const double until = std::abs(gap) > SETTLED ? lag * std::log(std::abs(gap) / SETTLED) : 0.0;
        return {speed, command, 0.0, lag, until, command};
    }
    return steady(command);  // an ideal motor: at its command at once
}

Pose drive(const Pose& pose, WheelPair& speeds, WheelPair commands, WheelPair ground, double seconds,
           const RobotSettings& robot) {
    Pose next = pose;
    // At most three phases a wheel (ramp, lag, steady), so a few pieces a step.
    for (double remaining = seconds; remaining > 0;) {
        const WheelPhase left = wheel_phase(speeds.left, commands.left, robot);
        const WheelPhase right = wheel_phase(speeds.right, commands.right, robot);
        const double piece = std::min({remaining, left.until, right.until});
        if (piece > 0) next = drive_piece(next, left, right, ground, piece, robot);
        // At a phase's end its exact end speed, so that the next phase starts where this one meant to stop.
        speeds.left = piece == left.until ? left.end_speed : left.speed_at(piece);
        speeds.right = piece == right.until ? right.end_speed : right.speed_at(piece);
        remaining = piece == remaining ? 0.0 : remaining - piece;
    }
    return next;
}

}  // namespace sim
