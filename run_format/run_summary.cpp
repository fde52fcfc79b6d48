// The field tables of summary.json and line-sim.json: each key once, with
// the member it holds and the rule its value is checked by when read.

#include "run_summary.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "world_file.hpp"

namespace sim {
namespace {

// The rules a value is read by.
struct Text {  // a string without control characters, of at most `most` bytes
    std::size_t most;
    bool may_be_empty = false;
};
struct Whole {  // a whole number from 0 to `most`
    std::uint64_t most;
};
struct Figure {  // [s] or [m]: a finite number, from 0 unless `negative`
    bool negative = false;
    bool none = false;  // not given (a run without a centre line): null, NaN in memory
    // May be not known: missing (a record from before it was kept) or null,
    // NaN in memory, written null.
    bool may_be_unknown = false;
};
struct Times {          // a list of finite times from 0
    bool none = false;  // not given: null, and no times in memory
};
struct Reason {};              // an end reason's word
struct Hash {};                // 64 hexadecimal digits, or null
struct Flag {                  // true or false
    bool added_later = false;  // a record written before has none: read as true
};
struct Worked {         // worked out from the others when written; read, it must agree
    bool none = false;  // not given: null
};
// The two below were added later: a record written before has neither, and
// is read as having none (no parameters, arguments not known).
struct Params {};  // an object of parameter names to their texts (param_name, param_value)
struct Texts {     // a list of strings of at most `most` bytes each, any characters
    std::size_t most;
};

template <class Summary, class Visit>
void summary_fields(Summary& s, Visit&& visit) {
    visit("world", s.world, Text{MOST_NAME_BYTES});
    visit("seed", s.seed, Whole{INT64_MAX});
    visit("sim_time_s", s.sim_time_s, Figure{});
    visit("wall_time_s", s.wall_time_s, Figure{});
    visit("real_time_factor", real_time_factor(s), Worked{});
    visit("steps", s.steps, Whole{INT64_MAX});
    // Read before the figures measured from the centre line, which it says are given or not.
    visit("centre_line", s.centre_line, Flag{true});
    const bool none = !s.centre_line;
    visit("lap_times_s", s.lap_times_s, Times{none});
    visit("laps_completed", std::uint64_t{s.lap_times_s.size()}, Worked{none});
    visit("mean_abs_lateral_error_m", s.mean_abs_lateral_error_m, Figure{false, none});
    visit("rms_lateral_error_m", s.rms_lateral_error_m, Figure{false, none});
    visit("max_abs_lateral_error_m", s.max_abs_lateral_error_m, Figure{false, none});
    // Not known where a run without a centre line was summed up from its trace alone.
    visit("time_off_line_s", s.time_off_line_s, Figure{false, false, !s.centre_line});
    visit("off_line_share", off_line_share(s), Worked{std::isnan(off_line_share(s))});
    // Backwards round a closed track: below 0.
    visit("distance_along_line_m", s.distance_along_line_m, Figure{true, none});
    visit("distance_driven_m", s.distance_driven_m, Figure{false, false, true});
    visit("end_reason", s.end_reason, Reason{});
    visit("camera_width", s.camera_width, Whole{MOST_PIXELS});
    visit("camera_height", s.camera_height, Whole{MOST_PIXELS});
}

template <class Facts, class Visit>
void facts_fields(Facts& f, Visit&& visit) {
    visit("controller", f.controller, Text{4096});
    visit("controller_sha256", f.controller_sha256, Hash{});
    visit("interpreter", f.interpreter, Text{4096, true});
    visit("controller_exit_status", f.controller_exit_status, Whole{255});
    visit("files_whole", f.files_whole, Flag{});
    visit("error", f.error, Text{4096, true});
    visit("params", f.params, Params{});
    visit("arguments", f.arguments, Texts{MOST_ARGUMENT_BYTES});
}

template <class Record, class Fields>
nlohmann::json write_fields(const Record& record, Fields fields) {
    nlohmann::json json = nlohmann::json::object();
    fields(record, [&](const char* key, const auto& value, auto rule) {
        if constexpr (std::is_same_v<decltype(rule), Reason>) {
            json[key] = end_reason_info(value).word;
        } else if constexpr (std::is_same_v<decltype(rule), Hash>) {
            json[key] = value ? nlohmann::json(*value) : nlohmann::json(nullptr);
        } else if constexpr (std::is_same_v<decltype(rule), Figure>) {
            // Not known is null in memory too, as it is in the file: a NaN
            // number would be shown as "nan" and pass a != requirement.
            json[key] = rule.none || std::isnan(value) ? nlohmann::json(nullptr) : nlohmann::json(value);
        } else if constexpr (requires { rule.none; }) {
            json[key] = rule.none ? nlohmann::json(nullptr) : nlohmann::json(value);
        } else {
            json[key] = value;
        }
    });
    return json;
}

bool finite(const nlohmann::json& value, bool negative) {
    return value.is_number() && std::isfinite(value.get<double>()) && (negative || value.get<double>() >= 0);
}

// Reads every stored field by its rule, then checks the worked-out ones
// against what the stored ones give.
template <class Record, class Fields>
Record read_fields(const nlohmann::json& json, Fields fields) {
    if (!json.is_object()) throw FieldError("", "expected an object");
    const auto value_of = [&](const char* key) -> const nlohmann::json& {
        const auto found = json.find(key);
        if (found == json.end()) throw FieldError(key, "missing");
        return *found;
    };
    const auto expect = [](const char* key, bool ok, const std::string& what, const nlohmann::json& value) {
        if (!ok) throw FieldError(key, "expected " + what + ", not " + excerpt(value));
    };
    Record record;
    fields(record, [&](const char* key, auto&& field, auto rule) {
        using Rule = decltype(rule);
        if constexpr (std::is_same_v<Rule, Params> || std::is_same_v<Rule, Texts>) {
            if (!json.contains(key)) return;
        }
        if constexpr (std::is_same_v<Rule, Figure>) {
            if (rule.may_be_unknown && !json.contains(key)) {
                field = std::numeric_limits<double>::quiet_NaN();
                return;
            }
        }
        if constexpr (std::is_same_v<Rule, Flag>) {
            if (rule.added_later && !json.contains(key)) return;
        }
        if constexpr (!std::is_same_v<Rule, Worked>) {
            const nlohmann::json& v = value_of(key);
            if constexpr (std::is_same_v<Rule, Text>) {
                const bool ok = v.is_string() && (rule.may_be_empty || !v.get<std::string>().empty()) &&
                                v.get<std::string>().size() <= rule.most && plain_text(v.get<std::string>());
                expect(key, ok,
                       "a string of at most " + std::to_string(rule.most) + " bytes without control characters", v);
                field = v.get<std::string>();
            } else if constexpr (std::is_same_v<Rule, Whole>) {
                // (Parsed text gives a whole number from 0 as unsigned; one set in memory may be signed.)
                const bool whole = v.is_number_unsigned() || (v.is_number_integer() && v.get<std::int64_t>() >= 0);
                expect(key, whole && v.get<std::uint64_t>() <= rule.most,
                       "a whole number from 0 to " + std::to_string(rule.most), v);
                field = static_cast<std::remove_reference_t<decltype(field)>>(v.get<std::uint64_t>());
            } else if constexpr (std::is_same_v<Rule, Figure>) {
                if (rule.none || (rule.may_be_unknown && v.is_null())) {
                    expect(key, v.is_null(), "null (not given: the world has no centre line)", v);
                    field = std::numeric_limits<double>::quiet_NaN();
                    return;
                }
                expect(key, finite(v, rule.negative), rule.negative ? "a finite number" : "a finite number from 0", v);
                field = v.get<double>();
            } else if constexpr (std::is_same_v<Rule, Times>) {
                if (rule.none) {
                    expect(key, v.is_null(), "null (not given: the world has no centre line)", v);
                    return;
                }
                expect(key,
                       v.is_array() && std::all_of(v.begin(), v.end(), [](const auto& t) { return finite(t, false); }),
                       "a list of finite times from 0", v);
                v.get_to(field);
            } else if constexpr (std::is_same_v<Rule, Reason>) {
                const auto reason = v.is_string() ? end_reason_from_word(v.get<std::string>()) : std::nullopt;
                std::string words;
                for (const EndReasonInfo& info : END_REASONS)
                    words += (words.empty() ? "" : ", ") + std::string(info.word);
                expect(key, reason.has_value(), "one of " + words, v);
                field = *reason;
            } else if constexpr (std::is_same_v<Rule, Hash>) {
                expect(key, v.is_null() || (v.is_string() && sha256_text(v.get<std::string>())),
                       "64 hexadecimal digits or null", v);
                if (v.is_string()) field = v.get<std::string>();
            } else if constexpr (std::is_same_v<Rule, Params>) {
                bool ok = v.is_object();
                for (auto item = v.begin(); ok && item != v.end(); ++item) {
                    ok = param_name(item.key()) && item->is_string() && param_value(item->template get<std::string>());
                }
                expect(key, ok,
                       "an object of parameter names (letters, digits, _) to texts of at most " +
                           std::to_string(MOST_PARAM_VALUE_BYTES) + " bytes without control characters",
                       v);
                v.get_to(field);
            } else if constexpr (std::is_same_v<Rule, Texts>) {
                expect(key,
                       v.is_array() && std::all_of(v.begin(), v.end(),
                                                   [&](const auto& t) {
                                                       return t.is_string() &&
                                                              t.template get<std::string>().size() <= rule.most;
                                                   }),
                       "a list of strings of at most " + std::to_string(rule.most) + " bytes each", v);
                v.get_to(field);
            } else {
                static_assert(std::is_same_v<Rule, Flag>);
                expect(key, v.is_boolean(), "true or false", v);
                field = v.get<bool>();
            }
        }
    });
    fields(std::as_const(record), [&](const char* key, const auto& worked, auto rule) {
        if constexpr (std::is_same_v<decltype(rule), Worked>) {
            const nlohmann::json& v = value_of(key);
            const nlohmann::json expected = rule.none ? nlohmann::json(nullptr) : nlohmann::json(worked);
            expect(key, (rule.none || v.is_number()) && v == expected,
                   expected.dump() + " (worked out from the others)", v);
        }
    });
    return record;
}

const auto SUMMARY_FIELDS = [](auto& s, auto&& visit) { summary_fields(s, visit); };
const auto FACTS_FIELDS = [](auto& f, auto&& visit) { facts_fields(f, visit); };

}  // namespace

RunSummary summarise(const WorldSettings& world, double sim_time, double wall_time, const Metrics& metrics,
                     EndReason end_reason) {
    // Simulated times are of whole steps, whole milliseconds: given as such,
    // not with the rounding their sums and differences pick up (33.888, not
    // 33.888000000000005).
    const auto whole_ms = [](double seconds) { return std::round(seconds * 1000) / 1000; };
    RunSummary s;
    s.world = world.name;
    s.seed = world.run.seed;
    s.sim_time_s = whole_ms(sim_time);
    s.wall_time_s = wall_time;
    s.steps = metrics.steps;
    s.centre_line = world.track.has_centre_line();
    for (const double lap : metrics.lap_times) s.lap_times_s.push_back(whole_ms(lap));
    constexpr double NONE = std::numeric_limits<double>::quiet_NaN();
    s.mean_abs_lateral_error_m = s.centre_line ? metrics.mean_abs_error() : NONE;
    s.rms_lateral_error_m = s.centre_line ? metrics.rms_error() : NONE;
    s.max_abs_lateral_error_m = s.centre_line ? metrics.max_abs_error : NONE;
    s.time_off_line_s = whole_ms(metrics.time_off_line);
    s.distance_along_line_m = s.centre_line ? metrics.progress : NONE;
    s.distance_driven_m = metrics.distance_driven;
    s.end_reason = end_reason;
    s.camera_width = world.camera.width;
    s.camera_height = world.camera.height;
    return s;
}

nlohmann::json to_json(const RunSummary& summary) { return write_fields(summary, SUMMARY_FIELDS); }
nlohmann::json to_json(const LineSimFacts& facts) { return write_fields(facts, FACTS_FIELDS); }
RunSummary summary_from_json(const nlohmann::json& json) { return read_fields<RunSummary>(json, SUMMARY_FIELDS); }
LineSimFacts facts_from_json(const nlohmann::json& json) { return read_fields<LineSimFacts>(json, FACTS_FIELDS); }

EndReason joined_end_reason(const RunSummary& summary, const LineSimFacts& facts) {
    return facts.files_whole ? summary.end_reason : EndReason::files_not_written;
}

nlohmann::json joined_json(const RunSummary& summary, const LineSimFacts& facts) {
    nlohmann::json json = to_json(summary);
    json.update(to_json(facts));
    json["end_reason"] = end_reason_info(joined_end_reason(summary, facts)).word;
    return json;
}

const std::vector<RecordKey>& record_keys() {
    static const std::vector<RecordKey> keys = [] {
        std::vector<RecordKey> all;
        const auto add = [&](const char* key, const auto& value, auto) {
            all.push_back({key, std::is_arithmetic_v<std::decay_t<decltype(value)>> &&
                                    !std::is_same_v<std::decay_t<decltype(value)>, bool>});
        };
        const RunSummary summary;
        const LineSimFacts facts;
        summary_fields(summary, add);
        facts_fields(facts, add);
        return all;
    }();
    return keys;
}

const RecordKey* record_key(const std::string& key) {
    const auto& keys = record_keys();
    const auto found = std::find_if(keys.begin(), keys.end(), [&](const RecordKey& k) { return k.key == key; });
    return found == keys.end() ? nullptr : &*found;
}

double real_time_factor(const RunSummary& s) { return s.wall_time_s > 0 ? s.sim_time_s / s.wall_time_s : 0.0; }
double off_line_share(const RunSummary& s) {
    if (std::isnan(s.time_off_line_s)) return s.time_off_line_s;
    return s.sim_time_s > 0 ? std::min(1.0, s.time_off_line_s / s.sim_time_s) : 0.0;
}

bool plain_text(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0; };
        const bool c1 = byte(i) == 0xc2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f;
        const bool bidi = byte(i) == 0xe2 && ((byte(i + 1) == 0x80 && ((byte(i + 2) >= 0x8e && byte(i + 2) <= 0x8f) ||
                                                                       (byte(i + 2) >= 0xaa && byte(i + 2) <= 0xae))) ||
                                              (byte(i + 1) == 0x81 && byte(i + 2) >= 0xa6 && byte(i + 2) <= 0xa9));
        if (byte(i) < 0x20 || byte(i) == 0x7f || c1 || bidi) return false;
    }
    return true;
}

bool param_name(const std::string& name) {
    if (name.empty() || name.size() > MOST_PARAM_NAME_BYTES || std::isdigit(static_cast<unsigned char>(name[0])))
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; });
}

bool param_value(const std::string& value) { return value.size() <= MOST_PARAM_VALUE_BYTES && printable_name(value); }

bool sha256_text(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string excerpt(const nlohmann::json& value) {
    std::string text = value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

}  // namespace sim
