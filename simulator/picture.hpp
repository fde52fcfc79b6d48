#pragma once

// A floor drawn from a picture (a printed mat, a photograph taken from
// above): its grays, a byte a pixel, laid on the floor with square pixels,
// and what a camera's pixel sees of it.

#include <cstdint>
#include <vector>

#include "camera_rays.hpp"
#include "geometry.hpp"

namespace sim {

struct Picture {
    std::int32_t width = 0, height = 0;  // [px]
    // width x height grays, row by row from the picture's top edge (the
    // floor's high y), as pictures are stored.
    std::vector<std::uint8_t> gray;
    Vec2 low;            // [m] on the floor, the picture's lower-left corner
    double pixel = 0.0;  // [m] side of a pixel

    Vec2 high() const { return {low.x + width * pixel, low.y + height * pixel}; }
    // [gray levels] at floor point `p`: bilinear between the centres of the
    // four pixels round it (the edge pixels' own gray out to the edge), or
    // -1 outside the picture.
    double gray_at(Vec2 p) const;
};

// Draws the camera's view of the picture into `image` (3 bytes a pixel, the
// rays' size): each pixel the mean of `n` x `n` samples of the picture along
// the rays of `fine` (n times as wide and high as the image: the pixel's
// footprint, not only its centre, so that marks finer than a pixel blend as
// they do in a real camera), scaled by its `gains` (exposure and vignetting,
// none if empty); `outside` [gray] past the picture's edge and above the horizon.
void draw_picture(const CameraRays& fine, std::int32_t n, const Transform& robot, const Picture& picture,
                  std::uint8_t outside, const std::vector<double>& gains, std::uint8_t* image);

}  // namespace sim
