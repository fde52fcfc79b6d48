#include "run_summary.hpp"

namespace sim {

RunSummary summarise(const WorldSettings& world, double sim_time, double wall_time, const Metrics& metrics,
                     EndReason end_reason) {
    RunSummary s;
    s.world = world.name;
    s.seed = world.run.seed;
    s.sim_time_s = sim_time;
    s.wall_time_s = wall_time;
    s.steps = metrics.steps;
    s.lap_times_s = metrics.lap_times;
    s.mean_abs_lateral_error_m = metrics.mean_abs_error();
    s.rms_lateral_error_m = metrics.rms_error();
    s.max_abs_lateral_error_m = metrics.max_abs_error;
    s.time_off_line_s = metrics.time_off_line;
    s.distance_along_line_m = metrics.progress;
    s.end_reason = end_reason;
    s.camera_width = world.camera.width;
    s.camera_height = world.camera.height;
    return s;
}

nlohmann::json to_json(const RunSummary& s) {
    nlohmann::json json = {{"world", s.world},
                           {"seed", s.seed},
                           {"sim_time_s", s.sim_time_s},
                           {"wall_time_s", s.wall_time_s},
                           {"real_time_factor", s.wall_time_s > 0 ? s.sim_time_s / s.wall_time_s : 0.0},
                           {"steps", s.steps},
                           {"laps_completed", s.lap_times_s.size()},
                           {"lap_times_s", s.lap_times_s},
                           {"mean_abs_lateral_error_m", s.mean_abs_lateral_error_m},
                           {"rms_lateral_error_m", s.rms_lateral_error_m},
                           {"max_abs_lateral_error_m", s.max_abs_lateral_error_m},
                           {"time_off_line_s", s.time_off_line_s},
                           {"distance_along_line_m", s.distance_along_line_m},
                           {"end_reason", end_reason_info(s.end_reason).word},
                           {"camera_width", s.camera_width},
                           {"camera_height", s.camera_height}};
    if (s.controller_exit_status) json["controller_exit_status"] = *s.controller_exit_status;
    if (s.controller) json["controller"] = *s.controller;
    if (s.controller_sha256) json["controller_sha256"] = *s.controller_sha256;
    return json;
}

RunSummary summary_from_json(const nlohmann::json& json) {
    RunSummary s;
    json.at("world").get_to(s.world);
    json.at("seed").get_to(s.seed);
    json.at("sim_time_s").get_to(s.sim_time_s);
    json.at("wall_time_s").get_to(s.wall_time_s);
    json.at("steps").get_to(s.steps);
    json.at("lap_times_s").get_to(s.lap_times_s);
    json.at("mean_abs_lateral_error_m").get_to(s.mean_abs_lateral_error_m);
    json.at("rms_lateral_error_m").get_to(s.rms_lateral_error_m);
    json.at("max_abs_lateral_error_m").get_to(s.max_abs_lateral_error_m);
    json.at("time_off_line_s").get_to(s.time_off_line_s);
    json.at("distance_along_line_m").get_to(s.distance_along_line_m);
    s.end_reason = end_reason_from_word(json.at("end_reason").get<std::string>()).value_or(EndReason::none);
    json.at("camera_width").get_to(s.camera_width);
    json.at("camera_height").get_to(s.camera_height);
    if (json.contains("controller_exit_status")) s.controller_exit_status = json.at("controller_exit_status").get<int>();
    if (json.contains("controller")) s.controller = json.at("controller").get<std::string>();
    if (json.contains("controller_sha256")) s.controller_sha256 = json.at("controller_sha256").get<std::string>();
    return s;
}

}  // namespace sim
