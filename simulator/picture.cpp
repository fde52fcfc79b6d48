// A picture floor and the camera's view of it: see picture.hpp.
#include "picture.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace sim {

double Picture::gray_at(Vec2 p) const {
    return gray_at_pixels((p.x - low.x) / pixel - 0.5, (high().y - p.y) / pixel - 0.5);
}

void Picture::find_flat_tiles() {
    const std::int32_t across = tiles_across(), down = tiles_down();
    tiles.assign(static_cast<std::size_t>(across) * static_cast<std::size_t>(down), Tile{});
    const auto at = [&](std::int32_t ti, std::int32_t tj) -> Tile& {
        return tiles[static_cast<std::size_t>(tj) * static_cast<std::size_t>(across) + static_cast<std::size_t>(ti)];
    };
    // Each tile's distance [tiles] to the nearest one not flat, or past the
    // picture's edge, in the larger of across and down (two sweeps, each
    // from the four neighbours already swept); one less is its reach.
    constexpr std::int32_t FAR = 1 << 16;
    std::vector<std::int32_t> distance(tiles.size());
    const auto d = [&](std::int32_t ti, std::int32_t tj) -> std::int32_t& {
        return distance[static_cast<std::size_t>(tj) * static_cast<std::size_t>(across) + static_cast<std::size_t>(ti)];
    };
    for (std::int32_t tj = 0; tj < down; ++tj) {
        for (std::int32_t ti = 0; ti < across; ++ti) {
            // The pixels the tile's cells read: its own and the next column and row, within the picture.
            const std::int32_t right = std::min(ti * TILE + TILE, width - 1);
            const std::int32_t bottom = std::min(tj * TILE + TILE, height - 1);
            const std::uint8_t first = gray[static_cast<std::size_t>(tj * TILE) * static_cast<std::size_t>(width) +
                                            static_cast<std::size_t>(ti * TILE)];
            bool same = true;
            for (std::int32_t v = tj * TILE; v <= bottom && same; ++v) {
                const std::uint8_t* row = gray.data() + static_cast<std::size_t>(v) * static_cast<std::size_t>(width);
                for (std::int32_t u = ti * TILE; u <= right && same; ++u) same = row[u] == first;
            }
            if (same) at(ti, tj).gray = first;
            d(ti, tj) = same ? std::min({ti + 1, tj + 1, across - ti, down - tj}) : 0;
        }
    }
    // Tiles next to each other share a column or row of pixels (or a
    // corner), so flat ones that touch have one gray: a square of flat
    // tiles is of one gray.
    for (std::int32_t tj = 0; tj < down; ++tj)
        for (std::int32_t ti = 0; ti < across; ++ti)
            for (const auto& [di, dj] : {std::pair{-1, -1}, {0, -1}, {1, -1}, {-1, 0}})
                if (ti + di >= 0 && ti + di < across && tj + dj >= 0)
                    d(ti, tj) = std::min(d(ti, tj), d(ti + di, tj + dj) + 1);
    for (std::int32_t tj = down - 1; tj >= 0; --tj)
        for (std::int32_t ti = across - 1; ti >= 0; --ti)
            for (const auto& [di, dj] : {std::pair{1, 1}, {0, 1}, {-1, 1}, {1, 0}})
                if (ti + di >= 0 && ti + di < across && tj + dj < down)
                    d(ti, tj) = std::min(d(ti, tj), d(ti + di, tj + dj) + 1);
    for (std::int32_t tj = 0; tj < down; ++tj)
        for (std::int32_t ti = 0; ti < across; ++ti)
            if (d(ti, tj) > 0) at(ti, tj).reach = static_cast<std::uint16_t>(std::min(d(ti, tj), FAR - 1) - 1);
}

