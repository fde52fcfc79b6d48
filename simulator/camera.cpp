#include "camera.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace sim {
namespace {

// The pixel columns u (centres at whole numbers) of a row inside [lo, hi].
struct Span {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    bool empty() const { return !(lo <= hi); }
    // Keeps the u where a + b u >= 0.
    void at_least_zero(double a, double b) {
        if (b > 0) {
            lo = std::max(lo, -a / b);
        } else if (b < 0) {
            hi = std::min(hi, -a / b);
        } else if (a < 0) {
            hi = -std::numeric_limits<double>::infinity();
        }
    }
};

double dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
double cross(Vec2 a, Vec2 b) { return a.x * b.y - a.y * b.x; }

// The u where first + u step lies within `radius` of `centre`.
Span within_disc(Vec2 first, Vec2 step, Vec2 centre, double radius) {
    const Vec2 d{first.x - centre.x, first.y - centre.y};
    const double a = dot(step, step), b = dot(d, step), c = dot(d, d) - radius * radius;
    const double discriminant = b * b - a * c;
    if (discriminant < 0 || a == 0) return c <= 0 ? Span{} : Span{1, 0};
    const double root = std::sqrt(discriminant);
    return {(-b - root) / a, (-b + root) / a};
}

}  // namespace

Camera::Camera(const CameraSettings& settings, const FloorSettings& grays)
    : width_(settings.width),
      height_(settings.height),
      floor_gray_(grays.floor_gray),
      line_gray_(grays.line_gray),
      outside_gray_(grays.outside_gray),
      noise_(static_cast<std::int32_t>(std::lround(settings.noise))),
      rows_(static_cast<std::size_t>(height_)),
      image_(3 * static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), grays.outside_gray) {
    // The ray through pixel (c, r): the optical axis, plus (c + 0.5 - W/2)
    // focal units to the robot's left and, the camera being turned, row r
    // (r + 0.5 - H/2) units up the upright image, that is nearer.
    const double focal = (width_ / 2.0) / std::tan(settings.field_of_view / 2);  // [px]
    const double cp = std::cos(settings.pitch), sp = std::sin(settings.pitch);
    constexpr double inf = std::numeric_limits<double>::infinity();
    low_ = {inf, inf};
    high_ = {-inf, -inf};
    for (std::int32_t r = 0; r < height_; ++r) {
        const double down = -(r + 0.5 - height_ / 2.0) / focal;  // below the optical axis
        // Optical axis (cp, 0, -sp); image down (-sp, 0, -cp); robot's left (0, 1, 0).
        const double dx = cp - down * sp, dz = -sp - down * cp;
        if (dz >= 0) continue;  // at or above the horizon
        const double t = settings.mount_height / -dz;
        Row& row = rows_[static_cast<std::size_t>(r)];
        row = {true, settings.mount_forward + t * dx, t * (0.5 - width_ / 2.0) / focal, t / focal};
        const double last = row.left + (width_ - 1) * row.step;
        low_ = {std::min(low_.x, row.ahead), std::min(low_.y, row.left)};
        high_ = {std::max(high_.x, row.ahead), std::max(high_.y, last)};
    }
}

Vec2 Camera::ground_point(std::int32_t column, std::int32_t row) const {
    const Row& r = rows_[static_cast<std::size_t>(row)];
    if (!r.sees_floor) return {std::nan(""), std::nan("")};
    return {r.ahead, r.left + column * r.step};
}

void Camera::render(const Pose& pose, const Track& track, double line_width, const Floor& floor,
                    std::uint64_t& noise_state) {
    const double c = std::cos(pose.heading), s = std::sin(pose.heading);
    const auto to_floor = [&](double ahead, double left) {
        return Vec2{pose.x + c * ahead - s * left, pose.y + s * ahead + c * left};
    };
    const double half_width = line_width / 2;

    // The pieces of line that may show: those near the box round the view.
    nearby_.clear();
    Vec2 low{INFINITY, INFINITY}, high{-INFINITY, -INFINITY};
    if (low_.x <= high_.x) {
        for (const double a : {low_.x, high_.x}) {
            for (const double l : {low_.y, high_.y}) {
                const Vec2 p = to_floor(a, l);
                low = {std::min(low.x, p.x), std::min(low.y, p.y)};
                high = {std::max(high.x, p.x), std::max(high.y, p.y)};
            }
        }
        track.pieces_near(low, high, nearby_);
        // Keep the drawn pieces that pass within half a line of the circle round the view.
        const Vec2 centre = to_floor((low_.x + high_.x) / 2, (low_.y + high_.y) / 2);
        const double radius = std::hypot(high_.x - low_.x, high_.y - low_.y) / 2 + half_width;
        std::erase_if(nearby_, [&](std::uint32_t i) {
            const Piece& piece = track.pieces()[i];
            return piece.gap || distance_to_piece(piece, centre) > radius;
        });
    }

    const bool whole_view_on_floor = floor.contains(low) && floor.contains(high);
    const auto row_bytes = 3 * static_cast<std::size_t>(width_);
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        std::uint8_t* out = image_.data() + r * row_bytes;
        const Row& row = rows_[r];
        if (!row.sees_floor) {
            std::memset(out, outside_gray_, row_bytes);
            continue;
        }
        paint_row(out, to_floor(row.ahead, row.left), {-s * row.step, c * row.step}, track, half_width, floor,
                  whole_view_on_floor);
    }

    if (noise_ > 0) {
        // xorshift64*: the same seed gives the same noise on every machine.
        const auto span = static_cast<std::uint64_t>(2 * noise_ + 1);
        for (std::uint8_t& byte : image_) {
            noise_state ^= noise_state >> 12;
            noise_state ^= noise_state << 25;
            noise_state ^= noise_state >> 27;
            const auto offset = static_cast<std::int32_t>(((noise_state * 0x2545F4914F6CDD1DULL) >> 32) % span) - noise_;
            byte = static_cast<std::uint8_t>(std::clamp(byte + offset, 0, 255));
        }
    }
}

