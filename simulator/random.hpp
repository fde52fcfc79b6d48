#pragma once

// The simulator's random numbers: small generators whose output is the same
// on every machine for the same seed, so that a world and its seed give the
// same run everywhere.

#include <cstdint>

namespace sim {

// Seeds a generator that must not start from 0 (splitmix64's finaliser).
inline std::uint64_t mix_seed(std::uint64_t seed) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z == 0 ? 1 : z;
}

// xorshift64*: advances `state` (never 0) and returns 64 random bits.
inline std::uint64_t next_random(std::uint64_t& state) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

// Uniform in [-1, 1).
inline double next_symmetric(std::uint64_t& state) {
    return static_cast<double>(next_random(state) >> 11) * 0x1p-52 - 1.0;
}

}  // namespace sim
