#include "replay.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "camera.hpp"
#include "frame_codec.hpp"
#include "page_file.hpp"
#include "trace.hpp"
#include "track.hpp"
#include "trajectory_svg.hpp"

// tools/replay/replay.html, built in (tools/CMakeLists.txt).
extern const std::string_view REPLAY_PAGE;

namespace line_sim {
namespace {

static_assert(std::endian::native == std::endian::little, "the page reads the trace as little-endian doubles");

constexpr std::string_view DATA_MARKER = "<!--DATA-->";
constexpr double FOOTPRINT_REACH = 0.5;  // [m] ahead of the camera: the footprint's far edge at the most
constexpr double DRAWING_STEPS = 1e4;    // [1/m] the track's points are rounded to 0.1 mm, for a smaller page

double rounded(double metres) { return std::round(metres * DRAWING_STEPS) / DRAWING_STEPS; }

// What the page draws besides the steps: the world, the summary, the track.
nlohmann::json page_settings(const sim::WorldSettings& world, const nlohmann::json& summary) {
    const sim::Track track(world.track);
    nlohmann::json strokes = nlohmann::json::array();
    for (const auto& stroke : centre_line_strokes(track)) {
        nlohmann::json& points = strokes.emplace_back(nlohmann::json::array());
        for (const sim::Vec2& p : stroke) points.insert(points.end(), {rounded(p.x), rounded(p.y)});
    }
    nlohmann::json footprint = nlohmann::json::array();
    for (const sim::Vec2& p : sim::camera_footprint(world.camera, FOOTPRINT_REACH)) footprint.push_back({p.x, p.y});
    const double margin = world.floor.margin;
    return {{"summary", summary},
            {"name", world.name},
            {"line_width", world.track.line_width},
            {"closed", world.track.closed},
            {"off_line_distance", world.run.off_line_distance},
            {"wheel_radius", world.robot.wheel_radius},
            {"axle_track", world.robot.axle_track},
            {"mount_forward", world.camera.mount_forward},
            {"floor", {track.min_corner().x - margin, track.min_corner().y - margin, track.max_corner().x + margin,
                       track.max_corner().y + margin}},
            {"grays", {world.floor.floor_gray, world.floor.line_gray, world.floor.outside_gray}},
            {"start", {world.track.start.x, world.track.start.y}},
            {"strokes", strokes},
            {"footprint", footprint}};
}

// The trace's whole lines after the header: its rows, unless some are damaged
// (TraceReader stops at the first), which leaves a stride a little long.
std::int64_t count_rows(const std::string& trace) {
    std::ifstream file(trace, std::ios::binary);
    std::int64_t lines = 0;
    char chunk[1 << 16];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) lines += std::count(chunk, chunk + file.gcount(), '\n');
    return std::max<std::int64_t>(0, lines - 1);
}

// The kept steps' trace rows, each with the wheel command that followed its
// camera image (the next row's speeds; NaN after the last): 9 doubles a step.
std::int64_t pack_trace(PageFile& page, const std::string& path, std::int64_t stride) {
    PackedBytes packed(page);
    TraceReader reader(path);
    std::int64_t kept = 0;
    TraceRow row{}, next{};
    bool more = reader.next(row);
    for (std::int64_t i = 0; more; ++i, row = next) {
        more = reader.next(next);
        if (i % stride != 0) continue;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double values[9] = {row.t,     row.x,         row.y, row.heading, row.left, row.right, row.lateral_error,
                                  more ? next.left : nan, more ? next.right : nan};
        packed.add(values, sizeof values);
        ++kept;
    }
    packed.finish();
    return kept;
}

// The kept steps' camera frames, coded as in the frames file but each against
// the kept frame before it, without the header; the steps taken before the
// camera was on get black frames. Stops at the last whole frame of the file.
std::int64_t pack_frames(PageFile& page, const std::string& path, std::int64_t rows, std::int64_t stride,
                         sim::FramesHeader& header) {
    PackedBytes packed(page);
    std::ifstream file(path, std::ios::binary);
    std::int64_t kept = 0;
    // An empty file (a controller killed before the first frame reached it) holds no frames.
    if (file && file.peek() != std::ifstream::traits_type::eof()) {
        try {
            header = sim::read_frames_header(file, path);
            sim::FrameDecoder decoder(header.width, header.height);
            sim::FrameEncoder encoder(header.width, header.height);
            std::string code;
            // Frame k of the file is the image after step first_step + k, and row i of the trace is step
            // i + 1: the first frame shows row first_step - 1, or no row when the camera came on first.
            bool more = header.first_step > 0 || decoder.next(file);
            for (std::int64_t i = 0; i < rows && more; ++i) {
                if (i + 1 >= header.first_step) more = decoder.next(file);
                if (!more || i % stride != 0) continue;
                code.clear();
                encoder.encode(decoder.image().data(), code);
                packed.add(code.data(), code.size());
                ++kept;
            }
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            throw std::runtime_error(what.rfind(path, 0) == 0 ? what : path + ": " + what);
        }
    }
    packed.finish();
    return kept;
}

}  // namespace

void write_replay(const std::filesystem::path& run_folder, const sim::WorldSettings& world,
                  const nlohmann::json& summary) {
    const std::string trace = (run_folder / "trace.csv").string();
    const std::int64_t rows = count_rows(trace);
    const std::int64_t stride = std::max<std::int64_t>(1, (rows + MOST_REPLAY_STEPS - 1) / MOST_REPLAY_STEPS);

    PageFile page(run_folder / "replay.html");
    const auto [head, tail] = split_page(REPLAY_PAGE, DATA_MARKER);
    page.write(head);
    page.write("<script id=\"trace\" type=\"application/octet-stream\">");
    const std::int64_t steps = pack_trace(page, trace, stride);
    page.write("</script>\n<script id=\"frames\" type=\"application/octet-stream\">");
    sim::FramesHeader header{world.camera.width, world.camera.height, 0};
    const std::int64_t frames = pack_frames(page, (run_folder / sim::FRAMES_FILE).string(), rows, stride, header);
    nlohmann::json settings = page_settings(world, summary);
    settings.update({{"steps", steps},
                     {"frames", frames},
                     {"stride", stride},
                     {"run_steps", rows},
                     {"camera_width", header.width},
                     {"camera_height", header.height},
                     {"first_frame_row", std::max<std::int64_t>(0, header.first_step - 1)}});
    page.write("</script>\n<script id=\"settings\" type=\"application/json\">");
    page.write(script_json(settings));
    page.write("</script>\n");
    page.write(tail);
    page.commit();
}

}  // namespace line_sim
