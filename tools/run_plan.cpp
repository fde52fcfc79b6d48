// The run plan: worlds times settings times seeds, made run by run, and its shards.

#include "run_plan.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "controller_params.hpp"
#include "run_folder.hpp"

namespace line_sim {
namespace {

bool key_text(const std::string& key) {
    if (key.empty() || key.front() == '.' || key.back() == '.' || key.find("..") != std::string::npos) return false;
    for (const char c : key) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_' && c != '.') return false;
    }
    return true;
}

std::uint64_t whole_number(const std::string& text, const std::string& what) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError("line-sim: " + what + ": expected whole numbers A..B, 0 <= A <= B");
    }
    return std::stoull(text);
}

// KEY=VALUE, a world key or param.NAME (whose value is checked by the caller).
Setting key_and_value(const std::string& text, const std::string& option) {
    // A line end or another control character would cut the value short in a TOML file.
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        throw UsageError("line-sim: " + option + ": expected KEY=VALUE without control characters (a line end, a tab)");
    }
    const auto equals = text.find('=');
    Setting setting{text.substr(0, equals), equals == std::string::npos ? "" : text.substr(equals + 1)};
    if (equals != std::string::npos && is_param(setting.key)) check_param(setting, option, false);
    if (equals == std::string::npos || !key_text(setting.key) || setting.value.empty()) {
        throw UsageError("line-sim: " + option + " " + text +
                         ": expected KEY=VALUE, a dotted world key (camera.noise) and a value in TOML syntax, " +
                         "or param.NAME and its text");
    }
    return setting;
}

}  // namespace

Setting parse_setting(const std::string& text, const std::string& option) {
    const Setting setting = key_and_value(text, option);
    if (is_param(setting.key)) check_param(setting, option);
    return setting;
}

Sweep parse_sweep(const std::string& text) {
    const Setting all = key_and_value(text, "--sweep");
    Sweep sweep{all.key, {}};
    std::string value;
    int depth = 0;
    char quote = 0;
    for (const char c : all.value) {
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            sweep.values.push_back(value);
            value.clear();
            continue;
        }
        value += c;
    }
    sweep.values.push_back(value);
    for (const std::string& v : sweep.values) {
        if (v.empty()) throw UsageError("line-sim: --sweep " + text + ": expected KEY=V1,V2,... with no empty value");
        if (is_param(sweep.key)) check_param({sweep.key, v}, "--sweep");
    }
    return sweep;
}

std::vector<std::uint64_t> parse_seeds(const std::string& text) {
    const auto dots = text.find("..");
    if (dots == std::string::npos)
        throw UsageError("line-sim: --seeds " + text + ": expected whole numbers A..B, 0 <= A <= B");
    const std::uint64_t first = whole_number(text.substr(0, dots), "--seeds " + text);
    const std::uint64_t last = whole_number(text.substr(dots + 2), "--seeds " + text);
    if (first > last || last - first >= 1000000) {
        throw UsageError("line-sim: --seeds " + text + ": expected A..B with A <= B and at most 1000000 seeds");
    }
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t s = first; s <= last; ++s) seeds.push_back(s);
    return seeds;
}

Shard parse_shard(const std::string& text) {
    const auto slash = text.find('/');
    const auto number = [&](const std::string& part) {
        if (part.empty() || part.size() > 6 || part.find_first_not_of("0123456789") != std::string::npos) return 0;
        return std::stoi(part);
    };
    const Shard shard{number(text.substr(0, slash)), slash == std::string::npos ? 0 : number(text.substr(slash + 1))};
    if (shard.index < 1 || shard.index > shard.count) {
        throw UsageError("line-sim: --shard " + text + ": expected K/N with 1 <= K <= N");
    }
    return shard;
}

namespace {

// TOML as world files are read: anything beyond ASCII in a string written as
// \uXXXX, since the reader takes only ASCII.
template <typename Node>
std::string ascii_toml(const Node& node) {
    std::ostringstream out;
    out << toml::toml_formatter(node, toml::toml_formatter::default_flags & ~toml::format_flags::allow_unicode_strings &
                                          ~toml::format_flags::allow_real_tabs_in_strings);
    return out.str();
}

}  // namespace

std::string apply_settings(const std::string& text, const std::string& source, const std::string& name,
                           const std::vector<Setting>& settings) {
    toml::table root = toml::parse(text, source);  // already checked
    if (settings.empty()) {
        if (root.contains("name")) return text;
        return "name = " + ascii_toml(toml::value<std::string>(name)) + "\n" + text;
    }
    if (!root.contains("name")) root.insert("name", name);
    for (const Setting& setting : settings) {
        toml::table value;
        try {
            value = toml::parse("v = " + setting.value);
        } catch (const toml::parse_error&) {
            throw UsageError("line-sim: " + setting.key + "=" + setting.value + ": expected a value in TOML syntax " +
                             "(a number, true or false, \"text\", [an, array])");
        }
        // Down the dotted key, making tables where there are none; a
        // non-table on the way is replaced, for the world's reader to refuse.
        toml::table* table = &root;
        std::string rest = setting.key;
        for (auto dot = rest.find('.'); dot != std::string::npos; dot = rest.find('.')) {
            const std::string part = rest.substr(0, dot);
            if (!table->contains(part)) table->insert(part, toml::table{});
            if (!(*table)[part].is_table()) {
                throw UsageError("line-sim: " + setting.key + "=" + setting.value + ": " + part + " is not a table");
            }
            table = (*table)[part].as_table();
            rest = rest.substr(dot + 1);
        }
        table->insert_or_assign(rest, *value.get("v"));
    }
    return ascii_toml(root) + "\n";
}

