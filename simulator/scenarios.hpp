#pragma once

// Worlds built in code, shared by the tests and the benchmarks.

#include <cstdint>

#include "settings.hpp"

namespace sim {

// The world used when none is named (the built-in oval).
WorldSettings default_world();

// A closed, smooth, random-looking track of `segments` pieces (a multiple of
// 4): straights and gentle arcs (radius 0.4 m or more). Its first half turns
// by half a turn, and the second half repeats it, which closes the track.
// With 4 segments it is an oval.
WorldSettings winding_world(int segments, std::uint64_t seed);

// `world` with every effect of a real robot, camera and floor on, at values
// like those of worlds/realistic_oval.toml.
WorldSettings with_every_effect(WorldSettings world);

}  // namespace sim
