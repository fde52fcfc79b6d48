// trajectory.svg: the track and the robot's path, read from the trace.

#include "trajectory_svg.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "file_names.hpp"
#include "markup_text.hpp"
#include "picture_file.hpp"

namespace line_sim {
namespace {

constexpr double WIDTH = TRACK_VIEW_WIDTH;
constexpr double MARGIN = TRACK_VIEW_MARGIN;
constexpr double LEGEND_HEIGHT = 70;     // [px] below it
constexpr int COLOURS = 16;              // steps of the error colour scale
constexpr double ARC_STEP = 0.005;       // [m] between the points drawn along an arc
constexpr std::size_t MOST_MARKS = 200;  // off-line marks at the most

// Green for no error through yellow to red for the largest, for 0 <= f <= 1.
std::string colour(double f) {
    const double r = std::min(1.0, 2 * f), g = std::min(1.0, 2 * (1 - f));
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x30", static_cast<int>(std::lround(r * 220)),
                  static_cast<int>(std::lround(g * 190)));
    return text;
}

// Writes "x y": a picture has thousands of points, and six significant digits
// from to_chars cost most of drawing it.
void write_point(std::ostream& svg, double x, char between, double y) {
    char text[64];
    char* end = write_pixels(text, x);
    *end++ = between;
    end = write_pixels(end, y);
    svg.write(text, end - text);
}

}  // namespace

char* write_pixels(char* out, double v) {
    if (!(std::abs(v) < 1e12)) return std::to_chars(out, out + 30, v, std::chars_format::general, 6).ptr;
    long long thousandths = std::llround(v * 1000);
    if (thousandths < 0) {
        *out++ = '-';
        thousandths = -thousandths;
    }
    out = std::to_chars(out, out + 20, thousandths / 1000).ptr;
    if (const long long fraction = thousandths % 1000; fraction != 0) {
        const char digits[3] = {static_cast<char>('0' + fraction / 100), static_cast<char>('0' + fraction / 10 % 10),
                                static_cast<char>('0' + fraction % 10)};
        std::size_t n = 3;
        while (digits[n - 1] == '0') --n;
        *out++ = '.';
        out = std::copy(digits, digits + n, out);
    }
    return out;
}

std::vector<std::vector<sim::Vec2>> centre_line_strokes(const sim::Track& track) {
    std::vector<std::vector<sim::Vec2>> strokes;
    bool drawing = false;
    for (const sim::Piece& piece : track.pieces()) {
        if (piece.gap) {
            drawing = false;
            continue;
        }
        if (!drawing) strokes.push_back({piece.start});
        drawing = true;
        const int points =
            piece.curvature == 0.0 ? 1 : std::max(1, static_cast<int>(std::ceil(piece.length / ARC_STEP)));
        for (int k = 1; k <= points; ++k)
            strokes.back().push_back(sim::point_on_piece(piece, piece.length * k / points));
    }
    return strokes;
}

namespace {

// The rows of the trace file `trace_path`, read anew each time.
EachRow rows_of(const std::string& trace_path) {
    return [trace_path](const std::function<void(const sim::TraceRow&)>& take) {
        sim::TraceReader trace(trace_path);
        for (sim::TraceRow row{}; trace.next(row);) take(row);
    };
}

}  // namespace

std::string trajectory_svg(const sim::WorldSettings& world, const sim::Track& track, const std::string& trace_path) {
    return trajectory_svg(world, track, rows_of(trace_path));
}

std::string trajectory_svg(const sim::WorldSettings& world, const sim::Track& track, const EachRow& each_row) {
    std::ostringstream svg;
    write_trajectory_svg(svg, world, track, each_row);
    return svg.str();
}

namespace {

bool embeds_picture(const sim::FloorSettings& floor) {
    return floor.picture != nullptr && floor.image_file != nullptr &&
           floor.image_file->size() <= MOST_EMBEDDED_PICTURE_BYTES;
}

}  // namespace

