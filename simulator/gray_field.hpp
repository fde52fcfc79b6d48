#pragma once

// A seeded, spatially smooth variation of gray over the floor (a stain, a
// worn stretch of line). It is fixed to the floor, so the camera sees it move
// with the view. Value noise: a random value at each corner of a square grid,
// blended with a smooth step, so the field and its slope are continuous. Only
// integer hashing and + - * are used, so a seed gives the same field on every
// machine.

#include <cstdint>
#include <vector>

#include "settings.hpp"

namespace sim {

class GrayField {
public:
    static constexpr double CELL = 0.05;  // [m] side of the grid: stains a few centimetres across

    GrayField(std::uint64_t seed, double amplitude) : seed_(seed), amplitude_(amplitude) {}

    // Works out the grid's corners within the box from `low` to `high` [m]
    // once, for the many lookups of a frame there; lookups elsewhere still
    // work, only slower.
    void cover(Vec2 low, Vec2 high);

    // Where a point lies on the grid: its cell, and how far across it.
    struct Place {
        std::int64_t i = 0, j = 0;
        double u = 0.0, v = 0.0;  // smoothed, from 0 to 1
    };
    static Place place(Vec2 p);  // [m]

    // [gray levels] within +/- the amplitude; 0 everywhere for amplitude 0.
    double at(const Place& place) const;
    double at(Vec2 p) const { return at(place(p)); }
    double amplitude() const { return amplitude_; }

private:
    double corner(std::int64_t i, std::int64_t j) const;  // in [-1, 1)

    std::uint64_t seed_;
    double amplitude_;  // [gray levels]
    // The corners from (first_i_, first_j_), columns_ a row of them.
    std::int64_t first_i_ = 0, first_j_ = 0, columns_ = 0, rows_ = 0;
    std::vector<double> corners_;
};

}  // namespace sim
