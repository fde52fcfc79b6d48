#include "results.hpp"

#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>

#include "files.hpp"

namespace line_sim {
namespace {

// A swept value as JSON: a number where the TOML text is one, else the text.
nlohmann::json value_json(const std::string& text) {
    char* end = nullptr;
    const long long whole = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && errno != ERANGE) return whole;
    const double number = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(number)) return number;
    return text;
}

std::string csv_field(const nlohmann::json& value) {
    std::string text;
    if (value.is_string()) {
        text = value.get<std::string>();
    } else if (value.is_array()) {
        for (const auto& item : value) text += (text.empty() ? "" : ";") + item.dump();
    } else {
        text = value.dump();
    }
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
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
    const nlohmann::json summary = sim::to_json(row.summary);  // kept alive through the loop
    for (const auto& [key, value] : summary.items()) json[key] = value;
    return json;
}

nlohmann::json summary_figures() {
    sim::RunSummary all;
    all.controller_exit_status = 0;
    all.controller = "";
    all.controller_sha256 = "";
    return sim::to_json(all);
}

const std::vector<std::string>& metric_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> keys;
        const nlohmann::json summary = summary_figures();
        for (const auto& [key, value] : summary.items()) {
            if (key != "world") keys.push_back(key);
        }
        return keys;
    }();
    return names;
}

void write_results(const std::filesystem::path& folder, const Results& results) {
    nlohmann::json rows = nlohmann::json::array();
    for (const ResultRow& row : results.rows) rows.push_back(row_json(row));
    const nlohmann::json document = {
        {"plan", results.plan}, {"plan_runs", results.plan_runs}, {"swept_keys", results.swept_keys}, {"runs", rows}};
    sim::write_file((folder / "results.json").string(), document.dump(2) + "\n");

    std::vector<std::string> columns = {"run", "folder", "world"};
    columns.insert(columns.end(), results.swept_keys.begin(), results.swept_keys.end());
    columns.push_back("seed");
    for (const std::string& name : metric_names()) {
        if (name != "seed") columns.push_back(name);
    }
    std::ostringstream csv;
    for (std::size_t i = 0; i < columns.size(); ++i) csv << (i ? "," : "") << csv_field(columns[i]);
    csv << "\n";
    for (const nlohmann::json& row : rows) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            csv << (i ? "," : "") << (row.contains(columns[i]) ? csv_field(row[columns[i]]) : "");
        }
        csv << "\n";
    }
    sim::write_file((folder / "results.csv").string(), csv.str());
}

Results read_results(const std::filesystem::path& folder) {
    const std::filesystem::path path = folder / "results.json";
    try {
        std::ifstream file(path);
        if (!file) throw UsageError("line-sim: " + path.string() + ": cannot be read");
        const nlohmann::json document = nlohmann::json::parse(file);
        Results results;
        document.at("plan").get_to(results.plan);
        document.at("plan_runs").get_to(results.plan_runs);
        document.at("swept_keys").get_to(results.swept_keys);
        for (const nlohmann::json& json : document.at("runs")) {
            ResultRow row;
            json.at("run").get_to(row.run);
            json.at("folder").get_to(row.folder);
            for (const std::string& key : results.swept_keys) {
                const nlohmann::json& value = json.at(key);
                row.swept.push_back({key, value.is_string() ? value.get<std::string>() : value.dump()});
            }
            row.summary = sim::summary_from_json(json);
            results.rows.push_back(std::move(row));
        }
        return results;
    } catch (const nlohmann::json::exception& error) {
        throw UsageError("line-sim: " + path.string() + ": not a results file of line-sim (" + error.what() + ")");
    }
}

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
    const auto bad = [&](const std::string& why) {
        throw UsageError("line-sim: --require " + text + ": " + why);
    };
    if (r.op.empty()) bad("expected METRIC OP VALUE with OP one of >= <= == != > <");
    r.metric = text.substr(0, at);
    r.value = text.substr(at + r.op.size());
    const auto& names = metric_names();
    if (std::find(names.begin(), names.end(), r.metric) == names.end() && r.metric != "world") {
        std::string known;
        for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
        bad("unknown metric \"" + r.metric + "\" (known: " + known + ")");
    }
    if (r.metric == "lap_times_s") bad("lap_times_s is a list; laps_completed counts it");
    if (r.value.empty()) bad("expected a value after " + r.op);
    std::string number = r.value;
    if (allow_change && (number[0] == '+' || number[0] == '-')) r.change = true;
    if (r.change && number.back() == '%') {
        r.percent = true;
        number.pop_back();
    }
    char* end = nullptr;
    r.number = std::strtod(number.c_str(), &end);
    const bool numeric = *end == '\0' && std::isfinite(r.number);
    if (r.change && !numeric) bad("expected a change such as +10% or -0.001");
    const bool words = r.metric == "end_reason" || r.metric == "world" || r.metric == "controller" || r.metric == "controller_sha256";
    if (words && (r.op != "==" && r.op != "!=")) bad(r.metric + " takes == or !=");
    if (!words && !numeric) bad("expected a number after " + r.op);
    if (words && r.metric == "end_reason" && !sim::end_reason_from_word(r.value)) bad("unknown end reason \"" + r.value + "\"");
    return r;
}

bool meets(const Requirement& r, const nlohmann::json& row, const nlohmann::json* before, std::string& actual) {
    if (!row.contains(r.metric)) {
        actual = r.metric + " missing";
        return false;
    }
    const nlohmann::json& value = row[r.metric];
    actual = r.metric + " = " + (value.is_string() ? value.get<std::string>() : value.dump());
    if (!value.is_number()) {
        const bool equal = value.is_string() && value.get<std::string>() == r.value;
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
        actual += " (was " + (*before)[r.metric].dump() + ")";
    }
    if (r.op == ">=") return x >= limit;
    if (r.op == "<=") return x <= limit;
    if (r.op == ">") return x > limit;
    if (r.op == "<") return x < limit;
    if (r.op == "==") return x == limit;
    return x != limit;
}

}  // namespace line_sim