std::string floor_picture_uri(const sim::FloorSettings& floor) {
    if (!embeds_picture(floor)) return "";
    const bool png = sim::floor_picture_name(*floor.image_file) == std::string(sim::FLOOR_PNG_FILE);
    return std::string("data:") + (png ? "image/png" : "image/svg+xml") + ";base64," + base64_text(*floor.image_file);
}

void include_floor_picture(TrackView& view, const sim::FloorSettings& floor) {
    if (!embeds_picture(floor)) return;
    view.include(floor.picture->low.x, floor.picture->low.y);
    view.include(floor.picture->high().x, floor.picture->high().y);
}

void write_floor_picture(std::ostream& svg, const TrackView& view, const sim::FloorSettings& floor) {
    const std::string uri = floor_picture_uri(floor);
    if (uri.empty()) return;
    const sim::Vec2 low = floor.picture->low, high = floor.picture->high();
    std::ostringstream box;
    box.precision(6);
    box << "x=\"" << view.px(low.x) << "\" y=\"" << view.py(high.y) << "\" width=\"" << (high.x - low.x) * view.scale()
        << "\" height=\"" << (high.y - low.y) * view.scale() << "\"";
    svg << "<rect " << box.str() << " fill=\"white\"/>\n"
        << "<image " << box.str() << " preserveAspectRatio=\"none\" href=\"" << uri
        << "\"><title>the floor's picture</title></image>\n"
        << "<g opacity=\"0.35\"><title>the centre line the figures are measured from</title>\n";
}

void close_floor_picture(std::ostream& svg, const sim::FloorSettings& floor) {
    if (embeds_picture(floor)) svg << "</g>\n";
}

void write_trajectory_svg(PageFile& file, const sim::WorldSettings& world, const sim::Track& track,
                          const EachRow& each_row) {
    PageBuffer buffer(file);
    std::ostream svg(&buffer);
    svg.exceptions(std::ios::badbit);  // a write that failed, as it was thrown
    write_trajectory_svg(svg, world, track, each_row);
    buffer.pubsync();
}

void write_trajectory_svg(const std::filesystem::path& path, const sim::WorldSettings& world, const sim::Track& track,
                          const std::string& trace_path) {
    PageFile file(path);
    write_trajectory_svg(file, world, track, rows_of(trace_path));
    file.commit();
}

void TrackView::include(double x, double y) {
    low_ = {std::min(low_.x, x), std::min(low_.y, y)};
    high_ = {std::max(high_.x, x), std::max(high_.y, y)};
}

void TrackView::fit(double line_width) {
    const double pad = 0.05 + line_width;
    low_ = {low_.x - pad, low_.y - pad};
    high_ = {high_.x + pad, high_.y + pad};
    scale_ = TRACK_VIEW_WIDTH / std::max(high_.x - low_.x, 1e-3);
    height_ = (high_.y - low_.y) * scale_;
}

void write_svg_head(std::ostream& svg, const TrackView& view, double below, const std::string& title_markup) {
    svg.precision(6);
    const double svg_width = WIDTH + 2 * MARGIN, svg_height = view.height() + 2 * MARGIN + below;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        // No size of its own: the viewBox fits the drawing to the window, or to the box it is shown in.
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100%\" height=\"100%\" viewBox=\"0 0 " << svg_width << " "
        << svg_height << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<title>" << title_markup << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<rect x=\"" << MARGIN << "\" y=\"" << MARGIN << "\" width=\"" << WIDTH << "\" height=\"" << view.height()
        << "\" fill=\"#e6e6e6\"/>\n";
}

