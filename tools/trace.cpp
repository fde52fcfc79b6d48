#include "trace.hpp"

#include <cstdio>
#include <fstream>

namespace line_sim {

TraceReader::TraceReader(const std::string& path) : file_(path) {
    std::getline(file_, line_);  // header
}

bool TraceReader::next(TraceRow& r) {
    if (!std::getline(file_, line_) || file_.eof()) return false;  // no line end: the row may be cut short
    return std::sscanf(line_.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf", &r.t, &r.x, &r.y, &r.heading, &r.left,
                       &r.right, &r.lateral_error, &r.progress) == 8;
}

std::vector<TraceRow> read_trace(const std::string& path) {
    std::vector<TraceRow> rows;
    TraceReader reader(path);
    for (TraceRow r{}; reader.next(r);) rows.push_back(r);
    return rows;
}

sim::Metrics replay_metrics(const std::vector<TraceRow>& rows, const sim::WorldSettings& world, double track_length) {
    sim::Metrics metrics;
    double before = 0.0;
    for (const TraceRow& row : rows) {
        metrics.record(row.t, row.t - before, row.lateral_error, row.progress, world.track.closed ? track_length : 0.0,
                       world.run.off_line_distance);
        before = row.t;
    }
    return metrics;
}

}  // namespace line_sim
