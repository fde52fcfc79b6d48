// A picture floor and the camera's view of it: see picture.hpp.
#include "picture.hpp"

#include <algorithm>
#include <cstring>

namespace sim {

double Picture::gray_at(Vec2 p) const {
    // [px] from the centre of the top-left pixel, across and down.
    const double u = (p.x - low.x) / pixel - 0.5, v = (low.y + height * pixel - p.y) / pixel - 0.5;
    if (!(u >= -0.5 && v >= -0.5 && u <= width - 0.5 && v <= height - 0.5)) return -1.0;
    const double cu = std::clamp(u, 0.0, width - 1.0), cv = std::clamp(v, 0.0, height - 1.0);
    // Rounded down by the conversion: both are at least 0.
    const auto i = std::min(static_cast<std::int32_t>(cu), width - 2 < 0 ? 0 : width - 2);
    const auto j = std::min(static_cast<std::int32_t>(cv), height - 2 < 0 ? 0 : height - 2);
    const double a = cu - i, b = cv - j;
    const std::uint8_t* row =
        gray.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(width) + static_cast<std::size_t>(i);
    // A picture one pixel wide or high has no second column or row: the first again.
    const std::size_t right = width > 1 ? 1 : 0, below = height > 1 ? static_cast<std::size_t>(width) : 0;
    const double top = row[0] + (row[right] - row[0]) * a;
    const double bottom = row[below] + (row[below + right] - row[below]) * a;
    return top + (bottom - top) * b;
}

void draw_picture(const CameraRays& fine, std::int32_t n, const Transform& robot, const Picture& picture,
                  std::uint8_t outside, const std::vector<double>& gains, std::uint8_t* image) {
    const std::int32_t width = fine.width() / n, height = fine.height() / n;
    const double per_sample = 1.0 / (static_cast<double>(n) * n);
    const double per_pixel = 1 / picture.pixel, top = picture.high().y;  // [1/m], [m]
    const double last_u = picture.width - 1.0, last_v = picture.height - 1.0;
    // The cell's corner for bilinear weights: one before the last, so that the last pixel's right neighbour exists.
    const std::int32_t last_i = std::max(picture.width - 2, 0), last_j = std::max(picture.height - 2, 0);
    const std::size_t right = picture.width > 1 ? 1 : 0;
    const std::size_t below = picture.height > 1 ? static_cast<std::size_t>(picture.width) : 0;
    std::vector<double> sums(static_cast<std::size_t>(width));
    for (std::int32_t r = 0; r < height; ++r) {
        std::fill(sums.begin(), sums.end(), 0.0);
        for (std::int32_t j = 0; j < n; ++j) {
            const RowRays& row = fine.row(static_cast<std::size_t>(r * n + j));
            if (!row.sees_floor) {
                for (double& sum : sums) sum += n * outside;
                continue;
            }
            // Along a row the ground points are evenly spaced: in the picture's
            // pixels [px] from the top-left pixel's centre, the first, then a step a sample.
            const Vec2 first = to_floor(robot, {row.ahead, row.left});
            const double u0 = (first.x - picture.low.x) * per_pixel - 0.5, v0 = (top - first.y) * per_pixel - 0.5;
            const double du = -robot.q.s * row.step * per_pixel, dv = -robot.q.c * row.step * per_pixel;
            for (std::int32_t c = 0; c < fine.width(); ++c) {
                const double u = u0 + c * du, v = v0 + c * dv;
                double gray = outside;
                if (u >= -0.5 && v >= -0.5 && u <= last_u + 0.5 && v <= last_v + 0.5) {
                    // The edge pixels' own gray out to the edge.
                    const double cu = std::clamp(u, 0.0, last_u), cv = std::clamp(v, 0.0, last_v);
                    const std::int32_t i = std::min(static_cast<std::int32_t>(cu), last_i);
                    const std::int32_t k = std::min(static_cast<std::int32_t>(cv), last_j);
                    const double a = cu - i, b = cv - k;
                    const std::uint8_t* p = picture.gray.data() +
                                            static_cast<std::size_t>(k) * static_cast<std::size_t>(picture.width) +
                                            static_cast<std::size_t>(i);
                    const double upper = p[0] + (p[right] - p[0]) * a;
                    const double lower = p[below] + (p[below + right] - p[below]) * a;
                    gray = upper + (lower - upper) * b;
                }
                sums[static_cast<std::size_t>(c / n)] += gray;
            }
        }
        for (std::int32_t c = 0; c < width; ++c) {
            const std::size_t at =
                static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + static_cast<std::size_t>(c);
            const double gray = sums[static_cast<std::size_t>(c)] * per_sample * (gains.empty() ? 1.0 : gains[at]);
            // Rounded to the nearest level, half up.
            std::memset(image + 3 * at, static_cast<std::uint8_t>(std::clamp(gray, 0.0, 255.0) + 0.5), 3);
        }
    }
}

}  // namespace sim
