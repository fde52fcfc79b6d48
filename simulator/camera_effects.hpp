#pragma once

// The camera's effects, those of a real camera and floor, in one place:
// anti-aliasing, exposure, vignetting, the floor's and the line's gray
// variation, and pixel noise. It answers the two questions the camera asks
// of them: whether any effect is on, and so whether the image is the plain
// drawing, whose unchanged rows may be kept from frame to frame and told to
// the run recorder as such (rows_may_be_kept(), drawing_may_keep_rows()). A
// new effect goes in here, and into shaded_ or after it like the noise, or the
// recorder writes changed rows as unchanged.
//
// With any of the shading effects on, a camera `antialias` times finer
// draws the scene, each sub-pixel marked floor, line or outside, and each
// pixel's gray is the mean over its sub-pixels (the share of its footprint
// on the line), with the floor's and the line's gray varied where the pixel
// looks, then darkened towards the corners and scaled by the exposure.
// Noise then varies every byte of the image.

#include <cstdint>
#include <vector>

#include "camera_rays.hpp"
#include "gray_field.hpp"
#include "settings.hpp"

namespace sim {

class CameraEffects {
public:
    // What a sub-pixel of the finer camera shows, as its gray.
    enum Label : std::uint8_t { ON_FLOOR, ON_LINE, OUTSIDE };

    // `seed` drives the pixel noise and the floor's and the line's gray variation.
    CameraEffects(const CameraSettings& settings, const FloorSettings& grays, std::uint64_t seed);

    // Any effect on: the image is not the plain drawing.
    bool any() const { return shaded_ || noise_ > 0; }
    // The image's rows the drawing left unchanged may be kept, and told to
    // the run recorder as such: true exactly when no effect is on.
    bool rows_may_be_kept() const { return !any(); }
    // The plain drawing's own image is left as drawn (no effect, or shaded
    // into another image): the drawing may keep its unchanged rows.
    bool drawing_may_keep_rows() const { return shaded_ || noise_ == 0; }
    // The image is shaded from a finer drawing of labels (anti-aliasing,
    // exposure, vignetting or gray variation on).
    bool shaded() const { return shaded_; }
    // The finer camera's settings and grays: the same view, each pixel cut
    // into antialias x antialias sub-pixels, drawing labels with no effect.
    CameraSettings finer(const CameraSettings& settings) const;
    static FloorSettings labels();
    std::uint8_t outside_gray() const { return outside_gray_; }
    // Each pixel's exposure and vignetting, row by row; empty where not shaded.
    const std::vector<double>& gains() const { return gains_; }

    // The image (3 bytes a pixel, the rays' size) from the finer drawing's
    // labels `fine` (antialias times as wide and high), with the robot at `robot`.
    void shade(const CameraRays& rays, const Transform& robot, const std::uint8_t* fine, std::uint8_t* image);
    // Varies every byte of the image by the noise, if any.
    void add_noise(std::vector<std::uint8_t>& image);

private:
    bool shaded_ = false;
    std::int32_t noise_;  // [gray levels]
    std::uint64_t noise_state_;
    std::uint8_t floor_gray_, line_gray_, outside_gray_;
    std::int32_t antialias_ = 1;  // sub-pixels a side
    std::vector<double> gains_;   // each pixel's exposure and vignetting
    GrayField floor_variation_, line_variation_;
};

}  // namespace sim