namespace {

// Samples a row of `count` points evenly spaced in the picture, the first
// at (u0, v0) [px] and then (du, dv) a point, handing each run of samples
// of one gray to put(first, count, gray): flat tiles' samples at once,
// the rest one by one.
template <typename Put>
void sample_row(const Picture& picture, double u0, double v0, double du, double dv, std::int32_t count,
                std::uint8_t outside, Put&& put) {
    // Samples after one at x [px], stepping by dx, before x leaves [low, high).
    const auto reach = [](double x, double dx, double low, double high) {
        if (dx > 0) return (high - x) / dx;
        if (dx < 0) return (x - low) / -dx;
        return std::numeric_limits<double>::infinity();
    };
    constexpr std::int32_t T = Picture::TILE;
    for (std::int32_t c = 0; c < count;) {
        const double u = u0 + c * du, v = v0 + c * dv;
        std::int32_t i = 0, j = 0;
        if (!picture.cell_of(u, v, i, j)) {
            put(c++, 1, outside);
            continue;
        }
        const Picture::Tile tile = picture.tile_of(i, j);
        if (tile.gray < 0) {
            put(c++, 1, picture.bilinear(u, v, i, j));
            continue;
        }
        // The samples are monotonic in c, and the square of flat tiles round
        // this one and the picture are boxes: if the last of a run is in
        // both, so is each between.
        const std::int32_t ti = i / T, tj = j / T, r = tile.reach;
        const double room =
            std::min(reach(u, du, (ti - r) * T, (ti + r + 1) * T), reach(v, dv, (tj - r) * T, (tj + r + 1) * T));
        std::int32_t more = static_cast<std::int32_t>(std::clamp<double>(std::floor(room), 0, count - 1 - c));
        const auto in_run = [&](std::int32_t k) {
            std::int32_t ki = 0, kj = 0;
            return picture.cell_of(u0 + k * du, v0 + k * dv, ki, kj) && std::abs(ki / T - ti) <= r &&
                   std::abs(kj / T - tj) <= r;
        };
        // A guess a sample too far by rounding, or past the picture's edge: back one, then by halves.
        if (more > 0 && !in_run(c + more)) --more;
        while (more > 0 && !in_run(c + more)) more /= 2;
        put(c, more + 1, tile.gray);
        c += more + 1;
    }
}

}  // namespace

void draw_picture(const CameraRays& fine, std::int32_t n, const Transform& robot, const Picture& picture,
                  std::uint8_t outside, const std::vector<double>& gains, std::uint8_t* image) {
    const std::int32_t width = fine.width() / n, height = fine.height() / n;
    const double per_sample = 1.0 / (static_cast<double>(n) * n);
    const double per_pixel = 1 / picture.pixel, top = picture.high().y;  // [1/m], [m]
    // Rounded to the nearest level, half up.
    const auto level = [](double gray) { return static_cast<std::uint8_t>(std::clamp(gray, 0.0, 255.0) + 0.5); };
    // With one sample a pixel and no gain, runs of one gray go to the image as they are.
    const bool direct = n == 1 && gains.empty();
    std::vector<double> sums(direct ? 0 : static_cast<std::size_t>(width));
    for (std::int32_t r = 0; r < height; ++r) {
        std::uint8_t* out = image + 3 * static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
        std::fill(sums.begin(), sums.end(), 0.0);
        for (std::int32_t j = 0; j < n; ++j) {
            const RowRays& row = fine.row(static_cast<std::size_t>(r * n + j));
            if (!row.sees_floor) {
                if (direct) std::memset(out, outside, 3 * static_cast<std::size_t>(width));
                for (double& sum : sums) sum += n * outside;
                continue;
            }
            // Along a row the ground points are evenly spaced: in the picture's
            // pixels [px] from the top-left pixel's centre, the first, then a step a sample.
            const Vec2 first = to_floor(robot, {row.ahead, row.left});
            const double u0 = (first.x - picture.low.x) * per_pixel - 0.5, v0 = (top - first.y) * per_pixel - 0.5;
            const double du = -robot.q.s * row.step * per_pixel, dv = -robot.q.c * row.step * per_pixel;
            if (direct) {
                sample_row(picture, u0, v0, du, dv, width, outside,
                           [&](std::int32_t c, std::int32_t count, double gray) {
                               std::memset(out + 3 * c, level(gray), 3 * static_cast<std::size_t>(count));
                           });
            } else {
                sample_row(picture, u0, v0, du, dv, fine.width(), outside,
                           [&](std::int32_t c, std::int32_t count, double gray) {
                               for (std::int32_t k = c; k < c + count; ++k)
                                   sums[static_cast<std::size_t>(k / n)] += gray;
                           });
            }
        }
        for (std::size_t c = 0; c < sums.size(); ++c) {
            const std::size_t at = static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + c;
            std::memset(out + 3 * c, level(sums[c] * per_sample * (gains.empty() ? 1.0 : gains[at])), 3);
        }
    }
}

}  // namespace sim
