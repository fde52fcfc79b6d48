#pragma once

// A floor drawn from a picture (a printed mat, a photograph taken from
// above): its grays, a byte a pixel, laid on the floor with square pixels,
// and what a camera's pixel sees of it.

#include <algorithm>
#include <array>
#include <cstddef>
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
    // The same at (u, v) [px] across and down from the top-left pixel's centre.
    double gray_at_pixels(double u, double v) const {
        std::int32_t i = 0, j = 0;
        return cell_of(u, v, i, j) ? bilinear(u, v, i, j) : -1.0;
    }
    // The pixel (i, j) whose square of four, with (i + 1, j + 1), the
    // bilinear gray at (u, v) [px] reads; false outside the picture.
    bool cell_of(double u, double v, std::int32_t& i, std::int32_t& j) const {
        if (!(u >= -0.5 && v >= -0.5 && u <= width - 0.5 && v <= height - 0.5)) return false;
        // Rounded down by the conversion (both at least 0); one before the last, so the next pixel exists.
        i = std::min(static_cast<std::int32_t>(std::clamp(u, 0.0, width - 1.0)), std::max(width - 2, 0));
        j = std::min(static_cast<std::int32_t>(std::clamp(v, 0.0, height - 1.0)), std::max(height - 2, 0));
        return true;
    }
    // [bytes] in `gray` from a pixel to the next across and the next down; a
    // picture one pixel wide or high has no second column or row: the first again.
    std::size_t next_across() const { return width > 1 ? 1 : 0; }
    std::size_t next_down() const { return height > 1 ? static_cast<std::size_t>(width) : 0; }
    double bilinear(double u, double v, std::int32_t i, std::int32_t j) const {
        const double a = std::clamp(u, 0.0, width - 1.0) - i, b = std::clamp(v, 0.0, height - 1.0) - j;
        const std::uint8_t* row =
            gray.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(width) + static_cast<std::size_t>(i);
        const std::size_t right = next_across(), below = next_down();
        const double top = row[0] + (row[right] - row[0]) * a;
        const double bottom = row[below] + (row[below + right] - row[below]) * a;
        return top + (bottom - top) * b;
    }

    // Most of a mat is blank paper or solid line, where a camera row's
    // samples all read one gray: a flat cell (cell_of()'s i and j) is one
    // whose four pixels are equal, and flat cells next to each other share
    // pixels, so that a square of them is of one gray. For each cell, the
    // side [cells] of the largest square of flat cells with this one at its
    // top corner, reaching down the picture and right (RIGHT) or left (LEFT);
    // 0 if this one is not flat, at most 255. A row walked from its other
    // end reads the same samples, so rows going up are walked down.
    enum Reach : std::size_t { RIGHT, LEFT };
    // Finds them: call once the grays are in place, and again if they change.
    // Until then no cell is taken as flat (correct, but slower).
    void find_flat_squares();
    // The sides for `reach`, row by row like the cells; null until found.
    const std::uint8_t* squares_of(Reach reach) const {
        return squares[reach].empty() ? nullptr : squares[reach].data();
    }
    std::int32_t cells_across() const { return std::max(width - 1, 1); }
    std::int32_t cells_down() const { return std::max(height - 1, 1); }

private:
    std::array<std::vector<std::uint8_t>, 2> squares;  // RIGHT and LEFT, row by row like the pixels
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
