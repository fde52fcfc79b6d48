// results.csv and results.json: written, read back with every value checked; requirements.

#include "results.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include "controller_params.hpp"
#include "did_you_mean.hpp"
#include "file_names.hpp"
#include "files.hpp"
#include "world_file.hpp"

namespace line_sim {
namespace {

// A swept value as JSON: a number where the TOML text is one, else the text.
nlohmann::json value_json(const std::string& text) {
    char* end = nullptr;
    errno = 0;  // else an ERANGE left from before makes a whole number a fraction
    const long long whole = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && errno != ERANGE) return whole;
    const double number = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(number)) return number;
    return text;
}

// A file name as one line: control bytes shown as \xNN.
std::string shown(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        }
    }
    return out;
}

[[noreturn]] void refuse(const std::string& path, const std::string& where, const std::string& what) {
    throw UsageError("line-sim: " + path + ": " + (where.empty() ? "the whole file" : where) + ": " + what);
}

using sim::excerpt;
using sim::plain_text;
using sim::sha256_text;

// The file whole, if it is a regular file of at most MOST_RESULTS_BYTES.
std::string read_results_text(const std::filesystem::path& file, const std::string& path) {
    // Not blocking, so that a FIFO with no writer is refused, not waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw UsageError("line-sim: " + path + ": cannot be read (" + std::strerror(errno) + ")");
    struct stat info {};
    std::string text, why;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "expected a regular file";
    } else if (static_cast<std::uintmax_t>(info.st_size) > MOST_RESULTS_BYTES) {
        why = "larger than 128 MiB";
    } else {
        // One byte more than the file had, to tell one that has grown since.
        text.resize(static_cast<std::size_t>(info.st_size) + 1);
        std::size_t got = 0;
        ssize_t n = 0;
        while ((n = ::read(fd, text.data() + got, text.size() - got)) > 0) {
            got += static_cast<std::size_t>(n);
            if (got == text.size()) {
                if (got > MOST_RESULTS_BYTES) break;
                text.resize(std::min(got + got / 2 + 4096, MOST_RESULTS_BYTES + 1));
            }
        }
        text.resize(got);
        if (n < 0)
            why = std::strerror(errno);
        else if (got > MOST_RESULTS_BYTES)
            why = "larger than 128 MiB";
    }
    ::close(fd);
    if (!why.empty()) throw UsageError("line-sim: " + path + ": cannot be read (" + why + ")");
    return text;
}

// A run's folder, relative to the results' folder: names joined by '/',
// none empty, "." or "..", except ".." steps at the start, which a merged
// result set's folders take to reach the shards' folders beside it.
bool relative_folder(const std::string& folder) {
    if (folder.empty() || folder.size() > 4096 || !plain_text(folder)) return false;
    bool leading = true;
    std::size_t names = 0;
    for (std::size_t start = 0; start <= folder.size();) {
        const std::size_t slash = std::min(folder.find('/', start), folder.size());
        const std::string name = folder.substr(start, slash - start);
        if (name == ".." && leading) {
            start = slash + 1;
            continue;
        }
        if (name.empty() || name == "." || name == "..") return false;
        leading = false;
        ++names;
        start = slash + 1;
    }
    return names > 0;
}

// A world key as --set and --sweep take it: letters, digits and _, in parts joined by dots.
bool dotted_key(const std::string& key) {
    if (key.empty() || key.size() > 200 || key.front() == '.' || key.back() == '.' ||
        key.find("..") != std::string::npos) {
        return false;
    }
    return std::all_of(key.begin(), key.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; });
}

// Whether `key` is one of every row's own columns, which no swept key may take.
bool row_column(const std::string& key) { return key == "run" || key == "folder" || sim::record_key(key) != nullptr; }

using SweptValues = std::vector<std::pair<std::string, std::string>>;

