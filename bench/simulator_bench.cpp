// One simulated 32 ms step (motion, rendering, metrics) with the controller's
// decision closing the loop, as a run does it. Sizes of image and track vary;
// compare within one run: the 640 x 480 step per pixel, and the long tracks'
// step against the 4-segment track's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>

#include "camera.hpp"
#include "line_tracking.hpp"
#include "scenarios.hpp"
#include "simulation.hpp"
#include "track.hpp"

namespace {

// A simulation on the world that keeps the robot on the line with the
// controller's own decision; started afresh whenever a run ends.
class ClosedLoop {
public:
    explicit ClosedLoop(sim::WorldSettings world) : world_(std::move(world)) { restart(); }

    void step() {
        const sim::Camera& camera = simulation_->camera();
        const line_tracking::CameraImage image{camera.width(), camera.height(), camera.image()};
        if (const auto speeds =
                line_tracking::compute_wheel_speeds(line_tracking::scan_dark_pixels(image), camera.width())) {
            simulation_->set_wheel_speeds(speeds->left, speeds->right);
        }
        if (!simulation_->step(32)) restart();
    }
    void restart() {
        simulation_ = std::make_unique<sim::Simulation>(world_);
        simulation_->enable_camera(32);
    }

private:
    sim::WorldSettings world_;
    std::unique_ptr<sim::Simulation> simulation_;
};

sim::WorldSettings with_camera(sim::WorldSettings world, std::int32_t width, std::int32_t height) {
    world.camera.width = width;
    world.camera.height = height;
    world.run.duration = 1e9;
    return world;
}

void run(benchmark::State& state, const sim::WorldSettings& world) {
    ClosedLoop loop(world);
    for (int i = 0; i < 100; ++i) loop.step();  // settle onto the line
    for (auto _ : state) loop.step();
    // Seconds a pixel, printed with an SI prefix (p for picoseconds).
    state.counters["per_pixel"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * world.camera.width * world.camera.height,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_StepByImageSize(benchmark::State& state) {
    run(state, with_camera(sim::default_world(), static_cast<std::int32_t>(state.range(0)),
                           static_cast<std::int32_t>(state.range(1))));
}

void BM_StepByTrackSegments(benchmark::State& state) {
    static std::map<std::int64_t, sim::WorldSettings> worlds;  // built once: the long one takes a while
    auto [place, added] = worlds.try_emplace(state.range(0));
    if (added) place->second = with_camera(sim::winding_world(static_cast<int>(state.range(0)), 7), 64, 48);
    run(state, place->second);
}

// The same peanut as arcs and as 720 points along it: point tracks, as
// people import them, against the arcs they approximate.
void BM_StepPeanutArcs(benchmark::State& state) { run(state, with_camera(sim::peanut_world(), 64, 48)); }
void BM_StepPeanutPoints(benchmark::State& state) { run(state, with_camera(sim::peanut_points_world(720), 64, 48)); }

// The camera alone, on the same 2,000 poses every run (along the peanut, a
// centimetre or so off the line and turned by up to 0.1 rad), where the
// closed loop's poses follow the images: the 720-point peanut against its
// arcs, without the rest of the step.
void render_along(benchmark::State& state, const sim::WorldSettings& world) {
    const sim::Track track(world.track);
    const sim::Picture* picture = world.floor.picture.get();
    const sim::Floor floor =
        picture != nullptr ? sim::Floor{picture->low, picture->high(), picture} : sim::Floor{{-10, -10}, {10, 10}};
    sim::CameraSettings settings = world.camera;
    settings.width = 64;
    settings.height = 48;
    sim::Camera camera(settings, world.floor, track, world.track.line_width, floor);
    std::vector<sim::Pose> poses;
    std::size_t k = 0;
    for (int i = 0; i < 2000; ++i) {
        const double s = track.length() * i / 2000;
        while (k + 1 < track.pieces().size() && track.pieces()[k + 1].start_distance <= s) ++k;
        const sim::Piece& piece = track.pieces()[k];
        const sim::Vec2 q = sim::point_on_piece(piece, s - piece.start_distance);
        const double heading = sim::heading_on_piece(piece, s - piece.start_distance);
        poses.push_back(
            {q.x - 0.01 * std::sin(i * 0.1), q.y + 0.01 * std::cos(i * 0.07), heading + 0.1 * std::sin(i * 0.05)});
    }
    std::size_t i = 0;
    for (auto _ : state) {
        camera.render(poses[i]);
        benchmark::DoNotOptimize(camera.image());
        i = (i + 1) % poses.size();
    }
}
void BM_RenderPeanutArcs(benchmark::State& state) { render_along(state, sim::peanut_world()); }
void BM_RenderPeanutPoints(benchmark::State& state) { render_along(state, sim::peanut_points_world(720)); }
// The same for the oval on its drawn floor and on a picture of itself.
void BM_RenderOval(benchmark::State& state) { render_along(state, sim::default_world()); }
void BM_RenderOvalPicture(benchmark::State& state) {
    render_along(state, sim::on_picture_of_itself(sim::default_world(), 0.001));
}

// The floor: the least work that writes every pixel of a camera-like image
// once, row by row, the floor's gray with one dark span a row (a sixth of
// the width, drifting across the image from row to row). Compare the step
// with it.
void BM_Floor(benchmark::State& state) {
    const auto width = static_cast<std::size_t>(state.range(0)), height = static_cast<std::size_t>(state.range(1));
    std::vector<std::uint8_t> image(3 * width * height);
    const sim::FloorSettings grays;
    std::size_t shift = 0;
    for (auto _ : state) {
        std::uint8_t* out = image.data();
        for (std::size_t r = 0; r < height; ++r, out += 3 * width) {
            const std::size_t begin = (width / 3 + r / 4 + shift) % (width - width / 6), end = begin + width / 6;
            std::memset(out, grays.floor_gray, 3 * begin);
            std::memset(out + 3 * begin, grays.line_gray, 3 * (end - begin));
            std::memset(out + 3 * end, grays.floor_gray, 3 * (width - end));
        }
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
        shift = (shift + 1) % 8;
    }
    state.counters["per_pixel"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(width * height),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every effect on (anti-aliasing 4 x 4, gray variation, latency, motors),
// against BM_StepByImageSize/64/48 with every effect off.
void BM_StepWithEveryEffect(benchmark::State& state) {
    run(state, with_camera(sim::with_every_effect(sim::default_world()), 64, 48));
}

// The oval on a picture of itself (1 mm pixels), against
// BM_StepByImageSize on the oval's drawn floor, image size for image size.
void BM_StepPictureFloor(benchmark::State& state) {
    static const sim::WorldSettings oval = sim::on_picture_of_itself(sim::default_world(), 0.001);
    run(state, with_camera(oval, static_cast<std::int32_t>(state.range(0)), static_cast<std::int32_t>(state.range(1))));
}

// The simulated robot reads the wall clock every step (for the run's
// wall-clock limit and the trace's flush): its cost against a step's.
void BM_SteadyClock(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(std::chrono::steady_clock::now());
}

BENCHMARK(BM_Floor)->Args({64, 48})->Args({160, 120})->Args({640, 480});
BENCHMARK(BM_StepByImageSize)->Args({64, 48})->Args({160, 120})->Args({640, 480});
BENCHMARK(BM_StepPeanutArcs);
BENCHMARK(BM_StepPeanutPoints);
BENCHMARK(BM_RenderPeanutArcs);
BENCHMARK(BM_RenderPeanutPoints);
BENCHMARK(BM_RenderOval);
BENCHMARK(BM_RenderOvalPicture);
BENCHMARK(BM_StepWithEveryEffect);
BENCHMARK(BM_StepPictureFloor)->Args({64, 48})->Args({160, 120});
BENCHMARK(BM_StepByTrackSegments)->Arg(4)->Arg(400)->Arg(40000);
BENCHMARK(BM_SteadyClock);

}  // namespace
