// line-sim show: the track, the robot at its start, and the camera's first image, in one picture.

#include "world_preview.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>

#include "camera_rays.hpp"
#include "markup_text.hpp"
#include "page_file.hpp"
#include "run_files.hpp"  // png_bytes
#include "simulation.hpp"
#include "trajectory_svg.hpp"

namespace line_sim {
namespace {

constexpr double MARGIN = TRACK_VIEW_MARGIN;     // [px]
constexpr double FOOTPRINT_REACH = 0.5;          // [m] ahead of the camera at the most, as the replay draws it
constexpr double WHEEL_WIDTH = 0.008;            // [m] as the replay draws a wheel
constexpr double ARROW = 40;                     // [px] of the heading's arrow
constexpr double CAMERA_BOX = 320;               // [px] about the larger side of the camera image as shown
constexpr std::size_t CAPTION_BYTES = 130;       // of a caption line at the most, where it can be cut
constexpr double LINE_STEP = 18;                 // [px] between caption lines
constexpr std::int32_t FIRST_FRAME_PERIOD = 32;  // [ms] any: the first image is rendered as the camera is switched on

// The camera's image as a person behind the robot sees the floor, far at
// the top and the robot's left on the left: the buffer turned a half turn,
// since its row 0 is the near edge and its column 0 the robot's right.
std::vector<std::uint8_t> as_seen(const sim::Camera& camera) {
    const auto width = static_cast<std::size_t>(camera.width()), height = static_cast<std::size_t>(camera.height());
    const std::uint8_t* image = camera.image();
    std::vector<std::uint8_t> turned(3 * width * height);
    for (std::size_t row = 0; row < height; ++row) {
        for (std::size_t column = 0; column < width; ++column) {
            const std::uint8_t* from = image + 3 * (row * width + column);
            std::copy(from, from + 3, turned.data() + 3 * ((height - 1 - row) * width + (width - 1 - column)));
        }
    }
    return turned;
}

// `text` cut at spaces into lines of at most CAPTION_BYTES (a longer word alone on its line).
std::vector<std::string> wrap(const std::string& text) {
    std::vector<std::string> lines(1);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t space = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, space - at);
        if (!lines.back().empty() && lines.back().size() + 1 + word.size() > CAPTION_BYTES) lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
        at = space + 1;
    }
    return lines;
}

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

TrackFigures track_figures(const sim::TrackSettings& settings, const sim::Track& track) {
    TrackFigures figures;
    figures.length = track.length();
    figures.closed = settings.closed;
    figures.centre_line = settings.has_centre_line();
    for (std::size_t i = 0; i < settings.segments.size(); ++i) {
        const sim::SegmentSettings& s = settings.segments[i];
        if (s.radius > 0 && (figures.tightest_radius == 0 || s.radius < figures.tightest_radius))
            figures.tightest_radius = s.radius;
        double corner = i > 0 ? s.corner : 0.0;  // [rad]
        if (i == 0 && settings.closed) {
            // From the end's heading into the first piece's.
            corner =
                std::remainder(settings.heading + s.corner - sim::track_end(settings).heading, 2 * std::numbers::pi);
            if (std::abs(corner) <= sim::CLOSURE_TOLERANCE) corner = 0.0;
        }
        figures.sharpest_corner = std::max(figures.sharpest_corner, std::abs(corner));
    }
    return figures;
}

std::vector<std::string> figure_lines(const TrackFigures& figures) {
    if (!figures.centre_line) return {"centre line: none (the line is the picture's alone)"};
    std::string turn = "tightest turn: ";
    const std::string corner =
        number("sharpest corner: %.4g deg", std::round(figures.sharpest_corner * 180 / std::numbers::pi * 100) / 100);
    if (figures.tightest_radius > 0) {
        turn += number("arc of radius %.4g m", figures.tightest_radius);
        if (figures.sharpest_corner > 0) turn += "; " + corner;
    } else {
        turn += figures.sharpest_corner > 0 ? "no arcs; " + corner : "none (straight only)";
    }
    return {number("length: %.3f m", figures.length), turn, figures.closed ? "closes: yes" : "closes: no (open track)"};
}

