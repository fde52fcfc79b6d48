#pragma once

// A run's trace.csv: its columns, written a row a step by the platform's
// recorder and read back by line-sim one row at a time, so that memory
// stays flat however long the run.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <iterator>
#include <string>
#include <vector>

#include "settings.hpp"
#include "simulation.hpp"

namespace sim {

// The trace's columns, in order, with their units: after each step, the
// simulated time, the pose, the wheels' own speeds, the lateral error from
// the centre line and the progress along it; then the wheel commands in
// force over the step, as the robot took them (clamped to its top speed).
// The wheels' speeds lag the commands where the motors are modelled.
struct TraceColumn {
    const char* name;
    const char* unit;
};
inline constexpr TraceColumn TRACE_COLUMNS[] = {{"t", "s"},
                                                {"x", "m"},
                                                {"y", "m"},
                                                {"heading", "rad"},
                                                {"left", "rad/s"},
                                                {"right", "rad/s"},
                                                {"lateral_error", "m"},
                                                {"progress", "m"},
                                                {"left_command", "rad/s"},
                                                {"right_command", "rad/s"}};
inline constexpr std::size_t TRACE_COLUMN_COUNT = std::size(TRACE_COLUMNS);

// The header line, without its end: the columns' names, separated by commas.
std::string trace_header();
// Writes one row's TRACE_COLUMN_COUNT numbers at `out`, each in its shortest
// form that reads back as the same double, separated by commas and ended by
// a line end; returns the end. `out` must hold 32 bytes a number.
char* write_trace_row(char* out, const double* values);
// The same for `count` numbers.
char* write_csv_row(char* out, const double* values, std::size_t count);
// Reads a row of `count` numbers as written so into `fields`; false for
// anything else (a row cut short, a damaged one).
bool read_csv_row(const std::string& line, double* const* fields, std::size_t count);

struct TraceRow {
    double t, x, y, heading, left, right, lateral_error, progress, left_command, right_command;  // as TRACE_COLUMNS
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
Metrics replay_metrics(const std::string& trace_path, const WorldSettings& world, double track_length);

// Cuts a trace left under its temporary name by a run that did not end (the
// controller died) after its last whole row and gives it its final name, so
// that what was recorded is kept as a file of whole rows. Nothing if there is
// no such file.
void complete_cut_trace(const std::string& trace_path);

}  // namespace sim
