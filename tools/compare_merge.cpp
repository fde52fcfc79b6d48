// line-sim compare and line-sim merge: two result sets run by run, and shards made one.

#include "compare_merge.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "command_line.hpp"
#include "result_files.hpp"
#include "run_folder.hpp"

namespace fs = std::filesystem;

namespace line_sim {

namespace {

// What a run is, whatever folder it sits in (a shard's or the whole call's):
// its world, each swept key with its value, its seed; and, for worlds of one
// name in one plan, which of them in plan order.
struct RunIdentity {
    std::vector<std::string> parts;
    std::string label;  // in words, as line-sim's table names a run: oval camera.noise=8,seed=3
    bool operator<(const RunIdentity& other) const { return parts < other.parts; }
};

// The seed is named where the runs compared have more than one.
std::vector<RunIdentity> identities(const Results& results, bool name_seed) {
    std::vector<RunIdentity> all;
    std::map<std::vector<std::string>, int> seen;
    for (const ResultRow& row : results.rows) {
        RunIdentity id{{row.summary.world}, row.summary.world};
        std::string values;
        for (const Setting& setting : row.swept) {
            id.parts.insert(id.parts.end(), {setting.key, setting.value});
            values += (values.empty() ? "" : ",") + setting.key + "=" + setting.value;
        }
        id.parts.push_back(std::to_string(row.summary.seed));
        if (name_seed) values += (values.empty() ? "" : ",") + std::string("seed=") + std::to_string(row.summary.seed);
        if (!values.empty()) id.label += " " + values;
        const int n = ++seen[id.parts];
        if (n > 1) id.label += " #" + std::to_string(n);
        id.parts.push_back(std::to_string(n));
        all.push_back(std::move(id));
    }
    return all;
}

}  // namespace

int compare(int argc, char** argv) {
    CLI::App app{
        "Compares two result sets run by run (their shared runs, the same world, swept values and seed\n"
        "in whatever folder), with the change of each figure.\n"
        "--require with a change (+10%, -0.001) makes the second set fail where it is worse. Exit status\n"
        "1 also where a run of the first set is missing from the second, or a run of the second did\n"
        "not end normally (a crash, a file not written)."};
    std::vector<std::string> folders, require;
    app.add_option("A B", folders, "Two folders with results.json (line-sim's --out)")->required()->expected(2);
    app.add_option("--require", require, "METRIC OP VALUE, e.g. mean_abs_lateral_error_m<=+10% (repeatable)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        parse_error(app, error);
    }
    const auto requirements = parse_requirements(require, true);
    const Results a = read_results(folders[0]), b = read_results(folders[1]);
    std::set<std::uint64_t> seeds;
    for (const Results* set : {&a, &b}) {
        for (const ResultRow& row : set->rows) seeds.insert(row.summary.seed);
    }
    const std::vector<RunIdentity> a_ids = identities(a, seeds.size() > 1), b_ids = identities(b, seeds.size() > 1);
    std::map<RunIdentity, std::size_t> before;  // a row of A by what it is
    for (std::size_t i = 0; i < a.rows.size(); ++i) before[a_ids[i]] = i;
    std::set<RunIdentity> in_b(b_ids.begin(), b_ids.end());
    int width = 34;
    for (const RunIdentity& id : b_ids) width = std::max(width, static_cast<int>(id.label.size()));
    std::printf("%-*s %-26s %14s %14s %10s\n", width, "run", "figure", "A", "B", "change");
    bool all = true;
    std::size_t shared = 0;
    for (std::size_t i = 0; i < b.rows.size(); ++i) {
        const ResultRow& row = b.rows[i];
        const std::string& label = b_ids[i].label;
        const auto found = before.find(b_ids[i]);
        if (found == before.end()) continue;
        ++shared;
        const nlohmann::json was = row_json(a.rows[found->second]), now = row_json(row);
        for (const char* key : {"laps_completed", "mean_abs_lateral_error_m", "max_abs_lateral_error_m",
                                "time_off_line_s", "distance_along_line_m", "distance_driven_m", "end_reason"}) {
            const nlohmann::json &x = was[key], &y = now[key];
            const auto show = [&](const nlohmann::json& v) { return shown_figure(key, v); };
            std::string change = x == y ? "=" : "";
            if (x.is_number() && y.is_number() && x != y) {
                const double from = x.get<double>(), to = y.get<double>();
                char text[32];
                std::snprintf(text, sizeof text, "%+.1f%%", from != 0 ? (to - from) / std::abs(from) * 100 : 0.0);
                change = from != 0 ? text : (to > from ? "+" : "") + show(to - from);
            }
            std::printf("%-*s %-26s %14s %14s %10s\n", width, label.c_str(), key, show(x).c_str(), show(y).c_str(),
                        change.c_str());
        }
        all = check_requirements(requirements, now, &was, label) && all;
        // A run that did not end as a run should is worse, whatever its figures say.
        const sim::EndReason end = sim::joined_end_reason(row.summary, row.facts);
        if (!sim::end_reason_info(end).normal || row.facts.controller_exit_status != 0) {
            std::fprintf(stderr, "line-sim: %s: ended %s (controller exit status %d) in %s\n", label.c_str(),
                         std::string(sim::end_reason_info(end).word).c_str(), row.facts.controller_exit_status,
                         folders[1].c_str());
            all = false;
        }
    }
    for (const RunIdentity& id : a_ids) {
        if (in_b.count(id) != 0) continue;
        std::fprintf(stderr, "line-sim: %s: in %s but not in %s\n", id.label.c_str(), folders[0].c_str(),
                     folders[1].c_str());
        all = false;
    }
    if (shared == 0) std::fprintf(stderr, "line-sim: %s and %s share no run\n", folders[0].c_str(), folders[1].c_str());
    return all && shared > 0 ? 0 : 1;
}

int merge(int argc, char** argv) {
    CLI::App app{"Merges the result sets of shards (--shard K/N) into one results.csv, results.json and sweep.svg."};
    std::vector<std::string> folders;
    std::string out, plot = "mean_abs_lateral_error_m";
    app.add_option("DIR", folders, "Folders with results.json (each shard's --out)")->required();
    app.add_option("-o,--out", out, "Folder for the merged results")->required();
    app.add_option("--plot", plot, "The figure sweep.svg shows")->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        parse_error(app, error);
    }
    check_plot_metric(plot);
    if (out.empty()) throw UsageError("line-sim: --out: expected a folder, not an empty text");
    Results merged;
    std::set<std::size_t> seen;
    for (const std::string& folder : folders) {
        Results part = read_results(folder);
        if (!merged.plan.empty() &&
            (part.plan != merged.plan || part.plan_runs != merged.plan_runs || part.swept_keys != merged.swept_keys)) {
            throw UsageError("line-sim: " + folder +
                             ": the results of another plan (other worlds, settings, sweeps, "
                             "seeds or controller) than " +
                             folders.front());
        }
        merged.plan = part.plan;
        merged.plan_runs = part.plan_runs;
        merged.swept_keys = part.swept_keys;
        for (ResultRow& row : part.rows) {
            if (!seen.insert(row.run).second) {
                throw UsageError("line-sim: " + folder + ": run " + std::to_string(row.run) + " is in two result sets");
            }
            // Relative to the merged results' folder.
            row.folder =
                (fs::absolute(folder) / row.folder).lexically_normal().lexically_relative(fs::absolute(out)).string();
            merged.rows.push_back(std::move(row));
        }
    }
    std::sort(merged.rows.begin(), merged.rows.end(), [](const auto& x, const auto& y) { return x.run < y.run; });
    if (merged.rows.size() != merged.plan_runs) {
        std::string missing;
        for (std::size_t run = 0, shown = 0; run < merged.plan_runs && shown < 5; ++run) {
            if (seen.count(run) == 0) missing += (shown++ ? ", " : "") + std::to_string(run);
        }
        throw UsageError("line-sim: merge: " + std::to_string(merged.plan_runs - merged.rows.size()) +
                         " of the plan's " + std::to_string(merged.plan_runs) +
                         " runs are in none of the folders given (runs " + missing +
                         "...): a shard missing, or runs that did not end");
    }
    std::optional<FolderLock> lock;
    try {
        fs::create_directories(out);
        lock.emplace(out);
    } catch (const std::exception& error) {
        throw UsageError("line-sim: --out " + out + ": " + error.what());
    }
    const ResultFiles files = write_result_files(out, merged, plot);
    if (!files.problem.empty()) {
        std::fprintf(stderr, "line-sim: %s\n", files.problem.c_str());
        return 1;
    }
    std::printf("line-sim: %zu runs merged into %s/results.csv\n", merged.rows.size(), out.c_str());
    return 0;
}

}  // namespace line_sim
