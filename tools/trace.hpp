#pragma once

// A run's trace.csv, read back.

#include <fstream>
#include <string>
#include <vector>

#include "settings.hpp"
#include "simulation.hpp"

namespace line_sim {

struct TraceRow {
    double t, x, y, heading, left, right, lateral_error, progress;  // s, m, m, rad, rad/s, rad/s, m, m
};

// A trace file's rows one at a time, for runs too long to hold. An
// unreadable or empty file has none, and a last row cut short (a run stopped
// while writing) is left out.
class TraceReader {
public:
    explicit TraceReader(const std::string& path);
    bool next(TraceRow& row);  // false after the last row

private:
    std::ifstream file_;
    std::string line_;
};

// The rows of a trace file, as TraceReader gives them.
std::vector<TraceRow> read_trace(const std::string& path);

// The run's measures worked out again from its trace, as the simulated robot
// works them out while it runs.
sim::Metrics replay_metrics(const std::vector<TraceRow>& rows, const sim::WorldSettings& world, double track_length);

}  // namespace line_sim