void write_track(std::ostream& svg, const TrackView& view, const std::vector<std::vector<sim::Vec2>>& strokes,
                 const sim::TrackSettings& track) {
    // The line, at its real width, one path a drawn stretch. A path has one
    // kind of join: mitred if any corner is taped (bevelled past 120
    // degrees, where the floor rounds the point off), else rounded; an
    // arc's points turn too little for its joins to differ.
    const bool taped = std::any_of(track.segments.begin(), track.segments.end(),
                                   [](const sim::SegmentSettings& s) { return s.mitre; });
    svg << "<g fill=\"none\" stroke=\"#1a1a1a\" stroke-width=\"" << track.line_width * view.scale()
        << "\" stroke-linecap=\"round\" stroke-linejoin=\"" << (taped ? "miter\" stroke-miterlimit=\"2" : "round")
        << "\">\n";
    for (const auto& stroke : strokes) {
        svg << "<path d=\"M" << view.px(stroke.front().x) << " " << view.py(stroke.front().y);
        for (std::size_t i = 1; i < stroke.size(); ++i) {
            svg << " L";
            write_point(svg, view.px(stroke[i].x), ' ', view.py(stroke[i].y));
        }
        svg << "\"/>\n";
    }
    svg << "</g>\n";
}

void write_start(std::ostream& svg, const TrackView& view, sim::Vec2 start) {
    const double sx = view.px(start.x), sy = view.py(start.y);
    svg << "<circle cx=\"" << sx << "\" cy=\"" << sy
        << "\" r=\"7\" fill=\"none\" stroke=\"#0050c8\" stroke-width=\"2.5\"/>\n"
        << "<text x=\"" << sx + 10 << "\" y=\"" << sy - 10 << "\" fill=\"#0050c8\">start</text>\n";
}

void write_scale_bar(std::ostream& svg, const TrackView& view, double base) {
    double bar_cm = 1;
    for (const double cm : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0}) {
        if (cm / 100 * view.scale() <= WIDTH / 4) bar_cm = cm;
    }
    const double bar = bar_cm / 100 * view.scale();
    svg << "<g stroke=\"black\" stroke-width=\"2\"><path d=\"M" << MARGIN << " " << base << " h" << bar << " M"
        << MARGIN << " " << base - 5 << " v10 M" << MARGIN + bar << " " << base - 5 << " v10\"/></g>\n"
        << "<text x=\"" << MARGIN + bar / 2 << "\" y=\"" << base + 20 << "\" text-anchor=\"middle\">" << bar_cm
        << " cm</text>\n";
}

