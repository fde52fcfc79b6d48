// sweep.svg: a figure against a swept value, a line a world.

#include "sweep_svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "markup_text.hpp"

namespace line_sim {
namespace {

constexpr double WIDTH = 720, HEIGHT = 420;                       // [px] of the plot area
constexpr double LEFT = 100, TOP = 50, BOTTOM = 70, RIGHT = 180;  // [px] round it
constexpr const char* COLOURS[] = {"#0050c8", "#c83200", "#189038", "#8c28b4", "#b48c00", "#00a0a0", "#606060"};

// The unit a name carries in its ending (_m, _s), for the axis label.
std::string with_unit(const std::string& name) {
    const auto ends = [&](const std::string& end) {
        return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    if (ends("_m")) return name + " [m]";
    if (ends("_s")) return name + " [s]";
    static const std::map<std::string, std::string> units = {
        {"camera.noise", "gray levels"}, {"camera.field_of_view", "deg"}, {"camera.pitch", "deg"},
        {"camera.mount_forward", "m"},   {"camera.mount_height", "m"},    {"camera.width", "px"},
        {"camera.height", "px"},         {"robot.wheel_radius", "m"},     {"robot.axle_track", "m"},
        {"track.line_width", "m"},       {"run.duration", "s"},           {"run.off_line_limit", "s"},
        {"run.off_line_distance", "m"},  {"floor.gray", "gray level"},    {"floor.line_gray", "gray level"}};
    const auto found = units.find(name);
    return found == units.end() ? name : name + " [" + found->second + "]";
}

}  // namespace

std::string sweep_svg(const Results& results, const std::string& metric) {
    const std::string key = results.swept_keys.empty() ? "" : results.swept_keys.front();
    // Each world's points: the x values in the order first met, the metric's sum and count at each.
    std::vector<std::string> values, worlds;
    std::map<std::pair<std::string, std::string>, std::pair<double, int>> sums;
    for (const ResultRow& row : results.rows) {
        const nlohmann::json json = row_json(row);
        if (!json.contains(metric) || !json[metric].is_number()) continue;
        const std::string x = row.swept.empty() ? "" : row.swept.front().value;
        if (std::find(values.begin(), values.end(), x) == values.end()) values.push_back(x);
        if (std::find(worlds.begin(), worlds.end(), row.summary.world) == worlds.end())
            worlds.push_back(row.summary.world);
        auto& [sum, count] = sums[{row.summary.world, x}];
        sum += json[metric].get<double>();
        ++count;
    }
    std::vector<double> xs;
    bool numeric = true;
    for (const std::string& v : values) {
        char* end = nullptr;
        xs.push_back(std::strtod(v.c_str(), &end));
        numeric = numeric && !v.empty() && *end == '\0' && std::isfinite(xs.back());
    }
    if (numeric) {
        // In the order of x, so that a line does not double back.
        std::vector<std::size_t> order(xs.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return xs[a] < xs[b]; });
        std::vector<double> sorted_xs;
        std::vector<std::string> sorted_values;
        for (const std::size_t i : order) {
            sorted_xs.push_back(xs[i]);
            sorted_values.push_back(values[i]);
        }
        xs = sorted_xs;
        values = sorted_values;
    } else {
        for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = static_cast<double>(i);
    }
    double x_low = 0, x_high = 1, y_low = 0, y_high = 0;
    if (!xs.empty()) {
        x_low = *std::min_element(xs.begin(), xs.end());
        x_high = *std::max_element(xs.begin(), xs.end());
    }
    for (const auto& [where, total] : sums) y_high = std::max(y_high, total.first / total.second);
    for (const auto& [where, total] : sums) y_low = std::min(y_low, total.first / total.second);
    if (x_high <= x_low) x_high = x_low + 1;
    if (y_high <= y_low) y_high = y_low + 1;
    // Ticks at 1, 2 or 5 times a power of ten, about five of them, the axis from tick to tick.
    const double rough = (y_high - y_low) / 5, power = std::pow(10.0, std::floor(std::log10(rough)));
    const double tick = rough <= power       ? power
                        : rough <= 2 * power ? 2 * power
                        : rough <= 5 * power ? 5 * power
                                             : 10 * power;
    y_low = std::floor(y_low / tick) * tick;
    y_high = std::ceil(y_high / tick) * tick;
    const auto px = [&](double x) { return LEFT + (x - x_low) / (x_high - x_low) * WIDTH; };
    const auto py = [&](double y) { return TOP + (y_high - y) / (y_high - y_low) * HEIGHT; };

    std::ostringstream svg;
    svg.precision(6);
    const double width = LEFT + WIDTH + RIGHT, height = TOP + HEIGHT + BOTTOM;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << width << " " << height << "\" width=\""
        << width << "\" height=\"" << height << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<title>" << xml_text(metric) << " against " << xml_text(key) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<g stroke=\"black\"><path d=\"M" << LEFT << " " << TOP << " V" << TOP + HEIGHT << " H" << LEFT + WIDTH
        << "\" fill=\"none\"/></g>\n";
    // Ticks: every x value, and five steps up the y axis.
    for (std::size_t i = 0; i < xs.size(); ++i) {
        svg << "<text x=\"" << px(xs[i]) << "\" y=\"" << TOP + HEIGHT + 18 << "\" text-anchor=\"middle\">"
            << xml_text(values[i]) << "</text>\n";
    }
    for (double y = y_low; y <= y_high + tick / 2; y += tick) {
        char label[32];
        std::snprintf(label, sizeof label, "%.4g", std::abs(y) < tick / 2 ? 0.0 : y);
        svg << "<text x=\"" << LEFT - 8 << "\" y=\"" << py(y) + 4 << "\" text-anchor=\"end\">" << label << "</text>\n"
            << "<path d=\"M" << LEFT << " " << py(y) << " h" << WIDTH << "\" stroke=\"#e0e0e0\"/>\n";
    }
    svg << "<text x=\"" << LEFT + WIDTH / 2 << "\" y=\"" << height - 20 << "\" text-anchor=\"middle\">"
        << xml_text(with_unit(key)) << "</text>\n"
        << "<text transform=\"translate(18 " << TOP + HEIGHT / 2 << ") rotate(-90)\" text-anchor=\"middle\">"
        << xml_text(with_unit(metric)) << "</text>\n";
    for (std::size_t w = 0; w < worlds.size(); ++w) {
        const char* colour = COLOURS[w % std::size(COLOURS)];
        svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"";
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const auto found = sums.find({worlds[w], values[i]});
            if (found != sums.end()) svg << px(xs[i]) << "," << py(found->second.first / found->second.second) << " ";
        }
        svg << "\"/>\n";
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const auto found = sums.find({worlds[w], values[i]});
            if (found == sums.end()) continue;
            const double mean = found->second.first / found->second.second;
            svg << "<circle cx=\"" << px(xs[i]) << "\" cy=\"" << py(mean) << "\" r=\"4\" fill=\"" << colour
                << "\"><title>" << xml_text(worlds[w]) << ", " << xml_text(key) << " = " << xml_text(values[i]) << ": "
                << mean << "</title></circle>\n";
        }
        svg << "<text x=\"" << LEFT + WIDTH + 16 << "\" y=\"" << TOP + 16 + 20 * static_cast<double>(w) << "\" fill=\""
            << colour << "\">" << xml_text(worlds[w]) << "</text>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace line_sim
