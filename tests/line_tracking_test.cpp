// The one-image decision: gray level and threshold, the scan row, the steering
// law, and images the decision must survive.
#include "line_tracking.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using line_tracking::CameraImage;
using line_tracking::compute_wheel_speeds;
using line_tracking::RowScan;
using line_tracking::scan_dark_pixels;

namespace {

// A light image (gray 200) of the given size whose pixels a test can set.
struct TestImage {
    std::int32_t width;
    std::int32_t height;
    std::vector<std::uint8_t> bytes;

    TestImage(std::int32_t w, std::int32_t h)
        : width(w), height(h), bytes(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3, 200) {}

    void set(std::int32_t x, std::int32_t y, std::array<std::uint8_t, 3> rgb) {
        const auto p =
            3 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x));
        for (std::size_t c = 0; c < 3; ++c) bytes[p + c] = rgb[c];
    }
    CameraImage view() const { return {width, height, bytes.data()}; }
};

// The scan written the plain way: a division per pixel, a double added per dark pixel.
RowScan reference_scan(const TestImage& image) {
    RowScan scan{0, 0.0};
    const std::int32_t y = image.height - 10;
    for (std::int32_t x = 0; x < image.width; ++x) {
        const auto p =
            3 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) + static_cast<std::size_t>(x));
        const int gray = (image.bytes[p] + image.bytes[p + 1] + image.bytes[p + 2]) / 3;
        if (gray < 20) {
            scan.dark_count += 1;
            scan.column_sum += static_cast<double>(x);
        }
    }
    return scan;
}

struct PixelCase {
    std::array<std::uint8_t, 3> rgb;
    bool dark;
};

void PrintTo(const PixelCase& c, std::ostream* os) {
    *os << "(" << int{c.rgb[0]} << ", " << int{c.rgb[1]} << ", " << int{c.rgb[2]} << ")";
}

class GrayLevel : public ::testing::TestWithParam<PixelCase> {};

TEST_P(GrayLevel, DarkBelowTwentyWithTruncationInAnyChannelOrder) {
    auto rgb = GetParam().rgb;
    std::sort(rgb.begin(), rgb.end());
    do {  // every order of the three bytes gives the same answer
        TestImage image(5, 12);
        image.set(3, 2, rgb);
        const RowScan scan = scan_dark_pixels(image.view());
        EXPECT_EQ(scan.dark_count, GetParam().dark ? 1 : 0);
        EXPECT_EQ(scan.column_sum, GetParam().dark ? 3.0 : 0.0);
    } while (std::next_permutation(rgb.begin(), rgb.end()));
}

INSTANTIATE_TEST_SUITE_P(Threshold, GrayLevel,
                         ::testing::Values(PixelCase{{19, 19, 19}, true}, PixelCase{{20, 20, 20}, false},
                                           PixelCase{{0, 0, 59}, true}, PixelCase{{20, 20, 19}, true},
                                           PixelCase{{0, 0, 60}, false}, PixelCase{{0, 0, 0}, true},
                                           PixelCase{{255, 0, 0}, false}, PixelCase{{255, 255, 255}, false}));

TEST(ScanRow, ReadsOnlyTheTenthRowFromTheEnd) {
    TestImage image(64, 64);
    for (std::int32_t y = 0; y < 64; ++y) {
        if (y != 54) image.set(20, y, {0, 0, 0});
    }
    EXPECT_EQ(scan_dark_pixels(image.view()).dark_count, 0);

    for (std::int32_t x : {10, 11, 12}) image.set(x, 54, {0, 0, 0});
    const RowScan scan = scan_dark_pixels(image.view());
    EXPECT_EQ(scan.dark_count, 3);
    EXPECT_EQ(scan.column_sum, 33.0);
}

TEST(ScanRow, ExactlyTenRowsReadsRowZero) {
    TestImage image(8, 10);
    image.set(7, 0, {1, 2, 3});
    const RowScan scan = scan_dark_pixels(image.view());
    EXPECT_EQ(scan.dark_count, 1);
    EXPECT_EQ(scan.column_sum, 7.0);
}

