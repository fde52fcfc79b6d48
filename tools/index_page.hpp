#pragma once

// index.html: the runs of one line-sim call side by side, at the top of its
// output folder (tools/replay/index.html is the page; the rows go inside it).

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace line_sim {

struct IndexRow {
    std::filesystem::path folder;  // the run's folder, relative to the index's
    nlohmann::json summary;        // the run's summary.json (joined with its line-sim.json)
    // What the run was set to: [key, value] pairs, the swept keys in the
    // sweep's order, then the controller's other parameters (param.NAME),
    // each value as results.json has it.
    nlohmann::json settings = nlohmann::json::array();
};

// Writes `out_folder`/index.html: a table of the runs, sortable by any
// column, each row linking to its run's replay.html and showing its
// trajectory.svg; the figures first, then the settings, then where the run
// came from (controller, hash, seed, steps, times); with `sweep_svg` (an SVG
// document, empty for none) drawn above it. The page is complete or absent;
// a failure throws std::runtime_error naming the file.
void write_index(const std::filesystem::path& out_folder, const std::vector<IndexRow>& rows,
                 const std::string& sweep_svg);

}  // namespace line_sim