void write_trajectory_svg(std::ostream& svg, const sim::WorldSettings& world, const sim::Track& track,
                          const EachRow& each_row) {
    const std::vector<std::vector<sim::Vec2>> strokes = centre_line_strokes(track);

    // What to show: the track and the path, with a little floor round them.
    TrackView view(world.track.start);
    for (const auto& stroke : strokes) {
        for (const sim::Vec2& p : stroke) view.include(p.x, p.y);
    }
    // First pass: where the robot went, its worst error, and how many rows.
    double worst = 0.0;
    std::int64_t rows = 0;
    each_row([&](const sim::TraceRow& r) {
        view.include(r.x, r.y);
        worst = std::max(worst, std::abs(r.lateral_error));
        ++rows;
    });
    const std::int64_t every = std::max<std::int64_t>(1, (rows + MOST_PATH_POINTS - 1) / MOST_PATH_POINTS);
    include_floor_picture(view, world.floor);
    view.fit(world.track.line_width);
    const double height = view.height();
    const auto px = [&](double x) { return view.px(x); };
    const auto py = [&](double y) { return view.py(y); };

    write_svg_head(svg, view, LEGEND_HEIGHT, xml_text(world.name) + ": the robot's path");
    write_floor_picture(svg, view, world.floor);
    write_track(svg, view, strokes, world.track);
    close_floor_picture(svg, world.floor);
    // Second pass: the path, one polyline a run of drawn points in the same
    // colour, and where the robot left the line, a cross at the first step of
    // each stretch off it (every row is looked at for those).
    const auto shade = [&](const sim::TraceRow& r) {
        return worst > 0 ? std::min(COLOURS - 1, static_cast<int>(std::abs(r.lateral_error) / worst * COLOURS)) : 0;
    };
    // A run's path changes shade hundreds of times: each colour worked out once.
    std::array<std::string, COLOURS> shades;
    for (int k = 0; k < COLOURS; ++k) shades[static_cast<std::size_t>(k)] = colour((k + 0.5) / COLOURS);
    std::ostringstream marks;
    marks.precision(6);
    std::size_t mark_count = 0;
    svg << "<g fill=\"none\" stroke-width=\"2\" stroke-linejoin=\"round\">\n";
    {
        sim::Vec2 last{world.track.start.x, world.track.start.y};
        int open_shade = -1;  // of the polyline being written, or -1
        bool was_off = false;
        std::int64_t i = 0;
        each_row([&](const sim::TraceRow& r) {
            const bool off = sim::off_line(world.run, r.lateral_error);
            if (off && !was_off && mark_count < MOST_MARKS) {
                const double x = px(r.x), y = py(r.y);
                marks << "<path d=\"M" << x - 6 << " " << y - 6 << " L" << x + 6 << " " << y + 6 << " M" << x - 6 << " "
                      << y + 6 << " L" << x + 6 << " " << y - 6 << "\"><title>off the line at " << r.t
                      << " s</title></path>\n";
                ++mark_count;
            }
            was_off = off;
            const std::int64_t index = i++;
            if (index % every != every - 1 && index + 1 != rows) return;
            const int s = shade(r);
            if (s != open_shade) {
                if (open_shade >= 0) svg << "\"/>\n";
                svg << "<polyline stroke=\"" << shades[static_cast<std::size_t>(s)] << "\" points=\"";
                write_point(svg, px(last.x), ',', py(last.y));
                open_shade = s;
            }
            svg << " ";
            write_point(svg, px(r.x), ',', py(r.y));
            last = {r.x, r.y};
        });
        if (open_shade >= 0) svg << "\"/>\n";
    }
    svg << "</g>\n"
        << "<g stroke=\"#c00000\" stroke-width=\"2.5\">\n"
        << marks.str() << "</g>\n";

    write_start(svg, view, world.track.start);

    // Below the drawing: a scale bar in centimetres and the colour legend.
    const double base = MARGIN + height + 30;
    write_scale_bar(svg, view, base);
    svg << "<text x=\"" << MARGIN << "\" y=\"" << MARGIN - 14 << "\" font-size=\"15\">" << xml_text(world.name);
    if (!world.track.has_centre_line()) {
        // Nothing to measure the path against: it is drawn in one colour.
        svg << " (no centre line: the robot's path alone)</text>\n</svg>\n";
        return;
    }
    svg << " (red crosses: the robot left the line)</text>\n";
    const double legend_x = MARGIN + WIDTH / 2, legend_width = WIDTH / 3;
    svg << "<defs><linearGradient id=\"error\">";
    for (int k = 0; k <= 4; ++k) svg << "<stop offset=\"" << k * 25 << "%\" stop-color=\"" << colour(k / 4.0) << "\"/>";
    svg << "</linearGradient></defs>\n"
        << "<text x=\"" << legend_x << "\" y=\"" << base - 12 << "\">distance from the centre line</text>\n"
        << "<rect x=\"" << legend_x << "\" y=\"" << base - 5 << "\" width=\"" << legend_width
        << "\" height=\"10\" fill=\"url(#error)\"/>\n"
        << "<text x=\"" << legend_x << "\" y=\"" << base + 20 << "\">0 mm</text>\n"
        << "<text x=\"" << legend_x + legend_width << "\" y=\"" << base + 20 << "\" text-anchor=\"end\">"
        << std::round(worst * 10000) / 10 << " mm</text>\n"
        << "</svg>\n";
}

}  // namespace line_sim