TEST(ScanRow, PoolsSeparateStripesAndCrossesBlockBoundaries) {
    TestImage image(10000, 11);  // wider than the scan's internal blocks
    for (std::int32_t x : {0, 4095, 4096, 4097, 8191, 8192, 9999}) image.set(x, 1, {5, 5, 5});
    const RowScan scan = scan_dark_pixels(image.view());
    EXPECT_EQ(scan.dark_count, 7);
    EXPECT_EQ(scan.column_sum, 0.0 + 4095 + 4096 + 4097 + 8191 + 8192 + 9999);
}

TEST(ScanBadImages, ReadNothingAndFindNothing) {
    const std::vector<std::uint8_t> dark(64 * 9 * 3, 0);
    for (const CameraImage& image :
         {CameraImage{64, 48, nullptr}, CameraImage{0, 48, dark.data()}, CameraImage{-64, 48, dark.data()},
          CameraImage{64, 9, dark.data()}, CameraImage{64, 0, dark.data()}, CameraImage{64, -48, dark.data()},
          CameraImage{INT32_MIN, INT32_MIN, dark.data()}}) {
        const RowScan scan = scan_dark_pixels(image);
        EXPECT_EQ(scan.dark_count, 0) << image.width << " x " << image.height;
        EXPECT_EQ(scan.column_sum, 0.0);
    }
}

// The scan row of a 65536 x 32768 image starts beyond 4 GiB: 32-bit offsets
// would wrap and read the (all black) memory below it.
TEST(ScanBadImages, LargeImageOffsetsDoNotWrap) {
    constexpr std::int32_t width = 65536, height = 32768;
    const std::size_t size = std::size_t{width} * height * 3;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) GTEST_SKIP() << "cannot reserve 6 GiB of address space";
    auto* bytes = static_cast<std::uint8_t*>(memory);
    std::uint8_t* row = bytes + std::size_t{height - 10} * width * 3;
    std::fill(row, row + std::size_t{width} * 3, std::uint8_t{255});
    row[3 * 40000] = row[3 * 40000 + 1] = row[3 * 40000 + 2] = 0;
    const RowScan scan = scan_dark_pixels({width, height, bytes});
    munmap(memory, size);
    EXPECT_EQ(scan.dark_count, 1);
    EXPECT_EQ(scan.column_sum, 40000.0);
}

TEST(ScanRandomImages, MatchReference) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::int32_t> size(1, 300);
    std::uniform_int_distribution<int> byte_near_limit(0, 45);  // sums straddle 60
    std::uniform_int_distribution<int> coin(0, 3);
    for (int trial = 0; trial < 500; ++trial) {
        TestImage image(size(random), 10 + size(random) % 40);
        for (auto& b : image.bytes) b = static_cast<std::uint8_t>(coin(random) == 0 ? 255 : byte_near_limit(random));
        const RowScan expected = reference_scan(image);
        const RowScan actual = scan_dark_pixels(image.view());
        ASSERT_EQ(actual.dark_count, expected.dark_count) << "trial " << trial;
        ASSERT_EQ(actual.column_sum, expected.column_sum) << "trial " << trial;
    }
}

struct SteeringCase {
    std::vector<std::int32_t> dark_columns;
    std::int32_t width;
    double left;
    double right;
};

void PrintTo(const SteeringCase& c, std::ostream* os) {
    *os << c.dark_columns.size() << " dark columns from " << c.dark_columns.front() << ", width " << c.width;
}

class SteeringLaw : public ::testing::TestWithParam<SteeringCase> {};

TEST_P(SteeringLaw, MatchesTable) {
    const SteeringCase& c = GetParam();
    TestImage image(c.width, 20);
    for (std::int32_t x : c.dark_columns) image.set(x, 10, {0, 0, 0});
    const auto speeds = compute_wheel_speeds(scan_dark_pixels(image.view()), c.width);
    ASSERT_TRUE(speeds.has_value());
    EXPECT_EQ(speeds->left, c.left);  // exact: every value here is a dyadic fraction
    EXPECT_EQ(speeds->right, c.right);
}

