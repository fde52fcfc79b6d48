// sweep.svg read back as a person reads it: each point's mean and spread
// against a reference worked out here from the rows, the points placed on
// one scale, the title and legend naming what is drawn.
#include "sweep_svg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct SweepCase {
    const char* name;
    std::vector<std::string> keys;      // swept, in order
    std::vector<std::string> x_values;  // of the first key, in the plan's order
    std::vector<double> x_expected;     // their places, as fractions of the axis
    std::string title;                  // expected
    std::vector<std::string> legend;    // expected, in order
    const char* averaged = "";          // what the subtitle says is averaged over, besides seeds
};

void PrintTo(const SweepCase& c, std::ostream* out) { *out << c.name; }

// A point as drawn: its tooltip's figures and its places [px].
struct Drawn {
    std::string where;
    double mean, least, most;
    int runs;
    double x, y_mean, y_least, y_most;
};

std::vector<Drawn> drawn_points(const std::string& svg) {
    static const std::regex point(
        R"re(<path class="spread" d="M([-0-9.e]+) ([-0-9.e]+) V([-0-9.e]+)"/><circle cx="([-0-9.e]+)" cy="([-0-9.e]+)" r="4"><title>([^<]*): mean ([-0-9.e]+), min ([-0-9.e]+), max ([-0-9.e]+) of ([0-9]+) runs</title>)re");
    std::vector<Drawn> points;
    for (auto m = std::sregex_iterator(svg.begin(), svg.end(), point); m != std::sregex_iterator(); ++m) {
        const auto d = [&](std::size_t i) { return std::stod((*m)[i].str()); };
        EXPECT_EQ(d(1), d(4));
        points.push_back({(*m)[6].str(), d(7), d(8), d(9), std::stoi((*m)[10].str()), d(4), d(5), d(2), d(3)});
    }
    return points;
}

class SweepSvg : public ::testing::TestWithParam<SweepCase> {};

