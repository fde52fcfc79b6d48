#pragma once

// "did you mean ...?" for a misspelt name: the closest of the names known.

#include <algorithm>
#include <string>
#include <vector>

namespace sim {

// The edit distance (insertions, deletions, substitutions, and swaps of two
// neighbours) between a and b.
inline std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// " (did you mean NAME?)" for the known names closest to `word` (one, or
// those that are as close, "A or B"), if close enough to be a slip: a third
// of its letters at most, and at least one; else "".
inline std::string did_you_mean(const std::string& word, const std::vector<std::string>& known) {
    if (word.size() > 200) return "";
    std::vector<std::string> best;
    std::size_t best_distance = std::max<std::size_t>(1, word.size() / 3) + 1;
    for (const std::string& name : known) {
        const std::size_t distance = edit_distance(word, name);
        if (distance == 0 || distance > best_distance) continue;
        if (distance < best_distance) best.clear();
        best_distance = distance;
        if (std::find(best.begin(), best.end(), name) == best.end()) best.push_back(name);
    }
    if (best.empty() || best.size() > 3) return "";
    std::string names = best[0];
    for (std::size_t i = 1; i < best.size(); ++i) names += (i + 1 == best.size() ? " or " : ", ") + best[i];
    return " (did you mean " + names + "?)";
}

}  // namespace sim