std::vector<std::int32_t> all_columns(std::int32_t width) {
    std::vector<std::int32_t> columns(static_cast<std::size_t>(width));
    for (std::int32_t x = 0; x < width; ++x) columns[static_cast<std::size_t>(x)] = x;
    return columns;
}

INSTANTIATE_TEST_SUITE_P(Table, SteeringLaw,
                         ::testing::Values(SteeringCase{{32}, 64, 4.0, 4.0}, SteeringCase{{48}, 64, 2.0, 6.0},
                                           SteeringCase{{0}, 64, 8.0, 0.0}, SteeringCase{{63}, 64, 0.125, 7.875},
                                           SteeringCase{{10, 50}, 64, 4.25, 3.75},
                                           SteeringCase{{10, 11, 12}, 64, 6.625, 1.375},
                                           SteeringCase{all_columns(64), 64, 4.0625, 3.9375},
                                           SteeringCase{{64}, 65, 0.0, 8.0},
                                           // odd width: reference column 32 lies right of the middle (32 of 0..64)
                                           SteeringCase{{32}, 65, 4.0, 4.0}, SteeringCase{{1}, 2, 4.0, 4.0},
                                           SteeringCase{{0}, 2, 8.0, 0.0}, SteeringCase{{0}, 3, 8.0, 0.0}));

TEST(SteeringLaw, GainIsAppliedBeforeTheDivision) {
    // Mean 1/3 on a half-width of 5: the two orders of gain and division round differently.
    const double offset = 1.0 / 3.0 - 5.0;
    const double e = offset * 4.0 / 5.0;
    ASSERT_NE(e, offset * (4.0 / 5.0));
    const auto speeds = compute_wheel_speeds({3, 1.0}, 10);
    ASSERT_TRUE(speeds.has_value());
    EXPECT_EQ(speeds->left, 4.0 - e);
    EXPECT_EQ(speeds->right, 4.0 + e);
}

TEST(NoCommand, WhenNothingIsDarkOrThereIsNoHalfWidth) {
    EXPECT_FALSE(compute_wheel_speeds({0, 0.0}, 64));
    EXPECT_FALSE(compute_wheel_speeds({0, 123.0}, 64));  // the count decides, not the sum
    EXPECT_FALSE(compute_wheel_speeds({-5, 10.0}, 64));
    EXPECT_FALSE(compute_wheel_speeds({1, 0.0}, 1));  // reference column 0: no division by zero
    EXPECT_FALSE(compute_wheel_speeds({1, 0.0}, 0));
    EXPECT_FALSE(compute_wheel_speeds({1, 0.0}, -64));

    TestImage one_wide(1, 12);
    for (std::int32_t y = 0; y < 12; ++y) one_wide.set(0, y, {0, 0, 0});
    const RowScan scan = scan_dark_pixels(one_wide.view());
    EXPECT_EQ(scan.dark_count, 1);
    EXPECT_FALSE(compute_wheel_speeds(scan, 1));
}

TEST(SteeringRandomScans, FiniteAndWithinZeroToEight) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 2000; ++trial) {
        const std::int32_t width = std::uniform_int_distribution<std::int32_t>(2, 5000)(random);
        TestImage image(width, 10);
        std::bernoulli_distribution dark(std::uniform_real_distribution<double>(0.0, 1.0)(random));
        for (std::int32_t x = 0; x < width; ++x) {
            if (dark(random)) image.set(x, 0, {0, 0, 0});
        }
        const RowScan scan = scan_dark_pixels(image.view());
        const auto speeds = compute_wheel_speeds(scan, width);
        ASSERT_EQ(speeds.has_value(), scan.dark_count > 0);
        if (!speeds) continue;
        ASSERT_TRUE(std::isfinite(speeds->left) && std::isfinite(speeds->right));
        ASSERT_GE(speeds->left, 0.0);
        ASSERT_LE(speeds->left, 8.0);
        ASSERT_NEAR(speeds->left + speeds->right, 8.0, 1e-12);
    }
}

}  // namespace
