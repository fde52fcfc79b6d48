#pragma once

// A run's trace.csv, read back one row at a time, so that memory stays flat
// however long the run.

#include <cstdint>
#include <fstream>
#include <istream>
#include <string>
#include <vector>

#include "settings.hpp"
#include "simulation.hpp"

namespace line_sim {

struct TraceRow {
    double t, x, y, heading, left, right, lateral_error, progress;  // s, m, m, rad, rad/s, rad/s, m, m
};

// Reads rows in order, from the file `path` or from `source` (which must
// outlive the reader); an unreadable or empty file gives none, and a last row
// cut short (a run stopped while writing) is left out.
class TraceReader {
public:
    explicit TraceReader(const std::string& path);
    explicit TraceReader(std::streambuf& source);
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    bool next(TraceRow& row);

private:
    std::filebuf file_;
    std::istream in_;
    std::string line_;
};

// Every row at once, for a short trace (tests).
std::vector<TraceRow> read_trace(const std::string& path);

// The run's measures worked out again from its trace, as the simulated robot
// works them out while it runs.
sim::Metrics replay_metrics(const std::string& trace_path, const sim::WorldSettings& world, double track_length);

// Cuts a trace left under its temporary name by a run that did not end (the
// controller died) after its last whole row and gives it its final name, so
// that what was recorded is kept as a file of whole rows. Nothing if there is
// no such file.
void complete_cut_trace(const std::string& trace_path);

}  // namespace line_sim
