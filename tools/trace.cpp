#include "trace.hpp"

#include <cstdio>
#include <fstream>

namespace line_sim {

std::vector<TraceRow> read_trace(const std::string& path) {
    std::vector<TraceRow> rows;
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);  // header
    while (std::getline(file, line)) {
        if (file.eof()) break;  // no line end: the row may be cut short
        TraceRow r{};
        if (std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf", &r.t, &r.x, &r.y, &r.heading, &r.left, &r.right,
                        &r.lateral_error, &r.progress) != 8) {
            break;
        }
        rows.push_back(r);
    }
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
