#include "line_tracking.hpp"

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Scans whole blocks of 16 pixels (48 bytes, three 16-byte vectors) and returns
// the number of pixels scanned; the caller scans the rest one by one.
//
// For each byte j of a block the vector code forms t_j = b_j + b_(j+1) + b_(j+2)
// with saturating byte adds. A saturated sum is 255, never below the limit, so
// t_j < DARK_SUM_LIMIT exactly when the true sum is. Pixel i begins at byte 3i:
// in lane 3i mod 16 of vector 3i / 16. Each lane is a pixel start in exactly
// one of the three vectors, so picking those lanes gathers the block's 16 pixel
// sums into one vector, in the order INDEX gives. The third vector's shifted
// copies take zeros for its last two lanes, which are not pixel starts, so no
// byte past the block is read.
std::size_t scan_blocks(const std::uint8_t* row, std::size_t width, std::uint64_t& dark_count,
                        std::uint64_t& column_sum) {
    // START[k]: 0xFF in the lanes of vector k where a pixel begins.
    alignas(16) static constexpr std::uint8_t START[3][16] = {
        {255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255},
        {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0},
        {0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0}};
    // The in-block index of the pixel that each lane of the gathered sums holds.
    alignas(16) static constexpr std::uint8_t INDEX[16] = {0, 11, 6, 1, 12, 7, 2, 13, 8, 3, 14, 9, 4, 15, 10, 5};
    const auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i below_limit = _mm_set1_epi8(static_cast<char>(DARK_SUM_LIMIT - 1));
    const __m128i one = _mm_set1_epi8(1);
    const __m128i start0 = load(START[0]), start1 = load(START[1]), start2 = load(START[2]), index = load(INDEX);
    const std::size_t blocks = width / 16;
    __m128i counts = _mm_setzero_si128();      // dark pixels so far, two 64-bit lanes
    __m128i index_sums = _mm_setzero_si128();  // their in-block indices, summed
    __m128i earlier = _mm_setzero_si128();     // sum over blocks of the counts before it
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block = row + 48 * b;
        const __m128i last = load(block + 32);
        const __m128i t0 = _mm_adds_epu8(_mm_adds_epu8(load(block), load(block + 1)), load(block + 2));
        const __m128i t1 = _mm_adds_epu8(_mm_adds_epu8(load(block + 16), load(block + 17)), load(block + 18));
        const __m128i t2 = _mm_adds_epu8(_mm_adds_epu8(last, _mm_srli_si128(last, 1)), _mm_srli_si128(last, 2));
        const __m128i sums = _mm_or_si128(_mm_or_si128(_mm_and_si128(t0, start0), _mm_and_si128(t1, start1)),
                                          _mm_and_si128(t2, start2));
        const __m128i dark = _mm_cmpeq_epi8(_mm_min_epu8(sums, below_limit), sums);
        earlier = _mm_add_epi64(earlier, counts);
        counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_and_si128(dark, one), _mm_setzero_si128()));
        index_sums = _mm_add_epi64(index_sums, _mm_sad_epu8(_mm_and_si128(dark, index), _mm_setzero_si128()));
    }
    const auto total = [](__m128i v) {
        alignas(16) std::uint64_t lanes[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        return lanes[0] + lanes[1];
    };
    const std::uint64_t count = total(counts);
    // Block b starts at column 16 b: sum of b * count_b = (blocks - 1) * count - earlier.
    const std::uint64_t block_index_sum = blocks == 0 ? 0 : (blocks - 1) * count - total(earlier);
    dark_count += count;
    column_sum += total(index_sums) + 16 * block_index_sum;
    return 16 * blocks;
}
#endif

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
    std::size_t x = 0;
#if defined(__SSE2__)
    x = scan_blocks(row_bytes, width, dark_count, column_sum);
#endif
    for (; x < width; ++x) {
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
