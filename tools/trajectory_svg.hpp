#pragma once

#include <string>
#include <vector>

#include "trace.hpp"
#include "track.hpp"

namespace line_sim {

// The drawn centre line as polylines, one a stretch between gaps: straights
// by their ends, arcs by points a few millimetres apart.
std::vector<std::vector<sim::Vec2>> centre_line_strokes(const sim::Track& track);

// A picture of a run: the track at its real line width, the robot's path
// coloured by its distance from the centre line (with a legend), a scale bar,
// the start, and where the robot was off the line. It has a viewBox, so that
// it scales to the window or box it is shown in.
std::string trajectory_svg(const sim::WorldSettings& world, const sim::Track& track, const std::vector<TraceRow>& trace);

}  // namespace line_sim
