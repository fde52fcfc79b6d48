#include "scenarios.hpp"

#include <numbers>
#include <random>

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

}  // namespace sim