Plan::Plan(const std::vector<std::string>& world_names, std::vector<Sweep> sweeps, std::vector<std::uint64_t> seeds,
           Shard shard)
    : sweeps_(std::move(sweeps)), seeds_(std::move(seeds)), shard_(shard) {
    // The whole plan's size first, without overflow, before anything is made.
    std::size_t runs = world_names.size() * std::max<std::size_t>(seeds_.size(), 1);
    for (const Sweep& sweep : sweeps_) {
        runs = sweep.values.empty() || runs <= MOST_PLAN_RUNS / sweep.values.size() ? runs * sweep.values.size()
                                                                                    : MOST_PLAN_RUNS + 1;
    }
    if (runs > MOST_PLAN_RUNS) {
        throw UsageError("line-sim: the plan has more than " + std::to_string(MOST_PLAN_RUNS) +
                         " runs (worlds x sweeps' values x seeds): split it into several calls");
    }
    whole_ = runs;
    // The names of the call's own files at the top of --out are not a world's to take.
    std::set<std::string> world_folders(RESERVED_NAMES.begin(), RESERVED_NAMES.end());
    for (const std::string& world_name : world_names) {
        // Worlds of one name get folders of their own: NAME, NAME-2, ...
        const std::string base = safe_folder_name(world_name);
        std::string folder = base;
        for (int n = 2; !world_folders.insert(folder).second; ++n) folder = base + "-" + std::to_string(n);
        world_folders_.push_back(folder);
    }
    // Each combination's part of a folder name, made unique among them; with
    // seeds, short enough that ",seed=N" is never cut off.
    std::size_t combinations = 1;
    for (const Sweep& sweep : sweeps_) combinations *= sweep.values.size();
    std::set<std::string> names;
    for (std::size_t c = 0; c < combinations; ++c) {
        std::string parameters;
        for (const Setting& setting : combination(c))
            parameters += (parameters.empty() ? "" : ",") + setting.key + "=" + setting.value;
        std::string name = parameters.empty() ? "" : safe_folder_name(parameters);
        if (!seeds_.empty()) name = name.substr(0, MOST_FOLDER_NAME_BYTES - 40);
        std::string unique = name;
        for (int n = 2; !names.insert(unique).second; ++n) unique = name + "-" + std::to_string(n);
        combination_folders_.push_back(unique);
    }
}

std::size_t Plan::size() const {
    const auto first = static_cast<std::size_t>(shard_.index - 1), count = static_cast<std::size_t>(shard_.count);
    return whole_ > first ? (whole_ - first + count - 1) / count : 0;
}

std::vector<Setting> Plan::combination(std::size_t c) const {
    // The last sweep moves fastest, like nested loops.
    std::vector<Setting> swept(sweeps_.size());
    for (std::size_t k = sweeps_.size(); k-- > 0;) {
        const std::size_t n = sweeps_[k].values.size();
        swept[k] = {sweeps_[k].key, sweeps_[k].values[c % n]};
        c /= n;
    }
    return swept;
}

PlannedRun Plan::operator[](std::size_t k) const {
    const std::size_t index = static_cast<std::size_t>(shard_.index - 1) + k * static_cast<std::size_t>(shard_.count);
    const std::size_t seed_count = std::max<std::size_t>(seeds_.size(), 1);
    const std::size_t per_world = combinations() * seed_count;
    const std::size_t world = index / per_world, c = index % per_world / seed_count, s = index % seed_count;
    PlannedRun run{index, world, combination(c), seeds_.empty() ? std::nullopt : std::optional(seeds_[s]),
                   world_folders_[world]};
    std::string name = combination_folders_[c];
    if (run.seed) name += (name.empty() ? "" : ",") + std::string("seed=") + std::to_string(*run.seed);
    if (!name.empty()) run.folder += "/" + name;
    return run;
}

std::vector<PlannedRun> make_plan(const std::vector<std::string>& world_names, const std::vector<Sweep>& sweeps,
                                  const std::vector<std::uint64_t>& seeds, Shard shard) {
    const Plan plan(world_names, sweeps, seeds, shard);
    std::vector<PlannedRun> runs;
    for (std::size_t k = 0; k < plan.size(); ++k) runs.push_back(plan[k]);
    return runs;
}

}  // namespace line_sim