// One run's object, every key checked; the keys that are not a record's
// go to `swept`, for the swept keys to claim.
ResultRow read_row(const nlohmann::json& json, const std::string& path, const std::string& run, SweptValues& swept) {
    if (!json.is_object()) refuse(path, run, "expected an object, a run's figures");
    ResultRow row;
    const auto get = [&](const char* key) -> const nlohmann::json& {
        if (!json.contains(key)) refuse(path, run + ": " + key, "missing");
        return json.at(key);
    };
    const auto fail = [&](const char* key, const std::string& expected) {
        refuse(path, run + ": " + key, "expected " + expected + ", not " + excerpt(json.at(key)));
    };
    const nlohmann::json& index = get("run");
    if (!index.is_number_unsigned() || index.get<std::uint64_t>() > INT64_MAX) {
        fail("run", "a whole number from 0 to " + std::to_string(INT64_MAX));
    }
    row.run = index.get<std::size_t>();
    const nlohmann::json& folder = get("folder");
    if (!folder.is_string() || !relative_folder(folder.get<std::string>())) {
        fail("folder", "a folder relative to the results' folder (no absolute path, no \"..\" but leading ones)");
    }
    row.folder = folder.get<std::string>();
    try {
        row.summary = sim::summary_from_json(json);
        row.facts = sim::facts_from_json(json);
    } catch (const sim::FieldError& error) {
        refuse(path, run + ": " + error.key, error.what());
    }
    // The row's end reason is the two records' joined one.
    if (row.summary.end_reason == sim::EndReason::files_not_written) row.facts.files_whole = false;
    // A parameter's column (param.NAME) says what the run's params say.
    for (const auto& [key, value] : json.items()) {
        if (!is_param(key)) continue;
        const auto param = row.facts.params.find(key.substr(std::string(PARAM_PREFIX).size()));
        if (param == row.facts.params.end()) refuse(path, run + ": " + shown(key), "a parameter not in params");
        if (value != value_json(param->second)) {
            refuse(path, run + ": " + shown(key),
                   "expected " + excerpt(value_json(param->second)) + " as params has it, not " + excerpt(value));
        }
    }
    for (const auto& [key, value] : json.items()) {
        if (row_column(key)) continue;
        // A swept value as row_json writes it: a number, or the TOML text.
        const bool number = value.is_number() && std::isfinite(value.get<double>());
        if (!(number ||
              (value.is_string() && value.get<std::string>().size() <= 4096 && plain_text(value.get<std::string>())))) {
            refuse(path, run + ": " + shown(key),
                   "expected a swept value: a finite number or a string without control characters, not " +
                       excerpt(value));
        }
        swept.emplace_back(key, value.is_string() ? value.get<std::string>() : value.dump());
    }
    return row;
}

// A number as a spreadsheet reads one: -?digits[.digits][e[+-]digits], finite.
bool plain_number(const std::string& text) {
    if (text.empty() || (text[0] != '-' && std::isdigit(static_cast<unsigned char>(text[0])) == 0) ||
        text.find_first_not_of("0123456789.eE+-") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    return std::isfinite(std::strtod(text.c_str(), &end)) && *end == '\0';
}

std::string csv_field(const nlohmann::json& value) {
    std::string text;
    if (value.is_string()) {
        text = value.get<std::string>();
    } else if (value.is_array()) {
        // Figures (lap times) by ;, texts (arguments) by a space, as on a command line.
        for (const auto& item : value) {
            if (item.is_string()) {
                text += (&item == &value.front() ? "" : " ") + item.get<std::string>();
            } else {
                text += (&item == &value.front() ? "" : ";") + item.dump();
            }
        }
    } else {
        text = value.dump();
    }
    // A cell that a spreadsheet would open as a formula gets a ' first, which
    // makes it text, inside quotes; a plain number (-0.5) stays a number.
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos &&
                         !plain_number(text);
    if (!formula && text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string quoted = formula ? "\"'" : "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

nlohmann::json row_json(const ResultRow& row) {
    nlohmann::json json = nlohmann::json::object();
    json["run"] = row.run;
    json["folder"] = row.folder;
    json["world"] = row.summary.world;
    for (const Setting& setting : row.swept) json[setting.key] = value_json(setting.value);
    // Every parameter a column, swept or not.
    for (const auto& [name, value] : row.facts.params) json.emplace(PARAM_PREFIX + name, value_json(value));
    json.update(sim::joined_json(row.summary, row.facts));
    return json;
}

const std::vector<std::string>& metric_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> keys;
        for (const sim::RecordKey& key : sim::record_keys()) {
            if (key.key != "world") keys.push_back(key.key);
        }
        std::sort(keys.begin(), keys.end());  // as results.json's keys stand
        return keys;
    }();
    return names;
}

void write_results(const std::filesystem::path& folder, const Results& results) {
    // Row by row, in the layout of the whole document dumped with an indent
    // of 2, so that memory does not grow with the rows. Text that is not
    // UTF-8 (a --sweep value) is written with replacement characters.
    const auto dump = [](const nlohmann::json& value, const std::string& indent) {
        std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace), out;
        for (const char c : text) out += c == '\n' ? "\n" + indent : std::string(1, c);
        return out;
    };
    const std::string json_path = (folder / sim::RESULTS_JSON).string();
    std::FILE* json = sim::open_part(json_path);
    std::fputs(("{\n  \"plan\": " + dump(results.plan, "") +
                ",\n  \"plan_runs\": " + std::to_string(results.plan_runs) + ",\n  \"runs\": [")
                   .c_str(),
               json);
    for (std::size_t i = 0; i < results.rows.size(); ++i) {
        std::fputs(((i ? ",\n    " : "\n    ") + dump(row_json(results.rows[i]), "    ")).c_str(), json);
    }
    std::fputs(((results.rows.empty() ? "]" : "\n  ]") + std::string(",\n  \"swept_keys\": ") +
                dump(results.swept_keys, "  ") + "\n}\n")
                   .c_str(),
               json);
    sim::close_part(json, json_path);

    std::vector<std::string> columns = {"run", "folder", "world"};
    columns.insert(columns.end(), results.swept_keys.begin(), results.swept_keys.end());
    // The parameters set for the whole call, a column each as a swept one is
    // (and in place of params, an object).
    std::set<std::string> params;
    for (const ResultRow& row : results.rows) {
        for (const auto& [name, value] : row.facts.params) params.insert(PARAM_PREFIX + name);
    }
    for (const std::string& key : params) {
        if (std::find(columns.begin(), columns.end(), key) == columns.end()) columns.push_back(key);
    }
    columns.push_back("seed");
    for (const std::string& name : metric_names()) {
        if (name != "seed" && name != "params") columns.push_back(name);
    }
    const std::string csv_path = (folder / sim::RESULTS_CSV).string();
    std::FILE* csv = sim::open_part(csv_path);
    std::string line;
    for (std::size_t i = 0; i < columns.size(); ++i) line += (i ? "," : "") + csv_field(columns[i]);
    std::fputs((line + "\n").c_str(), csv);
    for (const ResultRow& result : results.rows) {
        const nlohmann::json row = row_json(result);
        line.clear();
        for (std::size_t i = 0; i < columns.size(); ++i) {
            line += (i ? "," : "") + (row.contains(columns[i]) ? csv_field(row[columns[i]]) : "");
        }
        std::fputs((line + "\n").c_str(), csv);
    }
    sim::close_part(csv, csv_path);
}