// One image row whose pixel centres lie on the floor at first + u step,
// u = 0 .. width - 1.
void Camera::paint_row(std::uint8_t* out, Vec2 first, Vec2 step, const Track& track, double half_width,
                       const Floor& floor, bool whole_view_on_floor) const {
    const double last_column = width_ - 1;
    const auto paint = [&](Span span, std::uint8_t gray) {
        if (!(span.lo <= span.hi && span.lo <= last_column && span.hi >= 0)) return;  // false for NaN too
        const double lo = std::max(span.lo, 0.0), hi = std::min(span.hi, last_column);
        auto begin = static_cast<std::size_t>(lo);  // rounded up below: the first centre inside
        if (static_cast<double>(begin) < lo) ++begin;
        const auto end = static_cast<std::size_t>(hi) + 1;
        if (begin < end) std::memset(out + 3 * begin, gray, 3 * (end - begin));
    };

    // The floor's edges bound what is light; past them the camera sees the
    // outside. Most frames see no edge at all.
    Span on_floor;
    if (!whole_view_on_floor) {
        on_floor.at_least_zero(first.x - floor.low.x, step.x);
        on_floor.at_least_zero(floor.high.x - first.x, -step.x);
        on_floor.at_least_zero(first.y - floor.low.y, step.y);
        on_floor.at_least_zero(floor.high.y - first.y, -step.y);
        std::memset(out, outside_gray_, 3 * static_cast<std::size_t>(width_));
        if (on_floor.empty()) return;
    }
    paint(on_floor, floor_gray_);

    const Vec2 middle{first.x + step.x * last_column / 2, first.y + step.y * last_column / 2};
    const double half_row = std::sqrt(dot(step, step)) * last_column / 2;
    const auto clip = [&](Span span) {
        span.lo = std::max(span.lo, on_floor.lo);
        span.hi = std::min(span.hi, on_floor.hi);
        return span;
    };
    for (const std::uint32_t index : nearby_) {
        const Piece& piece = track.pieces()[index];
        // Pieces whose bounding circle the row passes far from draw nothing on it.
        const Vec2 apart{piece.middle.x - middle.x, piece.middle.y - middle.y};
        const double near = piece.reach + half_width + half_row;
        if (dot(apart, apart) > near * near) continue;
        // The line is every point within half its width of the centre line: a
        // band beside each piece, and a disc at an end where the line does
        // not go on smoothly (where it does, the bands on either side already
        // cover the disc).
        if (piece.cap_start) paint(clip(within_disc(first, step, piece.start, half_width)), line_gray_);
        if (piece.cap_end) paint(clip(within_disc(first, step, piece.end, half_width)), line_gray_);
        if (piece.curvature == 0.0) {
            const Vec2 d{first.x - piece.start.x, first.y - piece.start.y};
            Span band = clip({});
            const double along = dot(d, piece.direction), along_step = dot(step, piece.direction);
            const double side = cross(piece.direction, d), side_step = cross(piece.direction, step);
            band.at_least_zero(along, along_step);
            band.at_least_zero(piece.length - along, -along_step);
            band.at_least_zero(half_width - side, -side_step);
            band.at_least_zero(half_width + side, side_step);
            paint(band, line_gray_);
        } else {
            // An annulus between the radii R -/+ half width, within the
            // piece's wedge (at most a quarter turn, so two half-planes).
            const double sign = piece.curvature > 0 ? 1.0 : -1.0;
            const Vec2 d{first.x - piece.centre.x, first.y - piece.centre.y};
            Span wedge = clip({});
            wedge.at_least_zero(sign * cross(piece.from, d), sign * cross(piece.from, step));
            wedge.at_least_zero(sign * cross(d, piece.to), sign * cross(step, piece.to));
            if (wedge.empty()) continue;
            const Span outer = within_disc(first, step, piece.centre, piece.radius + half_width);
            const Span inner = half_width < piece.radius ? within_disc(first, step, piece.centre, piece.radius - half_width)
                                                         : Span{1, 0};
            if (inner.empty()) {
                paint({std::max(outer.lo, wedge.lo), std::min(outer.hi, wedge.hi)}, line_gray_);
            } else {
                // Skip the inner disc's open interval; its ends are on the line.
                paint({std::max(outer.lo, wedge.lo), std::min({outer.hi, wedge.hi, inner.lo})}, line_gray_);
                paint({std::max({outer.lo, wedge.lo, inner.hi}), std::min(outer.hi, wedge.hi)}, line_gray_);
            }
        }
    }
}

}  // namespace sim
