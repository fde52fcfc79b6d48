// Worlds built in code, shared by the tests and the benchmarks.

#include "scenarios.hpp"

#include <cmath>
#include <memory>
#include <numbers>
#include <random>

#include "picture.hpp"
#include "track.hpp"
#include "world_file.hpp"

namespace sim {

WorldSettings default_world() { return parse_world(DEFAULT_WORLD, "(built-in oval)"); }

WorldSettings winding_world(int segments, std::uint64_t seed) {
    WorldSettings world = default_world();
    world.name = "winding-" + std::to_string(segments);
    world.track.segments.clear();
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> straight(0.1, 0.4), radius(0.4, 1.5), wiggle(0.0, 0.6);
    const int arcs = segments / 4;  // in each half
    std::vector<SegmentSettings> half;
    double swing = 0.0;
    for (int i = 0; i < arcs; ++i) {
        half.push_back({straight(random), 0.0, 0.0, 0.0, false});
        // Wiggles come in pairs of opposite turns, so the half turns by exactly pi.
        swing = i % 2 == 0 ? wiggle(random) : -swing;
        const double angle = std::numbers::pi / arcs + (i + 1 == arcs && arcs % 2 == 1 ? 0.0 : swing);
        const double r = radius(random);
        half.push_back({r * std::abs(angle), r, angle, 0.0, false});
    }
    world.track.segments = half;
    world.track.segments.insert(world.track.segments.end(), half.begin(), half.end());
    return world;
}

WorldSettings peanut_world() {
    WorldSettings world = default_world();
    world.name = "peanut";
    world.track.line_width = 0.02;
    // Lobes round (+-D, 0) of radius R, waists round (0, +-H) of radius W,
    // tangent where the centres are R + W apart.
    constexpr double R = 0.3, W = 0.2, D = 0.35;
    const double h = std::sqrt((R + W) * (R + W) - D * D);
    const double lobe = 2 * std::atan2(h, -D);     // [rad] turned round a lobe
    const double waist = lobe - std::numbers::pi;  // [rad] turned the other way round a waist
    world.track.start = {0.0, -(h - W)};
    world.track.heading = 0.0;
    world.track.segments = {{W * waist / 2, W, -waist / 2, 0.0, false},
                            {R * lobe, R, lobe, 0.0, false},
                            {W * waist, W, -waist, 0.0, false},
                            {R * lobe, R, lobe, 0.0, false},
                            {W * waist / 2, W, -waist / 2, 0.0, false}};
    return world;
}

WorldSettings peanut_points_world(int points) {
    WorldSettings world = peanut_world();
    world.name = "peanut-" + std::to_string(points) + "-points";
    const Track arcs(world.track);
    std::vector<Vec2> along;
    std::size_t k = 0;
    for (int i = 0; i < points; ++i) {
        const double s = arcs.length() * i / points;
        while (k + 1 < arcs.pieces().size() && arcs.pieces()[k + 1].start_distance <= s) ++k;
        along.push_back(point_on_piece(arcs.pieces()[k], s - arcs.pieces()[k].start_distance));
    }
    along.push_back(along.front());
    set_polyline(world.track, along);
    return world;
}

WorldSettings with_every_effect(WorldSettings world) {
    RobotSettings& robot = world.robot;
    robot.max_wheel_speed = 10.0;
    robot.motor_time_constant = 0.06;
    robot.max_wheel_acceleration = 60.0;
    robot.wheel_radius_error = 0.01;
    robot.wheel_speed_noise = 0.03;
    CameraSettings& camera = world.camera;
    camera.noise = 4;
    camera.latency = 0.032;
    camera.antialias = 4;
    camera.exposure_gain = 0.95;
    camera.vignetting = 0.3;
    world.floor.floor_gray_variation = 15;
    world.floor.line_gray_variation = 10;
    return world;
}

WorldSettings on_picture_of_itself(WorldSettings world, double pixel) {
    const Track track(world.track);
    auto picture = std::make_shared<Picture>();
    const double margin = world.floor.margin;
    picture->low = {track.min_corner().x - margin, track.min_corner().y - margin};
    picture->pixel = pixel;
    picture->width = static_cast<std::int32_t>(std::ceil((track.max_corner().x + margin - picture->low.x) / pixel));
    picture->height = static_cast<std::int32_t>(std::ceil((track.max_corner().y + margin - picture->low.y) / pixel));
    picture->gray.resize(static_cast<std::size_t>(picture->width) * static_cast<std::size_t>(picture->height));
    std::uint8_t* out = picture->gray.data();
    for (std::int32_t row = 0; row < picture->height; ++row) {
        for (std::int32_t column = 0; column < picture->width; ++column) {
            const Vec2 p{picture->low.x + (column + 0.5) * pixel, picture->high().y - (row + 0.5) * pixel};
            bool on_line = false;
            for (const Piece& piece : track.pieces())
                on_line = on_line || (!piece.gap && distance_to_piece(piece, p) <= world.track.line_width / 2);
            *out++ = on_line ? world.floor.line_gray : world.floor.floor_gray;
        }
    }
    picture->find_flat_squares();
    world.floor.picture = std::move(picture);
    return world;
}

}  // namespace sim