Results read_results(const std::filesystem::path& folder) {
    const std::string path = shown((folder / sim::RESULTS_JSON).string());
    const std::string text = read_results_text(folder / sim::RESULTS_JSON, path);
    Results results;
    std::vector<SweptValues> swept;  // a row's, until swept_keys is known
    std::string top_key;
    std::set<std::string> top_keys, run_keys;
    bool in_runs = false;
    using Event = nlohmann::json::parse_event_t;
    // Run by run: each run's object is checked and kept as a row as soon as
    // it is parsed, then dropped from the document.
    const auto each = [&](int depth, Event event, nlohmann::json& parsed) {
        const auto run = [&] { return "runs[" + std::to_string(results.rows.size()) + "]"; };
        if ((event == Event::object_start || event == Event::array_start) && depth > 3) {
            refuse(path, in_runs ? run() : shown(top_key), "nested deeper than a results file is");
        }
        if (depth == 1 && event == Event::key) {
            top_key = parsed.get<std::string>();
            in_runs = false;
            if (!top_keys.insert(top_key).second) refuse(path, shown(top_key), "given twice");
        }
        if (depth == 1 && event == Event::array_start && top_key == "runs") in_runs = true;
        if (!in_runs || depth < 2) return true;
        if (depth == 3 && event == Event::key && !run_keys.insert(parsed.get<std::string>()).second) {
            refuse(path, run() + ": " + shown(parsed.get<std::string>()), "given twice");
        }
        if (depth > 2) return true;
        if (event == Event::object_start) {
            run_keys.clear();
            return true;
        }
        if (event != Event::object_end) refuse(path, run(), "expected an object, a run's figures");
        results.rows.push_back(read_row(parsed, path, run(), swept.emplace_back()));
        return false;
    };
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text, each);
    } catch (const nlohmann::json::exception& error) {
        throw UsageError("line-sim: " + path + ": not a results file of line-sim (" + error.what() + ")");
    }
    if (!document.is_object())
        refuse(path, "the whole file", "expected an object with plan, plan_runs, swept_keys and runs");
    for (const auto& [key, value] : document.items()) {
        if (key != "plan" && key != "plan_runs" && key != "swept_keys" && key != "runs") {
            refuse(path, shown(key), "not a key of a results file (plan, plan_runs, swept_keys, runs)");
        }
    }
    for (const char* key : {"plan", "plan_runs", "swept_keys", "runs"}) {
        if (!document.contains(key)) refuse(path, key, "missing");
    }
    const nlohmann::json& plan = document["plan"];
    if (!plan.is_string() || !sha256_text(plan.get<std::string>())) {
        refuse(path, "plan", "expected 64 hexadecimal digits (the plan's SHA-256), not " + excerpt(plan));
    }
    results.plan = plan.get<std::string>();
    const nlohmann::json& plan_runs = document["plan_runs"];
    if (!plan_runs.is_number_unsigned() || plan_runs.get<std::uint64_t>() == 0) {
        refuse(path, "plan_runs",
               "expected a whole number from 1 (the runs of the whole plan), not " + excerpt(plan_runs));
    }
    results.plan_runs = plan_runs.get<std::size_t>();
    const nlohmann::json& keys = document["swept_keys"];
    if (!keys.is_array()) refuse(path, "swept_keys", "expected a list of dotted world keys");
    for (const nlohmann::json& key : keys) {
        if (!key.is_string() || !dotted_key(key.get<std::string>()) || row_column(key.get<std::string>())) {
            refuse(path, "swept_keys", "expected dotted world keys (camera.noise), not " + excerpt(key));
        }
        if (std::find(results.swept_keys.begin(), results.swept_keys.end(), key) != results.swept_keys.end()) {
            refuse(path, "swept_keys", key.get<std::string>() + " given twice");
        }
        results.swept_keys.push_back(key.get<std::string>());
    }
    if (!document["runs"].is_array()) refuse(path, "runs", "expected a list of runs");

    std::set<std::size_t> runs;
    for (std::size_t i = 0; i < results.rows.size(); ++i) {
        ResultRow& row = results.rows[i];
        const std::string run = "runs[" + std::to_string(i) + "]";
        if (row.run >= results.plan_runs) {
            refuse(path, run + ": run",
                   std::to_string(row.run) + " is not a run of a plan of plan_runs " +
                       std::to_string(results.plan_runs) + " (expected 0 to plan_runs - 1)");
        }
        if (!runs.insert(row.run).second) refuse(path, run + ": run", std::to_string(row.run) + " is there twice");
        for (const std::string& key : results.swept_keys) {
            const auto found =
                std::find_if(swept[i].begin(), swept[i].end(), [&](const auto& v) { return v.first == key; });
            if (found == swept[i].end()) refuse(path, run + ": " + key, "missing (a swept key)");
            row.swept.push_back({key, found->second});
        }
        for (const auto& [key, value] : swept[i]) {
            if (is_param(key)) continue;  // checked against the run's params
            if (std::find(results.swept_keys.begin(), results.swept_keys.end(), key) == results.swept_keys.end()) {
                refuse(path, run + ": " + shown(key), "not a figure of a run nor a swept key");
            }
        }
    }
    std::sort(results.rows.begin(), results.rows.end(), [](const auto& x, const auto& y) { return x.run < y.run; });
    return results;
}

