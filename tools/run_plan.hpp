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
inline const std::vector<std::string> RESERVED_NAMES = {"results.csv", "results.json", "sweep.svg", "index.html",
                                                        MANIFEST};

// Parses KEY=VALUE (for --set): a dotted key of letters, digits and _ and a
// non-empty value. Throws UsageError naming `option`.
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
    std::size_t index = 0;     // in the whole plan, shards included
    std::size_t world = 0;     // which of the worlds given
    std::vector<Setting> swept;  // one value of each sweep, in the sweeps' order
    std::optional<std::uint64_t> seed;
    std::string folder;        // relative to --out: WORLD, or WORLD/KEY=V,...,seed=N
};

// Every run for worlds named `world_names` (their folder names come from
// these, made safe), in order: world by world, the first sweep varying
// slowest, seeds fastest. Folder names are unique in the whole plan. Then
// only the runs of the shard (every count-th, starting at index - 1).
std::vector<PlannedRun> make_plan(const std::vector<std::string>& world_names, const std::vector<Sweep>& sweeps,
                                  const std::vector<std::uint64_t>& seeds, Shard shard);

}  // namespace line_sim
