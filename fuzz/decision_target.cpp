// Fuzz target: the one-image decision on any picture, of any size, against a
// plain reference (a division per pixel, a double added per dark pixel).
//
// Input: byte 0 holds flags (bit 0: no pixels, a null pointer), bytes 1-4 the
// width and bytes 5-8 the height (signed 32-bit, little-endian; missing bytes
// are 0), the rest the pixels. A positive height is cut to the rows the rest
// holds. The pixels are copied into a block of exactly width * height * 3
// bytes (none for a size of 0 or less), so that the address sanitizer sees
// any read beyond the picture.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "line_tracking.hpp"
#include "run_one.hpp"

using line_tracking::CameraImage;
using line_tracking::RowScan;
using line_tracking::WheelSpeeds;

namespace {

constexpr std::size_t HEADER_SIZE = 9;

std::int32_t read_int32(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                     std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
}

RowScan reference_scan(const CameraImage& image) {
    RowScan scan{0, 0.0};
    if (image.pixels == nullptr || image.width <= 0 || image.height < 10) return scan;
    const auto width = static_cast<std::size_t>(image.width);
    const auto row = static_cast<std::size_t>(image.height - 10);
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* p = image.pixels + 3 * (row * width + x);
        if ((p[0] + p[1] + p[2]) / 3 < 20) {
            scan.dark_count += 1;
            scan.column_sum += static_cast<double>(x);
        }
    }
    return scan;
}

std::optional<WheelSpeeds> reference_speeds(const RowScan& scan, std::int32_t width) {
    const std::int32_t half = width / 2;
    if (scan.dark_count <= 0 || half <= 0) return std::nullopt;
    const double e = (scan.column_sum / scan.dark_count - half) * 4.0 / half;
    return WheelSpeeds{4.0 - e, 4.0 + e};
}

}  // namespace

int run_one(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[HEADER_SIZE] = {};
    if (size > 0) std::memcpy(header, data, std::min(size, HEADER_SIZE));
    const bool no_pixels = (header[0] & 1) != 0;
    const std::int32_t width = read_int32(header + 1);
    std::int32_t height = read_int32(header + 5);
    const std::size_t given = size > HEADER_SIZE ? size - HEADER_SIZE : 0;

    std::size_t bytes = 0;
    if (width > 0 && height > 0) {
        const std::size_t rows = given / (3 * static_cast<std::size_t>(width));
        if (static_cast<std::size_t>(height) > rows) height = static_cast<std::int32_t>(rows);
        bytes = 3 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
    const std::unique_ptr<std::uint8_t[]> pixels(new std::uint8_t[bytes]);
    if (bytes > 0) std::memcpy(pixels.get(), data + HEADER_SIZE, bytes);
    const CameraImage image{width, height, no_pixels ? nullptr : pixels.get()};

    const std::string picture = std::to_string(width) + " x " + std::to_string(height) + (no_pixels ? " (null)" : "");
    const RowScan scan = line_tracking::scan_dark_pixels(image);
    const RowScan expected = reference_scan(image);
    if (scan.dark_count != expected.dark_count || scan.column_sum != expected.column_sum) {
        fail("scan of " + picture + ": " + std::to_string(scan.dark_count) + " dark, column sum " +
             std::to_string(scan.column_sum) + "; expected " + std::to_string(expected.dark_count) + ", " +
             std::to_string(expected.column_sum));
    }
    const auto speeds = line_tracking::compute_wheel_speeds(scan, width);
    const auto expected_speeds = reference_speeds(expected, width);
    if (speeds.has_value() != expected_speeds.has_value()) {
        fail("wheel speeds of " + picture + ": " + (speeds ? "a command where none was expected" : "no command"));
    }
    if (speeds) {
        if (speeds->left != expected_speeds->left || speeds->right != expected_speeds->right) {
            fail("wheel speeds of " + picture + ": " + std::to_string(speeds->left) + ", " +
                 std::to_string(speeds->right) + "; expected " + std::to_string(expected_speeds->left) + ", " +
                 std::to_string(expected_speeds->right));
        }
        // Dark columns lie in [0, width - 1], at most one half-width past the
        // reference column: each wheel's speed stays within [0, 8].
        if (!(speeds->left >= 0.0 && speeds->left <= 8.0 && speeds->right >= 0.0 && speeds->right <= 8.0)) {
            fail("wheel speeds of " + picture + " outside [0, 8]");
        }
    }
    return 0;
}