namespace {

std::string trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t"), end = text.find_last_not_of(" \t");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

struct Unit {
    const char* suffix;  // of the metric's name
    const char* name;
    double factor;  // to the metric's own unit
};
// The units a value may carry, by the metric's own: metres, seconds, shares.
constexpr Unit UNITS[] = {{"_m", "m", 1.0},    {"_m", "cm", 0.01},  {"_m", "mm", 0.001},  {"_s", "s", 1.0},
                          {"_s", "ms", 0.001}, {"_s", "min", 60.0}, {"_share", "%", 0.01}};

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

Requirement parse_requirement(const std::string& text, bool allow_change) {
    Requirement r;
    r.text = text;
    const auto at = text.find_first_of("<>=!");
    for (const char* op : {">=", "<=", "==", "!=", ">", "<"}) {
        if (at != std::string::npos && text.compare(at, std::string(op).size(), op) == 0) {
            r.op = op;
            break;
        }
    }
    const auto bad = [&](const std::string& why) { throw UsageError("line-sim: --require " + text + ": " + why); };
    if (r.op.empty()) bad("expected METRIC OP VALUE with OP one of >= <= == != > <");
    // Spaces around the parts are layout ('laps_completed >= 2').
    r.metric = trimmed(text.substr(0, at));
    r.value = trimmed(text.substr(at + r.op.size()));
    const auto& names = metric_names();
    if (std::find(names.begin(), names.end(), r.metric) == names.end() && r.metric != "world") {
        std::string known;
        for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
        bad("unknown metric \"" + r.metric + "\"" + sim::did_you_mean(r.metric, names) + " (known: " + known + ")");
    }
    if (r.metric == "lap_times_s") bad("lap_times_s is a list; laps_completed counts it");
    if (r.metric == "params" || r.metric == "arguments")
        bad(r.metric + " is the controller's, not a figure of the run");
    if (r.value.empty()) bad("expected a value after " + r.op);
    std::string number = r.value;
    if (allow_change && (number[0] == '+' || number[0] == '-')) r.change = true;
    if (r.change && number.back() == '%') {
        r.percent = true;
        number.pop_back();
        number = trimmed(number);  // '+10 %' as '+10%'
    }
    char* end = nullptr;
    r.number = std::strtod(number.c_str(), &end);
    const bool numeric = end != number.c_str() && std::isfinite(r.number);
    // A unit after the number: 2mm, 30 s, 50% (of a share).
    const std::string unit = numeric ? trimmed(end) : "";
    if (!unit.empty()) {
        std::string units;
        const Unit* found = nullptr;
        for (const Unit& u : UNITS) {
            if (!ends_with(r.metric, u.suffix)) continue;
            units += (units.empty() ? "" : ", ") + std::string(u.name);
            if (unit == u.name && !r.percent) found = &u;
        }
        if (found == nullptr) {
            bad("\"" + unit + "\" is not a unit of " + r.metric +
                (units.empty() ? " (it takes none)" : " (" + units + ")"));
        }
        r.number *= found->factor;
    }
    // A share is a fraction: 'off_line_share < 10' would hold for every run.
    if (ends_with(r.metric, "_share") && numeric && unit.empty() && !r.change && *end == '\0' &&
        (r.number < 0 || r.number > 1)) {
        bad(r.metric + " is a share from 0 to 1 (or in %: " + r.value + "%)");
    }
    if (r.change && !numeric) bad("expected a change such as +10% or -0.001");
    const sim::RecordKey* key = sim::record_key(r.metric);
    const bool words = key == nullptr || !key->number;
    if (words && (r.op != "==" && r.op != "!=")) bad(r.metric + " takes == or !=");
    if (!words && (!numeric || (unit.empty() && *end != '\0'))) bad("expected a number after " + r.op);
    if (words && r.metric == "end_reason" && !sim::end_reason_from_word(r.value)) {
        std::vector<std::string> reasons;
        for (const sim::EndReasonInfo& info : sim::END_REASONS) reasons.emplace_back(info.word);
        bad("unknown end reason \"" + r.value + "\"" + sim::did_you_mean(r.value, reasons));
    }
    return r;
}

std::string shown_figure(const std::string& key, const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (!value.is_number_float()) return value.dump();
    char text[32];
    if (key.ends_with("_error_m")) {
        std::snprintf(text, sizeof text, "%.2f mm", 1000 * value.get<double>());
    } else if (key.ends_with("_s")) {
        std::snprintf(text, sizeof text, "%.3f s", value.get<double>());
    } else if (key.ends_with("_share")) {
        std::snprintf(text, sizeof text, "%.1f%%", 100 * value.get<double>());
    } else if (key.ends_with("_m")) {
        std::snprintf(text, sizeof text, "%.3f m", value.get<double>());
    } else {
        std::snprintf(text, sizeof text, "%.4g", value.get<double>());
    }
    return text;
}

bool meets(const Requirement& r, const nlohmann::json& row, const nlohmann::json* before, std::string& actual) {
    if (!row.contains(r.metric)) {
        actual = r.metric + " missing";
        return false;
    }
    const nlohmann::json& value = row[r.metric];
    if (const sim::RecordKey* key = sim::record_key(r.metric); value.is_null() && key != nullptr && key->number) {
        // A figure not given (no centre line) or not known meets no bound.
        actual = r.metric + " not given";
        return false;
    }
    actual = r.metric + " = " + shown_figure(r.metric, value);
    if (!value.is_number()) {
        const bool equal = (value.is_string() ? value.get<std::string>() : value.dump()) == r.value;
        return r.op == "==" ? equal : !equal;
    }
    double x = value.get<double>(), limit = r.number;
    if (r.change) {
        if (before == nullptr || !before->contains(r.metric) || !(*before)[r.metric].is_number()) {
            actual += ", nothing to compare with";
            return false;
        }
        const double base = (*before)[r.metric].get<double>();
        limit = r.percent ? base * (1 + r.number / 100) : base + r.number;
        actual += " (was " + shown_figure(r.metric, (*before)[r.metric]) + ")";
    }
    if (r.op == ">=") return x >= limit;
    if (r.op == "<=") return x <= limit;
    if (r.op == ">") return x > limit;
    if (r.op == "<") return x < limit;
    if (r.op == "==") return x == limit;
    return x != limit;
}

}  // namespace line_sim
