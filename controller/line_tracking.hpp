#pragma once

// The one-image decision of a control cycle: which pixels of the scan row are
// dark, and the wheel speeds that steer towards them.

#include <cstdint>
#include <optional>

namespace line_tracking {

// A borrowed, read-only camera picture: `height` rows of `width` pixels, row 0
// first, no gap between rows, 3 unsigned bytes a pixel. Pixel (x, y) begins at
// byte 3 * (y * width + x).
struct CameraImage {
    std::int32_t width;   // [px]
    std::int32_t height;  // [px]
    const std::uint8_t* pixels;
};

// What one scan of the scan row found.
struct RowScan {
    std::int32_t dark_count;  // number of dark pixels in the row
    double column_sum;        // [px] sum of their column indices
};

// A command for the differential drive, in the robot library's speed unit.
struct WheelSpeeds {
    double left;
    double right;
};

// Counts the dark pixels of row height - 10 and sums their column
// indices. Reads only that row. An image with no pixels, a width of 0 or less,
// or fewer than 10 rows has no scan row: the result is 0 and 0.0.
RowScan scan_dark_pixels(const CameraImage& image);

// Proportional steering on the dark pixels' mean column, measured from the
// reference column width / 2 (integer division). No command when no pixel was
// dark, and none for an image narrower than 2 pixels, whose reference column 0
// leaves nothing to divide by.
std::optional<WheelSpeeds> compute_wheel_speeds(const RowScan& scan, std::int32_t width);

}  // namespace line_tracking
