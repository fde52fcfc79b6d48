// A picture floor and the camera's view of it: see picture.hpp.
#include "picture.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace sim {

double Picture::gray_at(Vec2 p) const {
    return gray_at_pixels((p.x - low.x) / pixel - 0.5, (high().y - p.y) / pixel - 0.5);
}

void Picture::find_flat_squares() {
    const std::int32_t across = cells_across(), down = cells_down();
    const std::size_t right = width > 1 ? 1 : 0, below = height > 1 ? static_cast<std::size_t>(width) : 0;
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
    const std::int32_t step = back ? -1 : 1;
    const double eu = step * du, ev = step * dv;  // [px] a sample walked
    const Picture::Reach reach = eu < 0 ? Picture::LEFT : Picture::RIGHT;
    const double per_u = 1 / std::abs(eu), per_v = 1 / ev;  // [samples a px], infinite if still
    // [px] kept from a square's far edge, far more than the rounding of u0 + c du,
    // so that every sample a span takes is inside its square.
    constexpr double MARGIN = 1e-6;
    constexpr double INF = std::numeric_limits<double>::infinity();
    // [px] the picture's edges, for a picture one pixel wide or high, whose one cell is no wider.
    const double right_edge = picture.width - 0.5, bottom_edge = picture.height - 0.5;
    for (std::int32_t walked = 0; walked < count;) {
        const std::int32_t c = back ? count - 1 - walked : walked;
        const double u = u0 + c * du, v = v0 + c * dv;
        std::int32_t i = 0, j = 0;
        if (!picture.cell_of(u, v, i, j)) {
            put(c, 1, outside);
            ++walked;
            continue;
        }
        const std::int32_t s = picture.square(i, j, reach);
        if (s == 0) {
            put(c, 1, picture.bilinear(u, v, i, j));
            ++walked;
            continue;
        }
        // Samples walked on before leaving the square, across and down.
        const double across = eu > 0   ? (std::min<double>(i + s, right_edge) - MARGIN - u) * per_u
                              : eu < 0 ? (u - std::max(i - s + 1, 0) - MARGIN) * per_u
                                       : INF;
        const double down = ev > 0 ? (std::min<double>(j + s, bottom_edge) - MARGIN - v) * per_v : INF;
        const double room = std::min({across, down, count - 1.0 - walked});
        const std::int32_t more = room > 0 ? static_cast<std::int32_t>(room) : 0;
        const std::uint8_t gray = picture.gray[static_cast<std::size_t>(j) * static_cast<std::size_t>(picture.width) +
                                               static_cast<std::size_t>(i)];
        put(back ? c - more : c, more + 1, gray);
        walked += more + 1;
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
