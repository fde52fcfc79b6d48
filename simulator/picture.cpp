// A picture floor and the camera's view of it: see picture.hpp.
#include "picture.hpp"

#include <algorithm>
#include <cstring>

namespace sim {

double Picture::gray_at(Vec2 p) const {
    return gray_at_pixels((p.x - low.x) / pixel - 0.5, (high().y - p.y) / pixel - 0.5);
}

void draw_picture(const CameraRays& fine, std::int32_t n, const Transform& robot, const Picture& picture,
                  std::uint8_t outside, const std::vector<double>& gains, std::uint8_t* image) {
    const std::int32_t width = fine.width() / n, height = fine.height() / n;
    const double per_sample = 1.0 / (static_cast<double>(n) * n);
    const double per_pixel = 1 / picture.pixel, top = picture.high().y;  // [1/m], [m]
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
                const double gray = picture.gray_at_pixels(u0 + c * du, v0 + c * dv);
                sums[static_cast<std::size_t>(c / n)] += gray < 0 ? outside : gray;
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
