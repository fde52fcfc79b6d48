#pragma once

// summary.json: a run's figures, written by the simulated robot at the end of
// a run and completed by line-sim (which knows how the controller ended).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "end_reason.hpp"
#include "settings.hpp"
#include "simulation.hpp"

namespace sim {

struct RunSummary {
    std::string world;
    std::uint64_t seed = 0;
    double sim_time_s = 0.0;   // [s] simulated
    double wall_time_s = 0.0;  // [s] it took
    std::int64_t steps = 0;
    std::vector<double> lap_times_s;
    double mean_abs_lateral_error_m = 0.0;
    double rms_lateral_error_m = 0.0;
    double max_abs_lateral_error_m = 0.0;
    double time_off_line_s = 0.0;
    double distance_along_line_m = 0.0;  // net progress along the centre line, through laps
    EndReason end_reason = EndReason::none;
    std::int32_t camera_width = 0;   // [px]
    std::int32_t camera_height = 0;  // [px]
    // Filled in by line-sim, which knows the controller:
    std::optional<int> controller_exit_status;  // its status, or 128 + the signal that ended it
    std::optional<std::string> controller;         // its path as given
    std::optional<std::string> controller_sha256;  // of its file, to trace results back to a build
};

RunSummary summarise(const WorldSettings& world, double sim_time, double wall_time, const Metrics& metrics,
                     EndReason end_reason);

nlohmann::json to_json(const RunSummary& summary);
// Throws nlohmann::json::exception where a key is missing or of another type.
RunSummary summary_from_json(const nlohmann::json& json);

}  // namespace sim
