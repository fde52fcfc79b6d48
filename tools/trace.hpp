#pragma once

// A run's trace.csv, read back.

#include <string>
#include <vector>

#include "settings.hpp"
#include "simulation.hpp"

namespace line_sim {

struct TraceRow {
    double t, x, y, heading, left, right, lateral_error, progress;  // s, m, m, rad, rad/s, rad/s, m, m
};

// The rows of a trace file; an unreadable or empty file gives none, and a
// last row cut short (a run stopped while writing) is left out.
std::vector<TraceRow> read_trace(const std::string& path);

// The run's measures worked out again from its trace, as the simulated robot
// works them out while it runs.
sim::Metrics replay_metrics(const std::vector<TraceRow>& rows, const sim::WorldSettings& world, double track_length);

}  // namespace line_sim
