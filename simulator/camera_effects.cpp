// The camera's effects: shading from a finer drawing, and noise. See camera_effects.hpp.
#include "camera_effects.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "random.hpp"

namespace sim {
namespace {

// Told apart from the other seeds' streams, so that the line's wear does not
// repeat the floor's stains.
constexpr std::uint64_t FLOOR_STREAM = 0x3C6EF372FE94F82BULL, LINE_STREAM = 0xA54FF53A5F1D36F1ULL;

}  // namespace

CameraEffects::CameraEffects(const CameraSettings& settings, const FloorSettings& grays, std::uint64_t seed)
    : shaded_(settings.antialias > 1 || settings.exposure_gain != 1.0 || settings.vignetting > 0 ||
              grays.floor_gray_variation > 0 || grays.line_gray_variation > 0),
      noise_(std::max(0, static_cast<std::int32_t>(std::lround(settings.noise)))),
      noise_state_(mix_seed(seed)),
      floor_gray_(grays.floor_gray),
      line_gray_(grays.line_gray),
      outside_gray_(grays.outside_gray),
      floor_variation_(mix_seed(seed ^ FLOOR_STREAM), grays.floor_gray_variation),
      line_variation_(mix_seed(seed ^ LINE_STREAM), grays.line_gray_variation) {
    if (!shaded_) return;
    antialias_ = std::max(settings.antialias, 1);
    // Vignetting grows with the square of the distance from the image's
    // centre, to its full amount at the corner pixels.
    const std::int32_t width = settings.width, height = settings.height;
    const double half_w = (width - 1) / 2.0, half_h = (height - 1) / 2.0;
    const double corner = half_w * half_w + half_h * half_h;  // [px^2]
    gains_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::int32_t r = 0; r < height; ++r) {
        for (std::int32_t c = 0; c < width; ++c) {
            const double dx = c - half_w, dy = r - half_h;
            const double darker = corner > 0 ? settings.vignetting * (dx * dx + dy * dy) / corner : 0.0;
            gains_[static_cast<std::size_t>(r * width + c)] = settings.exposure_gain * (1 - darker);
        }
    }
}

CameraSettings CameraEffects::finer(const CameraSettings& settings) const {
    CameraSettings finer = settings;
    finer.width *= antialias_;
    finer.height *= antialias_;
    finer.noise = 0;
    finer.antialias = 1;
    finer.exposure_gain = 1.0;
    finer.vignetting = 0.0;
    return finer;
}

FloorSettings CameraEffects::labels() {
    FloorSettings labels;
    labels.floor_gray = ON_FLOOR;
    labels.line_gray = ON_LINE;
    labels.outside_gray = OUTSIDE;
    labels.floor_gray_variation = labels.line_gray_variation = 0.0;
    return labels;
}

void CameraEffects::shade(const CameraRays& rays, const Transform& robot, const std::uint8_t* fine,
                          std::uint8_t* image) {
    const std::int32_t width = rays.width(), height = rays.height();
    const auto n = static_cast<std::size_t>(antialias_);
    const std::size_t fine_width = static_cast<std::size_t>(width) * n;
    const double per_sample = 1.0 / static_cast<double>(n * n);
    const bool varied = floor_variation_.amplitude() > 0 || line_variation_.amplitude() > 0;
    if (varied) {
        Vec2 low, high;
        rays.floor_box(robot, low, high);
        floor_variation_.cover(low, high);
        line_variation_.cover(low, high);
    }
    for (std::int32_t r = 0; r < height; ++r) {
        const RowRays& row = rays.row(static_cast<std::size_t>(r));
        for (std::int32_t col = 0; col < width; ++col) {
            // The pixel's sub-pixels on the floor, on the line and outside it:
            // the labels 0, 1 and 2 add up to line + 2 outside, and halved to outside.
            std::int32_t sum = 0, halves = 0;
            for (std::size_t j = 0; j < n; ++j) {
                const std::uint8_t* labels =
                    fine + 3 * ((static_cast<std::size_t>(r) * n + j) * fine_width + static_cast<std::size_t>(col) * n);
                for (std::size_t i = 0; i < n; ++i) {
                    sum += labels[3 * i];
                    halves += labels[3 * i] >> 1;
                }
            }
            const std::int32_t count[3] = {static_cast<std::int32_t>(n * n) - sum + halves, sum - 2 * halves, halves};
            double floor_gray = floor_gray_, line_gray = line_gray_;
            if (varied && row.sees_floor) {
                // Where the pixel's centre looks: the variation is smooth over centimetres, a pixel's footprint
                // millimetres.
                const double ahead = row.ahead, left = row.left + col * row.step;
                const GrayField::Place p = GrayField::place(to_floor(robot, {ahead, left}));
                if (count[ON_FLOOR] > 0) floor_gray += floor_variation_.at(p);
                if (count[ON_LINE] > 0) line_gray += line_variation_.at(p);
            }
            const double gray =
                (count[ON_FLOOR] * floor_gray + count[ON_LINE] * line_gray + count[OUTSIDE] * outside_gray_) *
                per_sample * gains_[static_cast<std::size_t>(r * width + col)];
            // Rounded to the nearest level, half up.
            const auto byte = static_cast<std::uint8_t>(std::clamp(gray, 0.0, 255.0) + 0.5);
            std::memset(image + 3 * static_cast<std::size_t>(r * width + col), byte, 3);
        }
    }
}

void CameraEffects::add_noise(std::vector<std::uint8_t>& image) {
    if (noise_ <= 0) return;
    // xorshift64*: the same seed gives the same noise on every machine.
    const auto span = static_cast<std::uint64_t>(2 * noise_ + 1);
    for (std::uint8_t& byte : image) {
        const auto offset = static_cast<std::int32_t>((next_random(noise_state_) >> 32) % span) - noise_;
        byte = static_cast<std::uint8_t>(std::clamp(byte + offset, 0, 255));
    }
}

}  // namespace sim
