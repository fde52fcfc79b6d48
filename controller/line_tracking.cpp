// The one-image decision: the scanned row's dark pixels, and the wheel speeds from their mean column.

#include "line_tracking.hpp"

#include <cstddef>

namespace line_tracking {
namespace {

// The scan row is this many rows before the end of the image (row height - 10).
constexpr std::int32_t SCAN_ROW_OFFSET = 10;
// A pixel is dark when its gray level, (b0 + b1 + b2) / 3 truncated, is below this.
constexpr std::int32_t DARK_LEVEL_LIMIT = 20;
// Speed of both wheels when the line lies on the reference column.
constexpr double BASE_SPEED = 4.0;
// Speed change of each wheel for an offset of one half-width.
constexpr double STEERING_GAIN = 4.0;

// (b0 + b1 + b2) / 3 < LIMIT, with truncating division, holds exactly when
// b0 + b1 + b2 < 3 * LIMIT: comparing the byte sum saves the division.
constexpr std::uint32_t DARK_SUM_LIMIT = 3 * DARK_LEVEL_LIMIT;

}  // namespace

RowScan scan_dark_pixels(const CameraImage& image) {
    RowScan scan{0, 0.0};
    if (image.pixels == nullptr || image.width <= 0 || image.height < SCAN_ROW_OFFSET) {
        return scan;
    }
    // Offsets in size_t: 3 * y * width overflows 32 bits for large images.
    const auto width = static_cast<std::size_t>(image.width);
    const auto row = static_cast<std::size_t>(image.height - SCAN_ROW_OFFSET);
    const std::uint8_t* const row_bytes = image.pixels + 3 * row * width;

    std::uint64_t column_sum = 0;  // exact: at most width^2 / 2 < 2^62
    std::uint64_t dark_count = 0;
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* pixel = row_bytes + 3 * x;
        if (std::uint32_t{pixel[0]} + pixel[1] + pixel[2] < DARK_SUM_LIMIT) {
            dark_count += 1;
            column_sum += x;
        }
    }
    scan.dark_count = static_cast<std::int32_t>(dark_count);
    scan.column_sum = static_cast<double>(column_sum);
    return scan;
}

std::optional<WheelSpeeds> compute_wheel_speeds(const RowScan& scan, std::int32_t width) {
    if (scan.dark_count <= 0) {
        return std::nullopt;
    }
    // Reference column in integer arithmetic: 32 for widths 64 and 65.
    const std::int32_t half_width = width / 2;
    if (half_width <= 0) {
        return std::nullopt;  // width 1 (or less): no half-width to divide by
    }
    const double mean = scan.column_sum / scan.dark_count;
    const double half = half_width;
    // Gain first, then the division: the order fixes the rounding.
    const double e = (mean - half) * STEERING_GAIN / half;
    return WheelSpeeds{BASE_SPEED - e, BASE_SPEED + e};
}

}  // namespace line_tracking
