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

// A peanut of arcs, 2 cm line: two lobes of 0.3 m radius joined by two
// waists bent the other way (0.2 m radius), each arc tangent to the next.
WorldSettings peanut_world();
// The same peanut as a person imports it: `points` points taken evenly along
// its centre line (and the first again, to close it), joined by straights.
WorldSettings peanut_points_world(int points);

// `world` with every effect of a real robot, camera and floor on, at values
// like those of worlds/realistic_oval.toml.
WorldSettings with_every_effect(WorldSettings world);

// `world` on a picture of its own floor instead: pixels of `pixel` [m], each
// the line's gray where its centre lies on the line, else the floor's, over
// the floor the track's margin makes. The track stays, for the figures.
WorldSettings on_picture_of_itself(WorldSettings world, double pixel);

}  // namespace sim
