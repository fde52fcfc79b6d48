#pragma once

// The robot's camera: a pinhole camera fixed on the robot, looking down and
// ahead at the floor. Its parts, each in its own file:
//
// - camera_rays: the fixed ray geometry, worked out once (where each
//   pixel's ray meets the floor in the robot's frame), shared with the
//   footprint of the whole image (camera_footprint());
// - scene_drawing: the plain drawing of floor, line and outside, with hard
//   edges, into
// - row_spans: the columns on the floor and on the line, row by row, written
//   at the end of the frame, of shapes drawn by
// - arc_drawing (arcs, end discs and corner wedges) and straight_drawing
//   (straight pieces, alone or in chains);
// - camera_effects: anti-aliasing, exposure, vignetting, gray variation and
//   noise, and whether any of them is on.
//
// With every effect off the image is the plain drawing at the camera's own
// size, and the rows it left unchanged are told to the run recorder. With a
// shading effect on, a drawing antialias times finer labels each sub-pixel,
// and the effects shade the image from it. A picture floor is sampled along
// the same finer rays instead, and shaded and varied by noise alike.

#include <cstdint>
#include <vector>

#include "camera_effects.hpp"
#include "camera_rays.hpp"
#include "scene_drawing.hpp"
#include "settings.hpp"
#include "track.hpp"

namespace sim {

class Camera {
public:
    // Bound for the camera's life: `track` and `floor` must outlive it.
    // `seed` drives the pixel noise and the floor's and the line's gray
    // variation, if any.
    Camera(const CameraSettings& settings, const FloorSettings& grays, const Track& track, double line_width,
           const Floor& floor, std::uint64_t seed = 1);

    std::int32_t width() const { return rays_.width(); }
    std::int32_t height() const { return rays_.height(); }
    const std::uint8_t* image() const { return image_->data(); }

    // Where the ray through the centre of pixel (column, row) meets the floor,
    // in the robot's frame (x ahead, y to the left); NaN where it misses.
    Vec2 ground_point(std::int32_t column, std::int32_t row) const { return rays_.ground_point(column, row); }

    // Renders what the camera sees with the robot at `pose`.
    void render(const Pose& pose);
    // Renders so far.
    std::uint64_t renders() const { return renders_; }
    // A flag a row (height() of them): the last render left the row's pixels
    // as the render before it had drawn them. nullptr where it cannot tell
    // (an effect on), or before the first render.
    const std::uint8_t* rows_kept() const {
        return renders_ > 0 && effects_.rows_may_be_kept() && floor_.picture == nullptr ? drawing_.rows_kept()
                                                                                        : nullptr;
    }

private:
    const Floor& floor_;
    CameraRays rays_;
    CameraEffects effects_;
    // The plain drawing: the image itself, or the finer labels the effects shade it from.
    SceneDrawing drawing_;
    std::vector<std::uint8_t> shaded_;  // the image, where shaded
    std::vector<std::uint8_t>* image_;  // drawing_'s or shaded_
    std::uint64_t renders_ = 0;
};

}  // namespace sim
