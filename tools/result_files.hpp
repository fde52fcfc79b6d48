#pragma once

// The files of a whole line-sim call at the top of its --out folder
// (results.csv, results.json, sweep.svg, index.html), and the requirements
// (--require) checked against its rows: shared by a run, compare and merge.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "results.hpp"

namespace line_sim {

struct ResultFiles {
    std::vector<std::string> written;  // the names of those written
    std::string problem;               // why the others are not, one line, or empty
};
// Writes the call's files into `out`, each tried whatever became of the
// others; a file of that name that line-sim did not write is left alone.
ResultFiles write_result_files(const std::filesystem::path& out, const Results& results, const std::string& plot);

std::vector<Requirement> parse_requirements(const std::vector<std::string>& texts, bool allow_change);
// One line on standard error a requirement that `row` fails, naming the run
// by `run_name` (default: its folder); true if none does.
bool check_requirements(const std::vector<Requirement>& requirements, const nlohmann::json& row,
                        const nlohmann::json* before, const std::string& run_name = "");
// Throws UsageError unless `plot` is a figure of the summary that is a number.
void check_plot_metric(const std::string& plot);

}  // namespace line_sim
