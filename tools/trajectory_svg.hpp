#pragma once

#include <string>
#include <vector>

#include "trace.hpp"
#include "track.hpp"

namespace line_sim {

// A picture of a run: the track at its real line width, the robot's path
// coloured by its distance from the centre line (with a legend), a scale bar,
// the start, and where the robot was off the line.
std::string trajectory_svg(const sim::WorldSettings& world, const sim::Track& track, const std::vector<TraceRow>& trace);

}  // namespace line_sim
