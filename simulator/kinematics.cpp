// Exact differential-drive motion over an interval of constant wheel speeds.

#include "kinematics.hpp"

#include <cmath>

namespace sim {

Pose advance(const Pose& pose, double left, double right, double seconds, const RobotSettings& robot) {
    const double speed = robot.wheel_radius * (left + right) / 2;                     // [m/s]
    const double turn_rate = robot.wheel_radius * (right - left) / robot.axle_track;  // [rad/s]
    const double turned = turn_rate * seconds;                                        // [rad]
    Pose next = pose;
    next.heading = pose.heading + turned;
    if (turned == 0.0) {
        next.x += speed * seconds * std::cos(pose.heading);
        next.y += speed * seconds * std::sin(pose.heading);
    } else {
        // x += v/w (sin(h + wt) - sin h), written as 2 v/w sin(wt/2) cos(h + wt/2), which keeps its
        // precision for small turns instead of subtracting two nearly equal sines.
        const double chord = 2 * speed / turn_rate * std::sin(turned / 2);  // [m]
        const double mid = pose.heading + turned / 2;
        next.x += chord * std::cos(mid);
        next.y += chord * std::sin(mid);
    }
    return next;
}

}  // namespace sim
