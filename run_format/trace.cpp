// The trace's writer and reader: a row a step, the columns of TRACE_COLUMNS.

#include "trace.hpp"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "files.hpp"
#include "shortest_double.hpp"

namespace sim {

std::string trace_header() {
    std::string header;
    for (const TraceColumn& column : TRACE_COLUMNS) header += (header.empty() ? "" : ",") + std::string(column.name);
    return header;
}

char* write_trace_row(char* out, const double* values) { return write_csv_row(out, values, TRACE_COLUMN_COUNT); }

char* write_csv_row(char* out, const double* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) *out++ = ',';
        out = write_shortest(out, values[k]);
    }
    *out++ = '\n';
    return out;
}

TraceReader::TraceReader(const std::string& path) : in_(&file_) {
    if (file_.open(path, std::ios::in | std::ios::binary) == nullptr) in_.setstate(std::ios::failbit);
    std::getline(in_, line_);  // the header; at the end next() finds nothing
}

TraceReader::TraceReader(std::streambuf& source) : in_(&source) { std::getline(in_, line_); }

bool TraceReader::next(TraceRow& r) {
    // A line that reaches the end of the file without its end may be cut short.
    if (!std::getline(in_, line_) || in_.eof()) return false;
    // The columns' numbers separated by commas, as the recorder writes them
    // (std::to_chars), read back as the same doubles and several times
    // faster than strtod, which set the pace of completing a run's files.
    double* fields[] = {&r.t,
                        &r.x,
                        &r.y,
                        &r.heading,
                        &r.left,
                        &r.right,
                        &r.lateral_error,
                        &r.progress,
                        &r.left_command,
                        &r.right_command};
    static_assert(std::size(fields) == TRACE_COLUMN_COUNT);
    return read_csv_row(line_, fields, TRACE_COLUMN_COUNT);
}

bool read_csv_row(const std::string& line, double* const* fields, std::size_t count) {
    const char* at = line.data();
    const char* const last = line.data() + line.size();
    for (std::size_t i = 0; i < count; ++i) {
        const auto [end, error] = std::from_chars(at, last, *fields[i]);
        if (error != std::errc() || (i + 1 == count ? end != last : end == last || *end != ',')) return false;
        at = end + 1;
    }
    return true;
}

std::vector<TraceRow> read_trace(const std::string& path) {
    std::vector<TraceRow> rows;
    TraceReader trace(path);
    for (TraceRow row{}; trace.next(row);) rows.push_back(row);
    return rows;
}

Metrics replay_metrics(const std::string& trace_path, const WorldSettings& world, double track_length) {
    Metrics metrics(world.run, world.track.closed ? track_length : 0.0);
    TraceReader trace(trace_path);
    const bool line = world.track.has_centre_line();
    double before = 0.0;
    Vec2 at = world.track.start;
    for (TraceRow row{}; trace.next(row);) {
        if (line) {
            metrics.record(row.t, row.t - before, row.lateral_error, row.progress);
        } else {
            ++metrics.steps;
        }
        const double dx = row.x - at.x, dy = row.y - at.y;  // [m] as the simulated robot sums them
        metrics.distance_driven += std::sqrt(dx * dx + dy * dy);
        at = {row.x, row.y};
        before = row.t;
    }
    // Without a centre line the time off the line is the camera's, which the trace does not hold.
    if (!line) metrics.time_off_line = std::numeric_limits<double>::quiet_NaN();
    return metrics;
}

void complete_cut_trace(const std::string& trace_path) {
    const std::string part = part_name(trace_path);
    std::FILE* file = std::fopen(part.c_str(), "r+");
    if (file == nullptr) return;
    // The end of the last whole row.
    long whole = 0, at = 0;
    for (int c = 0; (c = std::fgetc(file)) != EOF;) {
        ++at;
        if (c == '\n') whole = at;
    }
    const bool cut = ftruncate(fileno(file), whole) == 0;
    std::fclose(file);
    if (cut) std::rename(part.c_str(), trace_path.c_str());
}

}  // namespace sim
