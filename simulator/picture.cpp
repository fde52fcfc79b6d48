// A picture floor and the camera's view of it: see picture.hpp.
#include "picture.hpp"

#include <cmath>
#include <cstring>

namespace sim {

double Picture::gray_at(Vec2 p) const {
    return gray_at_pixels((p.x - low.x) / pixel - 0.5, (high().y - p.y) / pixel - 0.5);
}

void Picture::find_flat_squares() {
    const std::int32_t across = cells_across(), down = cells_down();
    const std::size_t right = next_across(), below = next_down();
    for (const Reach reach : {RIGHT, LEFT}) {
        std::vector<std::uint8_t>& sides = squares[reach];
        sides.assign(static_cast<std::size_t>(across) * static_cast<std::size_t>(down), 0);
        const auto at = [&](std::int32_t i, std::int32_t j) -> std::uint8_t& {
            return sides[static_cast<std::size_t>(j) * static_cast<std::size_t>(across) + static_cast<std::size_t>(i)];
        };
        // From the bottom, and from the side the squares reach to, so that the
        // three cells below, beside and diagonally are done first.
        const std::int32_t di = reach == RIGHT ? 1 : -1;
        for (std::int32_t j = down - 1; j >= 0; --j) {
            for (std::int32_t m = 0; m < across; ++m) {
                const std::int32_t i = reach == RIGHT ? across - 1 - m : m;
                const std::uint8_t* p = gray.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(width) +
                                        static_cast<std::size_t>(i);
                if (!(p[0] == p[right] && p[0] == p[below] && p[0] == p[below + right])) continue;
                const bool inner = i + di >= 0 && i + di < across && j + 1 < down;
                const int next = inner ? std::min({at(i + di, j), at(i, j + 1), at(i + di, j + 1)}) : 0;
                at(i, j) = static_cast<std::uint8_t>(std::min(next + 1, 255));
            }
        }
    }
}

namespace {

// Samples a row of `count` points evenly spaced in the picture, the first
// at (u0, v0) [px] and then (du, dv) a point, handing each run of samples
// of one gray to put(first, count, gray): a flat square's samples at once,
// the rest one by one.
template <typename Put>
void sample_row(const Picture& picture, double u0, double v0, double du, double dv, std::int32_t count,
                std::uint8_t outside, Put&& put) {
    // Walked so that v does not fall: then the squares reach the row's way.
    const bool back = dv < 0 || (dv == 0 && du < 0);
    const double eu = back ? -du : du, ev = back ? -dv : dv;  // [px] a sample walked
    const std::uint8_t* sides = picture.squares_of(eu < 0 ? Picture::LEFT : Picture::RIGHT);
    // A sample in a cell of a square of side s is at least s - 1 cells from
    // the square's far edges, across and down: the samples walked in that
    // distance [1/65536 samples a cell], a millionth short (at least 1e-6 px
    // for s > 1, far more than the rounding of u0 + c du even 2^26 px out),
    // so that every sample a span takes is inside its square.
    const double per_cell = std::min(1 / std::abs(eu), 1 / std::abs(ev)) * (1 - 1e-6) * 65536;
    const std::int64_t walk = per_cell < 0x1p40 ? static_cast<std::int64_t>(per_cell) : std::int64_t{1} << 40;
    // [px] short of these a sample's cell is its (u, v) rounded down, the picture's edges not in reach.
    const double last_u = picture.width - 1.0, last_v = picture.height - 1.0;
    const auto across = static_cast<std::size_t>(picture.cells_across()),
               width = static_cast<std::size_t>(picture.width);
    for (std::int32_t walked = 0; walked < count;) {
        const std::int32_t c = back ? count - 1 - walked : walked;
        const double u = u0 + c * du, v = v0 + c * dv;
        if (sides != nullptr && u >= 0 && v >= 0 && u < last_u && v < last_v) {
            const auto i = static_cast<std::size_t>(u), j = static_cast<std::size_t>(v);
            const std::int64_t s = sides[j * across + i];
            if (s > 0) {
                const auto more =
                    static_cast<std::int32_t>(std::min<std::int64_t>(((s - 1) * walk) >> 16, count - 1 - walked));
                put(back ? c - more : c, more + 1, picture.gray[j * width + i]);
                walked += more + 1;
                continue;
            }
        }
        std::int32_t i = 0, j = 0;
        put(c, 1, picture.cell_of(u, v, i, j) ? picture.bilinear(u, v, i, j) : outside);
        ++walked;
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
