#pragma once

// The plain drawing of what a camera sees: floor, line and outside, each in
// its own gray, with hard edges. A frame fills the floor (and the outside
// past its edges and above the horizon), moves each piece of line near the
// view into the robot's frame and draws it row by row into the row spans
// (arcs in arc_drawing, straights in straight_drawing), and writes the line.
// Where the whole view lies on the floor two frames running, only the rows
// whose line moved are written again.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera_rays.hpp"
#include "picture.hpp"
#include "row_spans.hpp"
#include "settings.hpp"
#include "straight_drawing.hpp"
#include "track.hpp"

namespace sim {

// The floor: a rectangle round the track, light, with the line drawn on it;
// or a picture, its grays and line its own (the camera draws it alone).
struct Floor {
    Vec2 low, high;  // [m] corners
    const Picture* picture = nullptr;
    bool contains(Vec2 p) const { return p.x >= low.x && p.y >= low.y && p.x <= high.x && p.y <= high.y; }
};

class SceneDrawing {
public:
    // Bound for its life: `track` and `floor` must outlive it. Only where
    // `may_keep_rows` does a frame keep the rows the last one drew (the
    // image is drawn over by nothing else in between).
    SceneDrawing(const CameraSettings& settings, const FloorSettings& grays, const Track& track, double line_width,
                 const Floor& floor, bool may_keep_rows);
    SceneDrawing(const SceneDrawing&) = delete;
    SceneDrawing& operator=(const SceneDrawing&) = delete;

    const CameraRays& rays() const { return rays_; }
    std::vector<std::uint8_t>& image() { return image_; }
    const std::vector<std::uint8_t>& image() const { return image_; }
    // A flag a row: the last frame left the row's pixels as the frame before it had drawn them.
    const std::uint8_t* rows_kept() const { return rows_kept_.data(); }

    // Draws what the camera sees with the robot at `robot`.
    void draw(const Transform& robot);

private:
    // Keeps nearby_ listing every drawn piece within line_reach_ of the box
    // [low, high] on the floor.
    void find_nearby(Vec2 low, Vec2 high);

    const Track& track_;
    const Floor& floor_;
    double half_width_;  // [m] of the line
    // [m] the farthest the line lies from its centre line: half its width,
    // or a mitred corner's point (at most a line's width).
    double line_reach_ = 0.0;
    std::uint8_t floor_gray_, line_gray_, outside_gray_;
    bool may_keep_rows_;
    CameraRays rays_;
    RowSpans spans_;
    StraightDrawing straights_;
    bool edge_seen_ = false;  // the last frame saw past the floor's edge (rows' on_floor cut)
    // The image holds the floor, the outside above the horizon and the last
    // frame's line, and nothing else: no edge.
    bool image_kept_ = false;
    std::vector<std::uint8_t> rows_kept_;
    // The pieces near a box on the floor round the view, grown by a margin:
    // looked up again only once the view leaves it.
    std::vector<std::uint32_t> nearby_;
    Vec2 nearby_low_{INFINITY, INFINITY}, nearby_high_{-INFINITY, -INFINITY};
    double margin_ = 0.0;  // [m]
    std::vector<std::uint8_t> image_;
};

}  // namespace sim
