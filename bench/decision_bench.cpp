// The one-image decision against the least work that reads each byte of the
// scan row once (summing them). Quote the ratio of the two, not the times.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "line_tracking.hpp"

namespace {

constexpr std::int32_t HEIGHT = 48;

// A floor-like image: light, with a dark band a tenth of the width, and noise.
std::vector<std::uint8_t> make_image(std::int32_t width) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * HEIGHT * 3);
    std::mt19937 random(1);
    std::uniform_int_distribution<int> noise(-8, 8);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto x = static_cast<std::int32_t>(i / 3 % static_cast<std::size_t>(width));
        const bool on_line = x > width * 4 / 10 && x < width * 5 / 10;
        bytes[i] = static_cast<std::uint8_t>((on_line ? 12 : 220) + noise(random));
    }
    return bytes;
}

void BM_ByteSumBaseline(benchmark::State& state) {
    const auto width = static_cast<std::int32_t>(state.range(0));
    const auto bytes = make_image(width);
    const std::size_t row_size = static_cast<std::size_t>(width) * 3;
    const std::uint8_t* row = bytes.data() + static_cast<std::size_t>(HEIGHT - 10) * row_size;
    for (auto _ : state) {
        benchmark::DoNotOptimize(row);
        std::uint32_t sum = std::accumulate(row, row + row_size, std::uint32_t{0});
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * width);
}

void BM_Decision(benchmark::State& state) {
    const auto width = static_cast<std::int32_t>(state.range(0));
    const auto bytes = make_image(width);
    line_tracking::CameraImage image{width, HEIGHT, bytes.data()};
    for (auto _ : state) {
        benchmark::DoNotOptimize(image.pixels);
        const auto speeds = line_tracking::compute_wheel_speeds(line_tracking::scan_dark_pixels(image), width);
        benchmark::DoNotOptimize(speeds);
    }
    state.SetItemsProcessed(state.iterations() * width);
}

// The scan alone, to tell its share from the steering law's two divisions.
void BM_Scan(benchmark::State& state) {
    const auto width = static_cast<std::int32_t>(state.range(0));
    const auto bytes = make_image(width);
    line_tracking::CameraImage image{width, HEIGHT, bytes.data()};
    for (auto _ : state) {
        benchmark::DoNotOptimize(image.pixels);
        const auto scan = line_tracking::scan_dark_pixels(image);
        benchmark::DoNotOptimize(scan);
    }
    state.SetItemsProcessed(state.iterations() * width);
}

BENCHMARK(BM_ByteSumBaseline)->Arg(64)->Arg(640)->Arg(4096);
BENCHMARK(BM_Decision)->Arg(64)->Arg(640)->Arg(4096);
BENCHMARK(BM_Scan)->Arg(64)->Arg(640)->Arg(4096);

}  // namespace
