#pragma once

// What every settings file's reader shares (world files, robot files): the
// text checked before the TOML parser sees it, and each table read key by key,
// every key checked, and an unknown key an error with the nearest known one.

#include <toml++/toml.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "did_you_mean.hpp"
#include "geometry.hpp"
#include "world_file.hpp"  // MOST_NESTING, MOST_COORDINATE

namespace sim {

// `text` as one printable line: control bytes as \xNN.
std::string printable(std::string_view text);

// Parses `text` into `root`; else "line N: what", one printable line. The
// text is looked over first for what would make the parser recurse too deep
// or reach code it assumes unreachable (nesting past MOST_NESTING, bytes
// beyond ASCII).
std::optional<std::string> parse_problem(std::string_view text, const std::string& source, toml::table& root);

// The text of the regular file `path`, of at most `most` bytes; else empty,
// with `why` set ("expected a readable <kind>"...). A FIFO or a device is
// refused, since it would hang or never end.
std::string read_regular_text(const std::string& path, std::size_t most, std::string& why,
                              const char* kind = "TOML file");

// Reads the keys of one table, remembers which it read, and reports what it
// does not know: "<Error::KIND> <source>: key <dotted key>: expected ...".
template <typename Error>
class CheckedTable {
public:
    CheckedTable(const toml::table& table, std::string prefix, const std::string& source)
        : table_(table), prefix_(std::move(prefix)), source_(source) {}

    [[noreturn]] void fail(const std::string& key, const std::string& expected) const {
        throw Error(std::string(Error::KIND) + " " + source_ + ": key " + prefix_ + key + ": expected " + expected);
    }

    const toml::node* find(const std::string& key) {
        known_.insert(key);
        return table_.get(key);
    }

    double number(
        const std::string& key, double fallback, const std::string& expected,
        bool (*valid)(double) = [](double) { return true; }) {
        const toml::node* node = find(key);
        if (node == nullptr) return fallback;
        if (!node->is_number()) fail(key, expected);
        const double value = node->value<double>().value_or(std::nan(""));
        if (!std::isfinite(value) || !valid(value)) fail(key, expected);
        return value;
    }

    // A positive number, and at most `most`.
    double positive(const std::string& key, double fallback, const std::string& unit,
                    double most = std::numeric_limits<double>::max()) {
        const double value = number(key, fallback, "a positive number " + unit, [](double v) { return v > 0; });
        if (value > most) {
            std::ostringstream text;
            text << "a positive number " << unit << " of at most " << most;
            fail(key, text.str());
        }
        return value;
    }

    std::int64_t integer(const std::string& key, std::int64_t fallback, std::int64_t low, std::int64_t high) {
        const toml::node* node = find(key);
        if (node == nullptr) return fallback;
        const auto value = node->value_exact<std::int64_t>();
        if (!value || *value < low || *value > high) {
            fail(key, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
        }
        return *value;
    }

    bool boolean(const std::string& key, bool fallback) {
        const toml::node* node = find(key);
        if (node == nullptr) return fallback;
        if (!node->is_boolean()) fail(key, "true or false");
        return *node->value<bool>();
    }

    Vec2 point(const toml::node& node, const std::string& key) const {
        const toml::array* array = node.as_array();
        if (array == nullptr || array->size() != 2 || !(*array)[0].is_number() || !(*array)[1].is_number()) {
            fail(key, "a point [x, y] in m");
        }
        const Vec2 p{(*array)[0].value<double>().value_or(0), (*array)[1].value<double>().value_or(0)};
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) fail(key, "a point [x, y] of finite numbers in m");
        if (std::abs(p.x) > MOST_COORDINATE || std::abs(p.y) > MOST_COORDINATE) {
            fail(key, "a point [x, y] in m, each at most 1e+06 m either way");
        }
        return p;
    }

    // Sub-tables, which must be tables if present.
    const toml::table* table(const std::string& key) {
        const toml::node* node = find(key);
        if (node == nullptr) return nullptr;
        if (!node->is_table()) fail(key, "a table");
        return node->as_table();
    }

    // Every key of the table must have been read.
    void finish() const {
        for (const auto& [key, node] : table_) {
            const std::string name(key.str());
            if (known_.count(name) == 0) {
                throw Error(std::string(Error::KIND) + " " + source_ + ": key " + prefix_ + name + ": not a known key" +
                            did_you_mean(prefix_ + name, known()));
            }
        }
    }

    const std::string& prefix() const { return prefix_; }
    // The keys read, by their dotted names.
    std::vector<std::string> known() const {
        std::vector<std::string> names;
        for (const std::string& key : known_) names.push_back(prefix_ + key);
        return names;
    }
    const std::string& source() const { return source_; }

private:
    const toml::table& table_;
    std::string prefix_;
    const std::string& source_;
    std::set<std::string> known_;
};

}  // namespace sim
