// The plain, hard-edged drawing of a camera's view: see scene_drawing.hpp.
#include "scene_drawing.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "arc_drawing.hpp"

namespace sim {
namespace {

// [m] a piece this much beyond the view's side edge, past rounding, shows nothing.
constexpr double EDGE_MARGIN = 1e-6;

}  // namespace

SceneDrawing::SceneDrawing(const CameraSettings& settings, const FloorSettings& grays, const Track& track,
                           double line_width, const Floor& floor, bool may_keep_rows)
    : track_(track),
      floor_(floor),
      half_width_(line_width / 2),
      floor_gray_(grays.floor_gray),
      line_gray_(grays.line_gray),
      outside_gray_(grays.outside_gray),
      may_keep_rows_(may_keep_rows),
      rays_(settings),
      spans_(rays_),
      straights_(track, half_width_, spans_),
      rows_kept_(static_cast<std::size_t>(settings.height), 0),
      image_(3 * static_cast<std::size_t>(settings.width) * static_cast<std::size_t>(settings.height),
             grays.outside_gray) {
    // The pieces near the view are looked up for a box this much larger, so
    // that the view moves a few steps before it leaves it.
    const Vec2 low = rays_.low(), high = rays_.high();
    if (low.x <= high.x) margin_ = std::max(high.x - low.x, high.y - low.y) / 2;
    line_reach_ = half_width_;
    for (const Piece& piece : track.pieces()) line_reach_ = std::max(line_reach_, mitre_reach(piece, half_width_));
}

void SceneDrawing::find_nearby(Vec2 low, Vec2 high) {
    const double h = line_reach_;
    if (nearby_low_.x <= low.x - h && nearby_low_.y <= low.y - h && high.x + h <= nearby_high_.x &&
        high.y + h <= nearby_high_.y) {
        return;  // still inside the box last looked up
    }
    const double grow = h + margin_;
    nearby_low_ = {low.x - grow, low.y - grow};
    nearby_high_ = {high.x + grow, high.y + grow};
    nearby_.clear();
    track_.pieces_near(nearby_low_, nearby_high_, nearby_);
    // Of those, the drawn pieces whose bounding circle, grown by that much, meets the box.
    std::erase_if(nearby_, [&](std::uint32_t i) {
        const Piece& piece = track_.pieces()[i];
        const double r = piece.reach + h;
        return piece.gap || piece.middle.x + r < nearby_low_.x || piece.middle.x - r > nearby_high_.x ||
               piece.middle.y + r < nearby_low_.y || piece.middle.y - r > nearby_high_.y;
    });
}

void SceneDrawing::draw(const Transform& robot) {
    const double c = robot.q.c, s = robot.q.s;
    const std::size_t floor_rows = rays_.floor_rows();
    const auto row_bytes = 3 * static_cast<std::size_t>(rays_.width());
    Vec2 low, high;
    rays_.floor_box(robot, low, high);

    // The floor first: light where the floor is, the outside past its edges
    // (most frames see no edge at all: one fill) and above the horizon.
    // Where neither this frame nor the last saw an edge, the image still
    // holds the floor and the last frame's line: only the rows whose line
    // moved are written again, at the end (most rows' line moves a pixel
    // only every few frames).
    const bool whole_view_on_floor = floor_.contains(low) && floor_.contains(high);
    const bool keep = whole_view_on_floor && image_kept_;
    image_kept_ = whole_view_on_floor && may_keep_rows_ && floor_rows > 0;
    // Rows above the horizon are only ever the outside: as they were where the rest is kept.
    std::fill(rows_kept_.begin(), rows_kept_.end(), keep);
    if (!keep) {
        if (whole_view_on_floor) std::memset(image_.data(), floor_gray_, floor_rows * row_bytes);
        std::memset(image_.data() + floor_rows * row_bytes, outside_gray_, image_.size() - floor_rows * row_bytes);
    }
    // Most frames see no edge: the rows' floor spans stay whole from frame
    // to frame, and are only set again after a frame that saw one.
    const bool rows_on_floor = whole_view_on_floor && !edge_seen_;
    edge_seen_ = !whole_view_on_floor;
    for (std::size_t r = 0; r < floor_rows && !rows_on_floor; ++r) {
        const RowRays& row = rays_.row(r);
        Span& on_floor = spans_.on_floor(r);
        on_floor = Span{};
        if (whole_view_on_floor) continue;
        std::uint8_t* out = image_.data() + r * row_bytes;
        const Vec2 first = to_floor(robot, {row.ahead, row.left}), step{-s * row.step, c * row.step};
        on_floor.at_least_zero(first.x - floor_.low.x, step.x);
        on_floor.at_least_zero(floor_.high.x - first.x, -step.x);
        on_floor.at_least_zero(first.y - floor_.low.y, step.y);
        on_floor.at_least_zero(floor_.high.y - first.y, -step.y);
        std::memset(out, outside_gray_, row_bytes);
        const Columns floor_columns = spans_.columns(on_floor);
        fill_gray(out + 3 * floor_columns.begin, 3 * (floor_columns.end - floor_columns.begin), floor_gray_);
    }
    if (floor_rows == 0) return;

    // Then the line: every point within half its width of the centre line.
    // Each piece near the view is moved into the robot's frame, where every
    // row is the line x = ahead and its pixel centres lie at y = left + u step.
    find_nearby(low, high);
    const Vec2 view_low = rays_.low(), view_high = rays_.high();
    const CameraRays::Edge &right_edge = rays_.right_edge(), &left_edge = rays_.left_edge();
    ArcInView view;
    for (const std::uint32_t index : nearby_) {
        const Piece& piece = track_.pieces()[index];
        // Pieces whose bounding circle misses the view show nothing.
        const Vec2 middle = to_robot(robot, piece.middle);
        const double reach = piece.reach + mitre_reach(piece, half_width_);
        if (middle.x + reach < view_low.x || middle.x - reach > view_high.x || middle.y + reach < view_low.y ||
            middle.y - reach > view_high.y ||
            dot(middle - right_edge.point, right_edge.outward) > reach + EDGE_MARGIN ||
            dot(middle - left_edge.point, left_edge.outward) > reach + EDGE_MARGIN) {
            continue;
        }
        if (piece.curvature == 0.0) {
            straights_.draw(robot, index, piece);
            continue;
        }
        arc_in_view(robot, piece, half_width_, view);
        draw_arc(spans_, piece, view, half_width_);
    }
    straights_.end_chain(robot);
    spans_.write_line(image_.data(), keep, floor_gray_, line_gray_, rows_kept_.data());
}

}  // namespace sim