TEST_P(SweepSvg, DrawsMeanAndSpreadOverSeedsPerWorldAndSecondKey) {
    const SweepCase& c = GetParam();
    const std::vector<std::string> worlds = {"oval", "square"}, second = {"3", "1.5"}, third = {"60", "30"};
    line_sim::Results results;
    results.swept_keys = c.keys;
    // Reference: the errors [mm] at each (world, first value, second value), everything else pooled.
    std::map<std::tuple<std::string, std::string, std::string>, std::vector<double>> reference;
    unsigned noise = 12345;
    for (const std::string& world : worlds) {
        for (std::size_t i = 0; i < c.x_values.size(); ++i) {
            for (const std::string& b : c.keys.size() > 1 ? second : std::vector<std::string>{""}) {
                for (const std::string& d : c.keys.size() > 2 ? third : std::vector<std::string>{""}) {
                    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
                        line_sim::ResultRow row;
                        row.run = results.rows.size();
                        row.summary.world = world;
                        row.summary.seed = seed;
                        row.swept = {{c.keys[0], c.x_values[i]}};
                        if (c.keys.size() > 1) row.swept.push_back({c.keys[1], b});
                        if (c.keys.size() > 2) row.swept.push_back({c.keys[2], d});
                        noise = noise * 1103515245 + 12345;
                        const double error = 0.002 + 0.0004 * static_cast<double>(i) + 0.001 * (b == "3") +
                                             static_cast<double>(noise % 1000) * 1e-6;
                        row.summary.mean_abs_lateral_error_m = error;
                        results.rows.push_back(row);
                        reference[{world, c.x_values[i], b}].push_back(error * 1000);
                    }
                }
            }
        }
    }
    const std::string svg = line_sim::sweep_svg(results, "mean_abs_lateral_error_m");

    EXPECT_NE(svg.find("<title>" + c.title + "</title>"), std::string::npos) << svg.substr(0, 600);
    EXPECT_NE(svg.find(">" + c.title + "</text>"), std::string::npos);
    EXPECT_NE(svg.find("(min to max)"), std::string::npos);
    EXPECT_EQ(svg.find("averaged over") != std::string::npos, *c.averaged != '\0');
    if (*c.averaged) {
        EXPECT_NE(svg.find("averaged over " + std::string(c.averaged)), std::string::npos);
    }
    EXPECT_NE(svg.find(">mean_abs_lateral_error [mm]</text>"), std::string::npos);
    std::size_t at = 0;
    for (const std::string& entry : c.legend) {
        at = svg.find("\">" + entry + "</text>", at);
        EXPECT_NE(at, std::string::npos) << entry;
    }

    const std::vector<Drawn> points = drawn_points(svg);
    ASSERT_EQ(points.size(), reference.size());
    // One linear scale for every mean, least and most: fixed by two points, checked on all.
    const auto low = std::min_element(points.begin(), points.end(), [](auto& a, auto& b) { return a.mean < b.mean; });
    const auto high = std::max_element(points.begin(), points.end(), [](auto& a, auto& b) { return a.mean < b.mean; });
    const double per_mm = (high->y_mean - low->y_mean) / (high->mean - low->mean);
    EXPECT_LT(per_mm, 0);  // up is more
    const auto y_of = [&](double mm) { return low->y_mean + (mm - low->mean) * per_mm; };
    double x_first = INFINITY, x_last = -INFINITY;
    for (const Drawn& p : points) {
        x_first = std::min(x_first, p.x);
        x_last = std::max(x_last, p.x);
    }
    for (const auto& [key, errors] : reference) {
        const auto& [world, x, b] = key;
        std::string where = world + ", " + c.keys[0] + "=" + x;
        if (c.keys.size() > 1) where += ", " + c.keys[1] + "=" + b;
        const auto found = std::find_if(points.begin(), points.end(), [&](const Drawn& p) { return p.where == where; });
        ASSERT_NE(found, points.end()) << where;
        double sum = 0;
        for (const double e : errors) sum += e;
        const double mean = sum / static_cast<double>(errors.size());
        const double least = *std::min_element(errors.begin(), errors.end());
        const double most = *std::max_element(errors.begin(), errors.end());
        EXPECT_NEAR(found->mean, mean, 1e-5 * mean) << where;
        EXPECT_NEAR(found->least, least, 1e-5 * least) << where;
        EXPECT_NEAR(found->most, most, 1e-5 * most) << where;
        EXPECT_EQ(found->runs, static_cast<int>(errors.size())) << where;
        EXPECT_NEAR(found->y_mean, y_of(mean), 0.01) << where;
        EXPECT_NEAR(found->y_least, y_of(least), 0.01) << where;
        EXPECT_NEAR(found->y_most, y_of(most), 0.01) << where;
        const std::size_t i =
            static_cast<std::size_t>(std::find(c.x_values.begin(), c.x_values.end(), x) - c.x_values.begin());
        EXPECT_NEAR((found->x - x_first) / (x_last - x_first), c.x_expected[i], 1e-4) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SweepSvg,
    ::testing::Values(
        // Words are placed evenly, in the order first met; one line a world.
        SweepCase{"one_key_in_words",
                  {"track.kind"},
                  {"slow", "fast", "medium"},
                  {0, 0.5, 1},
                  "mean_abs_lateral_error [mm] against track.kind, a line per world",
                  {"oval", "square"}},
        // Numbers to scale, whatever order the plan has them in.
        SweepCase{"two_keys",
                  {"camera.noise", "param.gain"},
                  {"20", "0", "5"},
                  {1, 0, 0.25},
                  "mean_abs_lateral_error [mm] against camera.noise, a line per world and param.gain",
                  {"oval, param.gain=1.5", "oval, param.gain=3", "square, param.gain=1.5", "square, param.gain=3"}},
        SweepCase{"three_keys",
                  {"camera.noise", "param.gain", "run.duration"},
                  {"0", "5", "20"},
                  {0, 0.25, 1},
                  "mean_abs_lateral_error [mm] against camera.noise, a line per world and param.gain",
                  {"oval, param.gain=1.5", "oval, param.gain=3", "square, param.gain=1.5", "square, param.gain=3"},
                  "run.duration"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
