// sweep.svg: a figure against a swept value, a line a world and second swept value.

#include "sweep_svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <tuple>

#include "markup_text.hpp"

namespace line_sim {
namespace {

constexpr double WIDTH = 720, HEIGHT = 420;                       // [px] of the plot area
constexpr double LEFT = 100, TOP = 70, BOTTOM = 70, RIGHT = 280;  // [px] round it; the legend at the right
constexpr double LEGEND_LINE = 20;                                // [px] a legend entry's height
constexpr const char* COLOURS[] = {"#0050c8", "#c83200", "#189038", "#8c28b4", "#b48c00", "#00a0a0", "#606060"};
// A world each, where the colours tell the second swept key's values apart.
constexpr const char* DASHES[] = {"none", "8 4", "2 3", "10 3 2 3"};

bool ends_with(const std::string& name, const std::string& end) {
    return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
}

// The unit a name carries in its ending (_m, _s), for the axis label.
std::string with_unit(const std::string& name) {
    if (ends_with(name, "_m")) return name + " [m]";
    if (ends_with(name, "_s")) return name + " [s]";
    static const std::map<std::string, std::string> units = {
        {"camera.noise", "gray levels"}, {"camera.field_of_view", "deg"}, {"camera.pitch", "deg"},
        {"camera.mount_forward", "m"},   {"camera.mount_height", "m"},    {"camera.width", "px"},
        {"camera.height", "px"},         {"robot.wheel_radius", "m"},     {"robot.axle_track", "m"},
        {"track.line_width", "m"},       {"run.duration", "s"},           {"run.off_line_limit", "s"},
        {"run.off_line_distance", "m"},  {"floor.gray", "gray level"},    {"floor.line_gray", "gray level"}};
    const auto found = units.find(name);
    return found == units.end() ? name : name + " [" + found->second + "]";
}

// The figure's label and the factor from its stored unit to the drawn one:
// lateral errors are millimetres, where metres would read 0.00575.
std::pair<std::string, double> metric_axis(const std::string& metric) {
    if (ends_with(metric, "_lateral_error_m")) return {metric.substr(0, metric.size() - 2) + " [mm]", 1000.0};
    return {with_unit(metric), 1.0};
}

// A key's values in the order drawn, with their places: to scale, in the
// order of their numbers, where all are numbers; else evenly, as first met.
void order_values(std::vector<std::string>& values, std::vector<double>& places) {
    places.clear();
    bool numeric = true;
    for (const std::string& v : values) {
        char* end = nullptr;
        places.push_back(std::strtod(v.c_str(), &end));
        numeric = numeric && !v.empty() && *end == '\0' && std::isfinite(places.back());
    }
    if (!numeric) {
        for (std::size_t i = 0; i < places.size(); ++i) places[i] = static_cast<double>(i);
        return;
    }
    std::vector<std::size_t> order(values.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return places[a] < places[b]; });
    std::vector<std::string> sorted_values;
    std::vector<double> sorted_places;
    for (const std::size_t i : order) {
        sorted_values.push_back(values[i]);
        sorted_places.push_back(places[i]);
    }
    values = sorted_values;
    places = sorted_places;
}

void add_once(std::vector<std::string>& list, const std::string& value) {
    if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// The runs at one point of one line.
struct Spread {
    double sum = 0, least = INFINITY, most = -INFINITY;
    int count = 0;
    double mean() const { return sum / count; }
};

}  // namespace

std::string sweep_svg(const Results& results, const std::string& metric) {
    const std::vector<std::string>& keys = results.swept_keys;
    const std::string x_key = keys.empty() ? "" : keys[0], line_key = keys.size() > 1 ? keys[1] : "";
    const auto [metric_label, scale] = metric_axis(metric);
    const auto value_of = [](const ResultRow& row, const std::string& key) {
        const auto found =
            std::find_if(row.swept.begin(), row.swept.end(), [&](const Setting& s) { return s.key == key; });
        return found == row.swept.end() ? std::string() : found->value;
    };
    // Each line's points: (world, line value, x value) to the spread of the metric there.
    std::vector<std::string> xs, worlds, line_values;
    std::map<std::tuple<std::string, std::string, std::string>, Spread> points;
    std::vector<std::string> without;  // worlds of which no run gives the figure, in the order met
    for (const ResultRow& row : results.rows) {
        const nlohmann::json json = row_json(row);
        add_once(without, row.summary.world);
        if (!json.contains(metric) || !json[metric].is_number()) continue;
        const double y = json[metric].get<double>() * scale;
        const std::string x = value_of(row, x_key), line = value_of(row, line_key);
        add_once(xs, x);
        add_once(worlds, row.summary.world);
        add_once(line_values, line);
        Spread& at = points[{row.summary.world, line, x}];
        at.sum += y;
        at.least = std::min(at.least, y);
        at.most = std::max(at.most, y);
        ++at.count;
    }
    std::erase_if(without, [&](const std::string& world) { return std::count(worlds.begin(), worlds.end(), world); });
    std::vector<double> x_places, line_places;
    order_values(xs, x_places);
    order_values(line_values, line_places);

    double x_low = 0, x_high = 1, y_low = 0, y_high = 0;
    if (!x_places.empty()) {
        x_low = x_places.front();
        x_high = x_places.back();
    }
    for (const auto& [where, at] : points) {
        y_low = std::min(y_low, at.least);
        y_high = std::max(y_high, at.most);
    }
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

    // The lines: a world and a value of the second key each, in the order drawn.
    struct Line {
        std::string world, value, name;
        const char *colour, *dash;
    };
    std::vector<Line> lines;
    for (std::size_t w = 0; w < worlds.size(); ++w) {
        for (std::size_t v = 0; v < line_values.size(); ++v) {
            const bool any = std::any_of(xs.begin(), xs.end(), [&](const std::string& x) {
                return points.count({worlds[w], line_values[v], x});
            });
            if (!any) continue;
            std::string name = worlds.size() > 1 || line_key.empty() ? worlds[w] : "";
            if (!line_key.empty()) name += (name.empty() ? "" : ", ") + line_key + "=" + line_values[v];
            const std::size_t colour = line_key.empty() ? w : v;
            lines.push_back({worlds[w], line_values[v], name, COLOURS[colour % std::size(COLOURS)],
                             line_key.empty() ? DASHES[0] : DASHES[w % std::size(DASHES)]});
        }
    }

    // The title: what is drawn against what, and what each point is.
    std::string title = metric_label + " against " + x_key, per;
    if (worlds.size() > 1) per = "world";
    if (!line_key.empty()) per += (per.empty() ? "" : " and ") + line_key;
    if (!per.empty()) title += ", a line per " + per;
    std::string others;
    for (std::size_t k = 2; k < keys.size(); ++k) others += (others.empty() ? "" : ", ") + keys[k];
    const std::string each = "each point the mean over seeds" + (others.empty() ? "" : " and averaged over " + others) +
                             "; bars and band from the least to the most (min to max)";

    std::ostringstream svg;
    svg.precision(6);
    const double width = LEFT + WIDTH + RIGHT;
    const double height =
        std::max(TOP + HEIGHT + BOTTOM, TOP + LEGEND_LINE * static_cast<double>(lines.size() + without.size()) + 20);
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << width << " " << height << "\" width=\""
        << width << "\" height=\"" << height << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<title>" << xml_text(title) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text id=\"title\" x=\"" << LEFT << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">" << xml_text(title)
        << "</text>\n"
        << "<text id=\"subtitle\" x=\"" << LEFT << "\" y=\"46\">" << xml_text(each) << "</text>\n"
        << "<g stroke=\"black\"><path d=\"M" << LEFT << " " << TOP << " V" << TOP + HEIGHT << " H" << LEFT + WIDTH
        << "\" fill=\"none\"/></g>\n";
    // Ticks: every x value, and five steps up the y axis.
    for (std::size_t i = 0; i < xs.size(); ++i) {
        svg << "<text x=\"" << px(x_places[i]) << "\" y=\"" << TOP + HEIGHT + 18 << "\" text-anchor=\"middle\">"
            << xml_text(xs[i]) << "</text>\n";
    }
    for (double y = y_low; y <= y_high + tick / 2; y += tick) {
        char label[32];
        std::snprintf(label, sizeof label, "%.4g", std::abs(y) < tick / 2 ? 0.0 : y);
        svg << "<text x=\"" << LEFT - 8 << "\" y=\"" << py(y) + 4 << "\" text-anchor=\"end\">" << label << "</text>\n"
            << "<path d=\"M" << LEFT << " " << py(y) << " h" << WIDTH << "\" stroke=\"#e0e0e0\"/>\n";
    }
    svg << "<text x=\"" << LEFT + WIDTH / 2 << "\" y=\"" << height - 20 << "\" text-anchor=\"middle\">"
        << xml_text(with_unit(x_key)) << "</text>\n"
        << "<text transform=\"translate(18 " << TOP + HEIGHT / 2 << ") rotate(-90)\" text-anchor=\"middle\">"
        << xml_text(metric_label) << "</text>\n";
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const Line& line = lines[l];
        struct At {
            double x;  // [px]
            const std::string* value;
            const Spread* runs;
        };
        std::vector<At> at;
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const auto found = points.find({line.world, line.value, xs[i]});
            if (found != points.end()) at.push_back({px(x_places[i]), &xs[i], &found->second});
        }
        svg << "<g class=\"line\" stroke=\"" << line.colour << "\" fill=\"" << line.colour << "\">\n";
        // The band: along the most, back along the least.
        svg << "<polygon class=\"band\" stroke=\"none\" fill-opacity=\"0.12\" points=\"";
        for (const At& p : at) svg << p.x << "," << py(p.runs->most) << " ";
        for (auto p = at.rbegin(); p != at.rend(); ++p) svg << p->x << "," << py(p->runs->least) << " ";
        svg << "\"/>\n<polyline fill=\"none\" stroke-width=\"2\" stroke-dasharray=\"" << line.dash << "\" points=\"";
        for (const At& p : at) svg << p.x << "," << py(p.runs->mean()) << " ";
        svg << "\"/>\n";
        // Each point says what it is over: hovered in a browser, read back by the tests.
        for (const At& p : at) {
            svg << "<path class=\"spread\" d=\"M" << p.x << " " << py(p.runs->least) << " V" << py(p.runs->most)
                << "\"/><circle cx=\"" << p.x << "\" cy=\"" << py(p.runs->mean()) << "\" r=\"4\"><title>"
                << xml_text(line.world) << ", " << xml_text(x_key) << "=" << xml_text(*p.value)
                << (line_key.empty() ? "" : ", " + xml_text(line_key) + "=" + xml_text(line.value)) << ": mean "
                << number(p.runs->mean()) << ", min " << number(p.runs->least) << ", max " << number(p.runs->most)
                << " of " << p.runs->count << " runs</title></circle>\n";
        }
        svg << "</g>\n";
        const double y = TOP + 16 + LEGEND_LINE * static_cast<double>(l);
        svg << "<path d=\"M" << LEFT + WIDTH + 16 << " " << y - 4 << " h24\" stroke=\"" << line.colour
            << "\" stroke-width=\"2\" stroke-dasharray=\"" << line.dash << "\"/><text x=\"" << LEFT + WIDTH + 46
            << "\" y=\"" << y << "\" fill=\"" << line.colour << "\">" << xml_text(line.name) << "</text>\n";
    }
    // Below the legend, the worlds left out, so that a line missing (or an empty plot) says why.
    for (std::size_t w = 0; w < without.size(); ++w) {
        svg << "<text class=\"not-given\" x=\"" << LEFT + WIDTH + 16 << "\" y=\""
            << TOP + 16 + LEGEND_LINE * static_cast<double>(lines.size() + w) << "\">" << xml_text(without[w])
            << ": not given<title>no run of " << xml_text(without[w]) << " gives " << xml_text(metric)
            << " (not given without a centre line, or not known in an older record)</title></text>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace line_sim
