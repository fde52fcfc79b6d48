#pragma once

// A run's two records: summary.json, the figures the robot writes once at
// the end of its run, and line-sim.json, what only line-sim knows of it
// (which controller ran, how it ended, what could not be written). Each
// struct's one field table (run_summary.cpp) writes it, reads it back with
// every value checked, and gives the results their columns.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
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
    // Without a centre line (a picture floor's line alone) the laps, the
    // lateral errors and the distance along the line are not given: no laps,
    // NaN, and null in the file; the time off the line is then the time the
    // camera saw no dark pixel.
    bool centre_line = true;
    std::vector<double> lap_times_s;
    double mean_abs_lateral_error_m = 0.0;
    double rms_lateral_error_m = 0.0;
    double max_abs_lateral_error_m = 0.0;
    double time_off_line_s = 0.0;
    double distance_along_line_m = 0.0;  // net progress along the centre line, through laps
    double distance_driven_m = 0.0;      // by the axle centre; NaN: not known (a record from before it was kept)
    EndReason end_reason = EndReason::none;
    std::int32_t camera_width = 0;   // [px]
    std::int32_t camera_height = 0;  // [px]
};

struct LineSimFacts {
    std::string controller;                        // its path as given
    std::optional<std::string> controller_sha256;  // of the file that ran; none where that is not known
    std::string interpreter;                       // what ran the controller's script, or "" for a program
    std::int32_t controller_exit_status = 0;       // its status, or 128 + the signal that ended it
    bool files_whole = true;  // every file of the run written whole; false makes the run's end files_not_written
    std::string error;        // why not, or how else the run went wrong, one line; "" for nothing
    std::map<std::string, std::string> params;  // the controller's parameters (param.NAME), name to text
    std::vector<std::string> arguments;         // the controller's arguments as it ran, {NAME} put in
};

// A controller parameter's name, after `param.`: letters, digits and _, not
// starting with a digit, at most MOST_PARAM_NAME_BYTES; it is part of an
// environment variable's name (LINE_SIM_PARAM_NAME). Its value is text that
// printable_name takes, of at most MOST_PARAM_VALUE_BYTES.
inline constexpr std::size_t MOST_PARAM_NAME_BYTES = 64;
inline constexpr std::size_t MOST_PARAM_VALUE_BYTES = 4096;
bool param_name(const std::string& name);
bool param_value(const std::string& value);
// [bytes] the longest argument Linux passes to a program (MAX_ARG_STRLEN).
inline constexpr std::size_t MOST_ARGUMENT_BYTES = 131072;

RunSummary summarise(const WorldSettings& world, double sim_time, double wall_time, const Metrics& metrics,
                     EndReason end_reason);

nlohmann::json to_json(const RunSummary& summary);
nlohmann::json to_json(const LineSimFacts& facts);

// A key of a record that is missing, or whose value is not of its kind and
// range: what() is "expected ..., not <the value, short>" or "missing".
struct FieldError : std::runtime_error {
    FieldError(std::string field, const std::string& what) : std::runtime_error(what), key(std::move(field)) {}
    std::string key;
};
// Read from JSON that may come from anyone; keys of neither are left alone.
// Throw FieldError.
RunSummary summary_from_json(const nlohmann::json& json);
LineSimFacts facts_from_json(const nlohmann::json& json);

// A run as a person reads it: both records in one object, with end_reason
// files_not_written where line-sim could not write every file whole.
nlohmann::json joined_json(const RunSummary& summary, const LineSimFacts& facts);
EndReason joined_end_reason(const RunSummary& summary, const LineSimFacts& facts);

// The keys of joined_json, each with whether its value is a number.
struct RecordKey {
    std::string key;
    bool number;
};
const std::vector<RecordKey>& record_keys();
// The key of that name, or nullptr.
const RecordKey* record_key(const std::string& key);

// Worked out from a summary's figures (and written with them): simulated
// seconds per wall-clock second, and the share of the run off the line.
double real_time_factor(const RunSummary& summary);
double off_line_share(const RunSummary& summary);

// Text that is printed and put in pages, held to what a world's name may
// hold: no control characters (a line end, a terminal escape), no C1
// controls, no marks that turn text right to left.
bool plain_text(const std::string& text);
// A SHA-256 as line-sim writes it: 64 lowercase hexadecimal digits.
bool sha256_text(const std::string& text);
// A value as it stood in a file, short and in ASCII, for a message.
std::string excerpt(const nlohmann::json& value);

}  // namespace sim
