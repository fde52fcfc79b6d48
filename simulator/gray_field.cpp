// The floor's seeded, smooth variation of gray: value noise on a square grid.

#include "gray_field.hpp"

#include <algorithm>
#include <cmath>

#include "random.hpp"

namespace sim {
namespace {

// Corners worked out ahead at most: a view far larger than any camera's on a
// line follower is looked up corner by corner instead.
constexpr std::int64_t MOST_CORNERS = 4096;

// 0 at 0, 1 at 1, with zero slope and curvature at both ends.
double smooth_step(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// The grid cell holding coordinate `x` [m], and how far across it `x` lies.
// Clamped so that the conversion stays defined (no floor reaches that far);
// rounded down by hand, since std::floor is a library call on plain x86-64.
std::int64_t cell(double x, double& across) {
    const double at = std::clamp(x * (1 / GrayField::CELL), -1e15, 1e15);
    auto i = static_cast<std::int64_t>(at);
    if (static_cast<double>(i) > at) --i;
    across = std::clamp(at - static_cast<double>(i), 0.0, 1.0);
    return i;
}
std::int64_t cell(double x) {
    double across = 0.0;
    return cell(x, across);
}

}  // namespace

double GrayField::corner(std::int64_t i, std::int64_t j) const {
    std::uint64_t state =
        mix_seed(seed_ ^ mix_seed(static_cast<std::uint64_t>(i) ^ mix_seed(static_cast<std::uint64_t>(j))));
    return next_symmetric(state);
}

void GrayField::cover(Vec2 low, Vec2 high) {
    columns_ = rows_ = 0;
    if (amplitude_ == 0.0 || !(low.x <= high.x && low.y <= high.y)) return;
    const std::int64_t i = cell(low.x), j = cell(low.y);
    const std::int64_t columns = cell(high.x) - i + 2, rows = cell(high.y) - j + 2;
    if (columns > MOST_CORNERS || rows > MOST_CORNERS || columns * rows > MOST_CORNERS) return;
    corners_.resize(static_cast<std::size_t>(columns * rows));
    for (std::int64_t b = 0; b < rows; ++b) {
        for (std::int64_t a = 0; a < columns; ++a)
            corners_[static_cast<std::size_t>(b * columns + a)] = corner(i + a, j + b);
    }
    first_i_ = i;
    first_j_ = j;
    columns_ = columns;
    rows_ = rows;
}

GrayField::Place GrayField::place(Vec2 p) {
    Place place;
    place.i = cell(p.x, place.u);
    place.j = cell(p.y, place.v);
    place.u = smooth_step(place.u);
    place.v = smooth_step(place.v);
    return place;
}

double GrayField::at(const Place& place) const {
    if (amplitude_ == 0.0) return 0.0;
    const auto [i, j, u, v] = place;
    double c[4];  // the cell's corners: (i, j), (i + 1, j), (i, j + 1), (i + 1, j + 1)
    const std::int64_t di = i - first_i_, dj = j - first_j_;
    if (di >= 0 && di + 1 < columns_ && dj >= 0 && dj + 1 < rows_) {
        const double* row = corners_.data() + dj * columns_ + di;
        c[0] = row[0], c[1] = row[1], c[2] = row[columns_], c[3] = row[columns_ + 1];
    } else {
        c[0] = corner(i, j), c[1] = corner(i + 1, j), c[2] = corner(i, j + 1), c[3] = corner(i + 1, j + 1);
    }
    const double low = c[0] + (c[1] - c[0]) * u;
    const double high = c[2] + (c[3] - c[2]) * u;
    return amplitude_ * (low + (high - low) * v);
}

}  // namespace sim
