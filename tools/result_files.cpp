// The files at the top of a line-sim call's --out: results, sweep picture, index.

#include "result_files.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "controller_params.hpp"
#include "did_you_mean.hpp"
#include "file_names.hpp"
#include "files.hpp"
#include "index_page.hpp"
#include "run_folder.hpp"
#include "sweep_svg.hpp"

namespace fs = std::filesystem;

namespace line_sim {

// results.csv, results.json, the sweep's picture and index.html, at the top
// of `out`, which holds a list of them like a run folder: a file of that name
// that line-sim did not write is left alone, and said so.
ResultFiles write_result_files(const fs::path& out, const Results& results, const std::string& plot) {
    fs::create_directories(out);
    RunFolder top{out, {}};
    std::set<std::string> ours;
    {
        std::ifstream manifest(out / MANIFEST);
        for (std::string name; std::getline(manifest, name);) ours.insert(name);
    }
    for (const auto& entry : fs::directory_iterator(out)) top.kept.insert(entry.path().filename().string());
    for (const std::string& name : RESERVED_NAMES) {
        if (ours.count(name) != 0 || !fs::exists(fs::symlink_status(out / name))) top.kept.erase(name);
    }
    std::string refused;
    std::vector<std::string> written;
    const auto may_write = [&](const char* name) {
        if (top.kept.count(name) == 0) return true;
        refused += std::string(refused.empty() ? "" : ", ") + name;
        return false;
    };
    // Each file tried whatever became of the one before (a full disk): the first failure is said.
    std::string failed;
    const auto attempt = [&](std::initializer_list<const char*> names, const auto& write) {
        for (const char* name : names) {
            if (!may_write(name)) return;
        }
        try {
            write();
            written.insert(written.end(), names.begin(), names.end());
        } catch (const std::exception& error) {
            if (failed.empty()) failed = error.what();
        }
    };
    attempt({sim::RESULTS_CSV, sim::RESULTS_JSON}, [&] { write_results(out, results); });
    std::string sweep;
    if (!results.swept_keys.empty()) {
        sweep = sweep_svg(results, plot);
        attempt({sim::SWEEP_FILE}, [&] { sim::write_file((out / sim::SWEEP_FILE).string(), sweep); });
    }
    std::vector<IndexRow> index;
    for (const ResultRow& row : results.rows) {
        const nlohmann::json json = row_json(row);
        nlohmann::json settings = nlohmann::json::array();
        for (const Setting& setting : row.swept)
            settings.push_back(nlohmann::json::array({setting.key, json.at(setting.key)}));
        for (const auto& [name, value] : row.facts.params) {
            const std::string key = PARAM_PREFIX + name;
            const bool swept =
                std::any_of(row.swept.begin(), row.swept.end(), [&](const Setting& s) { return s.key == key; });
            if (!swept) settings.push_back(nlohmann::json::array({key, json.at(key)}));
        }
        index.push_back({row.folder, sim::joined_json(row.summary, row.facts), settings});
    }
    attempt({sim::INDEX_FILE}, [&] { write_index(out, index, sweep); });
    try {
        write_manifest(top);  // the call's own files; the run folders keep their own lists
    } catch (const std::exception& error) {
        if (failed.empty()) failed = error.what();
    }
    if (!refused.empty()) {
        const std::string why = out.string() + ": " + refused + " not written: files line-sim did not write are there";
        failed = failed.empty() ? why : failed + "; " + why;
    }
    return {written, failed};
}

std::vector<Requirement> parse_requirements(const std::vector<std::string>& texts, bool allow_change) {
    std::vector<Requirement> requirements;
    for (const std::string& text : texts) requirements.push_back(parse_requirement(text, allow_change));
    return requirements;
}

// One line a run and requirement that failed; true if none did.
bool check_requirements(const std::vector<Requirement>& requirements, const nlohmann::json& row,
                        const nlohmann::json* before, const std::string& run_name) {
    bool all = true;
    for (const Requirement& requirement : requirements) {
        std::string actual;
        if (meets(requirement, row, before, actual)) continue;
        const std::string run = run_name.empty() ? row["folder"].get<std::string>() : run_name;
        std::fprintf(stderr, "line-sim: %s: requirement %s failed (%s)\n", run.c_str(), requirement.text.c_str(),
                     actual.c_str());
        all = false;
    }
    return all;
}

void check_plot_metric(const std::string& plot) {
    const auto& keys = sim::record_keys();
    std::vector<std::string> numbers;
    for (const sim::RecordKey& k : keys) {
        if (k.number) numbers.emplace_back(k.key);
    }
    if (std::find(numbers.begin(), numbers.end(), plot) == numbers.end()) {
        throw UsageError("line-sim: --plot " + plot + ": not a figure of the summary that is a number" +
                         sim::did_you_mean(plot, numbers));
    }
}

}  // namespace line_sim
