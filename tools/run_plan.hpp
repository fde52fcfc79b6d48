#pragma once

// The run plan: which runs a line-sim call makes, worked out and checked
// before any of them starts, and testable without starting a process. Every
// world given, times the product of the sweeps, times the seeds; then only
// the shard's slice of that list.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "file_names.hpp"
#include "run_folder.hpp"

namespace line_sim {

// A mistake on the command line: one line, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One world key set to a value in TOML syntax (`camera.noise` = `8`).
struct Setting {
    std::string key;
    std::string value;
    bool operator==(const Setting&) const = default;
};

struct Sweep {
    std::string key;
    std::vector<std::string> values;  // in TOML syntax, in the order given
};

struct Shard {
    int index = 1;  // 1 to count
    int count = 1;
};

// The files a call writes at the top of --out, which no run folder may take.
inline const std::vector<std::string> RESERVED_NAMES = {sim::RESULTS_CSV, sim::RESULTS_JSON, sim::SWEEP_FILE,
                                                        sim::INDEX_FILE, MANIFEST};

// Parses KEY=VALUE (for --set): a dotted key of letters, digits and _ and a
// non-empty value; a controller parameter param.NAME (controller_params.hpp)
// with its name and value checked. Throws UsageError naming `option`.
Setting parse_setting(const std::string& text, const std::string& option);
// Parses KEY=V1,V2,... (for --sweep); commas inside brackets, braces or
// quotes belong to the value (`track.start=[0,0],[1,0]` has two values).
Sweep parse_sweep(const std::string& text);
// Parses A..B (for --seeds), both included, 0 <= A <= B.
std::vector<std::uint64_t> parse_seeds(const std::string& text);
// Parses K/N (for --shard), 1 <= K <= N.
Shard parse_shard(const std::string& text);

// The world's TOML text with each setting put in (tables made where needed),
// and `name` set where the world gives none: what the run runs. Without
// settings the text is kept as written, comments and all, but for a `name`
// line put first. Throws UsageError for a value that is not TOML.
std::string apply_settings(const std::string& text, const std::string& source, const std::string& name,
                           const std::vector<Setting>& settings);

struct PlannedRun {
    std::size_t index = 0;       // in the whole plan, shards included
    std::size_t world = 0;       // which of the worlds given
    std::vector<Setting> swept;  // one value of each sweep, in the sweeps' order
    std::optional<std::uint64_t> seed;
    std::string folder;  // relative to --out: WORLD, or WORLD/KEY=V,...,seed=N
};

// Runs in a whole plan (every shard's), at the most: past it a plan is
// refused before anything is made. A run's row stays in memory until the
// call's results are written, a few hundred bytes.
inline constexpr std::size_t MOST_PLAN_RUNS = 1000000;

// The runs for worlds named `world_names` (their folder names come from
// these, made safe), in order: world by world, the first sweep varying
// slowest, seeds fastest; then only the runs of the shard (every count-th,
// starting at index - 1). A run is worked out when it is asked for, so that
// what the plan holds grows with the sweeps' values, not with their product
// or the seeds. Folder names are unique in the whole plan and the same
// whichever shard a run is in.
class Plan {
public:
    // Throws UsageError naming the count if the whole plan has more than MOST_PLAN_RUNS runs.
    Plan(const std::vector<std::string>& world_names, std::vector<Sweep> sweeps, std::vector<std::uint64_t> seeds,
         Shard shard);
    std::size_t whole_size() const { return whole_; }  // every shard's runs
    std::size_t size() const;                          // this shard's
    PlannedRun operator[](std::size_t k) const;        // this shard's k-th run
    // One value of each sweep (a combination), in the sweeps' order: for
    // checking every world with each before anything runs.
    std::size_t combinations() const { return combination_folders_.size(); }
    std::vector<Setting> combination(std::size_t c) const;

private:
    std::vector<Sweep> sweeps_;
    std::vector<std::uint64_t> seeds_;
    Shard shard_;
    std::vector<std::string> world_folders_, combination_folders_;
    std::size_t whole_ = 0;
};

// Every run of `Plan`, for tests.
std::vector<PlannedRun> make_plan(const std::vector<std::string>& world_names, const std::vector<Sweep>& sweeps,
                                  const std::vector<std::uint64_t>& seeds, Shard shard);

}  // namespace line_sim
