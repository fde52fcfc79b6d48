#pragma once

// The results of a line-sim call, one row a run: results.csv and
// results.json at the top of --out, read back by `compare` and `merge`;
// and the requirements (--require) checked against them.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "run_plan.hpp"
#include "run_summary.hpp"

namespace line_sim {

struct ResultRow {
    std::size_t run = 0;  // index in the whole plan
    std::string folder;   // the run's folder, relative to the results' folder
    std::vector<Setting> swept;
    sim::RunSummary summary;
    sim::LineSimFacts facts;
};

struct Results {
    std::string plan;                     // names the whole plan (worlds, settings, controller): shards of one share it
    std::size_t plan_runs = 0;            // runs in the whole plan, every shard's
    std::vector<std::string> swept_keys;  // in the sweeps' order
    std::vector<ResultRow> rows;          // in plan order
};

// One object a row: run, folder, each swept key's value, then every key of
// the run's two records, joined (sim::joined_json).
nlohmann::json row_json(const ResultRow& row);

// [bytes] the most of a results.json that compare and merge read: a run
// takes some 750 bytes, so about 170 000 runs. The file is read whole, then
// parsed a run at a time, each run kept as a row (a few hundred bytes) and
// its parsed form dropped: memory stays near twice the file's size.
inline constexpr std::size_t MOST_RESULTS_BYTES = 128 << 20;

// Writes results.csv and results.json into `folder`; throws sim::FileError.
// A cell of results.csv that a spreadsheet would take for a formula is
// written as text; results.json keeps every value as it is.
void write_results(const std::filesystem::path& folder, const Results& results);
// Reads `folder`/results.json, which may come from anyone: a regular file of
// at most MOST_RESULTS_BYTES, every key of every run there with a value of
// its kind and range. Rows come back in plan order. Throws UsageError, one
// line naming the file, the run (runs[I], its place in the file) and the key.
Results read_results(const std::filesystem::path& folder);

// The names --require and --plot may use: every key of a run's two records.
const std::vector<std::string>& metric_names();

// METRIC OP VALUE, with OP one of >= <= == != > <. VALUE is a number, or a
// word for end_reason; with `change` (for compare) it may also be +X or -X
// (a change from the first result set) or +X% / -X% (a relative change).
struct Requirement {
    std::string text, metric, op, value;
    bool change = false, percent = false;
    double number = 0.0;
};
// Throws UsageError for a bad expression or an unknown metric.
Requirement parse_requirement(const std::string& text, bool allow_change);
// A figure as a person reads it, in its table's units and rounded to what
// it means: errors in mm, times in s, shares in %; text as it is.
std::string shown_figure(const std::string& key, const nlohmann::json& value);
// Whether `row` meets it; `before` is the same run in the first result set,
// for a change. `actual` says what the row holds.
bool meets(const Requirement& requirement, const nlohmann::json& row, const nlohmann::json* before,
           std::string& actual);

}  // namespace line_sim