void write_world_preview(std::ostream& svg, const sim::WorldSettings& world, const PreviewFault* fault) {
    // A good world as its run starts: the same track, pose and first image.
    std::optional<sim::Simulation> simulation;
    std::optional<sim::Track> refused_track;
    if (fault == nullptr) {
        simulation.emplace(world);
        simulation->enable_camera(FIRST_FRAME_PERIOD);
    } else {
        refused_track.emplace(world.track);
    }
    const sim::Track& track = simulation ? simulation->track() : *refused_track;
    const std::vector<std::vector<sim::Vec2>> strokes = centre_line_strokes(track);
    const sim::Pose start{world.track.start.x, world.track.start.y,
                          track.pieces().empty() ? world.track.heading : track.pieces().front().heading};
    const sim::Transform robot = sim::make_transform(start);
    const sim::Pose end = sim::track_end(world.track);

    // The robot in its own frame (x ahead, y to its left), as the replay draws it.
    const double half = world.robot.axle_track / 2;  // [m]
    const double body = std::max(half + WHEEL_WIDTH / 2, world.camera.mount_forward);
    std::vector<sim::Vec2> footprint;
    for (const sim::Vec2& p : sim::camera_footprint(world.camera, FOOTPRINT_REACH))
        footprint.push_back(sim::to_floor(robot, p));

    TrackView view(world.track.start);
    for (const auto& stroke : strokes) {
        for (const sim::Vec2& p : stroke) view.include(p.x, p.y);
    }
    view.include(end.x, end.y);
    if (simulation) {
        view.include(start.x - body, start.y - body);
        view.include(start.x + body, start.y + body);
        for (const sim::Vec2& p : footprint) view.include(p.x, p.y);
    }
    include_floor_picture(view, world.floor);
    view.fit(world.track.line_width);
    const auto at = [&](sim::Vec2 p) {  // "x,y" [px] of a floor point
        char text[80];
        char* last = write_pixels(text, view.px(p.x));
        *last++ = ',';
        last = write_pixels(last, view.py(p.y));
        return std::string(text, last);
    };
    const auto on_robot = [&](double ahead, double left) { return at(sim::to_floor(robot, {ahead, left})); };

    // Below the drawing: the scale bar, then the camera image or the fault's caption.
    const double bottom = MARGIN + view.height();  // [px]
    double shown = 0;                              // [px/pixel] the camera image enlarged
    std::vector<std::string> caption;
    if (simulation) {
        const sim::Camera& camera = simulation->camera();
        shown = CAMERA_BOX / std::max<double>(camera.width(), camera.height() * 4.0 / 3);
        if (shown >= 1) shown = std::floor(shown);  // sharp pixels, each the same size
    } else {
        using Where = sim::TrackFault::Where;
        caption.push_back(fault->where == Where::closing
                              ? "Refused: the centre line, drawn open, does not end where it starts (red: its end)."
                          : fault->where == Where::segment
                              ? "Refused: the track is drawn up to the faulty segment (red: where it starts)."
                              : "Refused: the track reads whole, but the world does not.");
        for (const std::string& line : wrap(fault->error)) caption.push_back(line);
        caption.push_back("The robot and its camera are not drawn: their settings were not read.");
    }
    const double below =
        simulation ? 90 + shown * simulation->camera().height() : 70 + LINE_STEP * static_cast<double>(caption.size());
    write_svg_head(svg, view, below, xml_text(world.name) + ": the track before a run");
    write_floor_picture(svg, view, world.floor);
    write_track(svg, view, strokes, world.track);
    close_floor_picture(svg, world.floor);

    if (simulation) {
        svg << "<polygon points=\"";
        for (const sim::Vec2& p : footprint) svg << at(p) << " ";
        svg << "\" fill=\"#ffaa00\" fill-opacity=\"0.25\" stroke=\"#d08000\" stroke-width=\"1.5\"><title>the "
               "camera's view on the floor</title></polygon>\n"
            << "<circle cx=\"" << view.px(start.x) << "\" cy=\"" << view.py(start.y) << "\" r=\"" << body * view.scale()
            << "\" fill=\"white\" fill-opacity=\"0.6\" stroke=\"#333\" stroke-width=\"1.5\"/>\n"
            << "<g fill=\"#333\" stroke=\"#333\" stroke-width=\"1.5\"><title>the robot: wheels of "
            << 100 * world.robot.wheel_radius << " cm radius, " << 100 * world.robot.axle_track
            << " cm apart</title>\n";
        const double r = world.robot.wheel_radius, w = WHEEL_WIDTH / 2;
        for (const double side : {-half, half}) {
            svg << "<polygon points=\"" << on_robot(-r, side - w) << " " << on_robot(r, side - w) << " "
                << on_robot(r, side + w) << " " << on_robot(-r, side + w) << "\"/>\n";
        }
        svg << "<polyline fill=\"none\" points=\"" << on_robot(0, -half) << " " << on_robot(0, half) << "\"/>\n"
            << "<polyline fill=\"none\" points=\"" << on_robot(0, 0) << " " << on_robot(world.camera.mount_forward, 0)
            << "\"/>\n</g>\n";
    }

    // The start, and an arrow along its heading.
    write_start(svg, view, world.track.start);
    const double sx = view.px(start.x), sy = view.py(start.y), c = std::cos(start.heading),
                 s = -std::sin(start.heading);
    const double tx = sx + ARROW * c, ty = sy + ARROW * s;  // [px] the tip; y down on screen
    svg << "<g stroke=\"#0050c8\" fill=\"#0050c8\" stroke-width=\"2.5\"><title>the start's heading</title>"
        << "<path d=\"M" << sx << " " << sy << " L" << tx - 8 * c << " " << ty - 8 * s << "\"/>"
        << "<polygon stroke=\"none\" points=\"" << tx << "," << ty << " " << tx - 12 * c + 6 * s << ","
        << ty - 12 * s - 6 * c << " " << tx - 12 * c - 6 * s << "," << ty - 12 * s + 6 * c << "\"/></g>\n";

    if (fault != nullptr) {
        const double ex = view.px(end.x), ey = view.py(end.y);
        svg << "<g stroke=\"#d00000\" fill=\"none\" stroke-width=\"3\" class=\"fault\"><title>"
            << xml_text(fault->error) << "</title>";
        if (fault->where == sim::TrackFault::Where::closing) {
            svg << "<path stroke-dasharray=\"6 4\" stroke-width=\"1.5\" d=\"M" << ex << " " << ey << " L" << sx << " "
                << sy << "\"/>";
        }
        if (fault->where != sim::TrackFault::Where::elsewhere) {
            svg << "<circle cx=\"" << ex << "\" cy=\"" << ey << "\" r=\"10\"/><path d=\"M" << ex - 6 << " " << ey - 6
                << " L" << ex + 6 << " " << ey + 6 << " M" << ex - 6 << " " << ey + 6 << " L" << ex + 6 << " " << ey - 6
                << "\"/>";
        }
        svg << "</g>\n";
    }

    write_scale_bar(svg, view, bottom + 30);
    svg << "<text x=\"" << MARGIN << "\" y=\"" << MARGIN - 14 << "\" font-size=\"15\">" << xml_text(world.name)
        << (simulation ? ": the robot at the start (blue: the start and its heading; orange: the floor its camera sees)"
                       : ": refused (red: the fault)")
        << "</text>\n";
    if (simulation) {
        const sim::Camera& camera = simulation->camera();
        const std::vector<std::uint8_t> image = as_seen(camera);
        const double width = shown * camera.width(), height = shown * camera.height();
        svg << "<text x=\"" << MARGIN << "\" y=\"" << bottom + 75 << "\">The camera's image at the start ("
            << camera.width() << " x " << camera.height()
            << " px), as a person behind the robot sees the floor: ahead is up, the robot's left on the left.</text>\n"
            << "<image x=\"" << MARGIN << "\" y=\"" << bottom + 85 << "\" width=\"" << width << "\" height=\"" << height
            << "\" preserveAspectRatio=\"none\" style=\"image-rendering:pixelated\" href=\"data:image/png;base64,"
            << base64_text(sim::png_bytes(camera.width(), camera.height(), image.data())) << "\"/>\n"
            << "<rect x=\"" << MARGIN << "\" y=\"" << bottom + 85 << "\" width=\"" << width << "\" height=\"" << height
            << "\" fill=\"none\" stroke=\"#333\"/>\n";
    } else {
        for (std::size_t i = 0; i < caption.size(); ++i) {
            svg << "<text x=\"" << MARGIN << "\" y=\"" << bottom + 75 + LINE_STEP * static_cast<double>(i)
                << "\" fill=\"#d00000\">" << xml_text(caption[i]) << "</text>\n";
        }
    }
    svg << "</svg>\n";
}

void write_world_preview(const std::filesystem::path& path, const sim::WorldSettings& world,
                         const PreviewFault* fault) {
    PageFile file(path);
    {
        PageBuffer buffer(file);
        std::ostream svg(&buffer);
        svg.exceptions(std::ios::badbit);  // a write that failed, as it was thrown
        write_world_preview(svg, world, fault);
        buffer.pubsync();
    }
    file.commit();
}

}  // namespace line_sim
