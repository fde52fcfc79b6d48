#pragma once

// Exact differential-drive motion: the pose after driving at constant wheel speeds.

#include "geometry.hpp"
#include "settings.hpp"

namespace sim {

// The pose after `seconds` of driving with the wheels turning at `left` and
// `right` [rad/s], integrated exactly: a straight line when both wheels turn
// alike, else an arc about the instantaneous centre of rotation.
Pose advance(const Pose& pose, double left, double right, double seconds, const RobotSettings& robot);

}  // namespace sim
