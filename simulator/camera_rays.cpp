// The camera's fixed ray geometry, worked out once: see camera_rays.hpp.
#include "camera_rays.hpp"

#include <algorithm>
#include <limits>

namespace sim {

CameraRays::CameraRays(const CameraSettings& settings)
    : width_(settings.width), height_(settings.height), rows_(static_cast<std::size_t>(settings.height)) {
    const Pinhole pinhole(settings);
    const double focal = pinhole.focal;
    constexpr double inf = std::numeric_limits<double>::infinity();
    low_ = {inf, inf};
    high_ = {-inf, -inf};
    for (std::int32_t r = 0; r < height_; ++r) {
        const Pinhole::Ray ray = pinhole.through_row(r + 0.5, height_);
        if (ray.z >= 0) continue;  // at or above the horizon
        const double t = settings.mount_height / -ray.z;
        RowRays& row = rows_[static_cast<std::size_t>(r)];
        row = {true, settings.mount_forward + t * ray.x, t * (0.5 - width_ / 2.0) / focal, t / focal, focal / t};
        const double last = row.left + (width_ - 1) * row.step;
        low_ = {std::min(low_.x, row.ahead), std::min(low_.y, row.left)};
        high_ = {std::max(high_.x, row.ahead), std::max(high_.y, last)};
        floor_rows_ = static_cast<std::size_t>(r) + 1;  // rows past the horizon see none: the first ones do
    }
    if (floor_rows_ == 0) return;
    // The pixel centres of a column lie on one line on the floor (the
    // camera's rays through a column lie in a plane): the first and the
    // last column's lines bound the view at the sides, narrower near the
    // robot than the box round it.
    const RowRays &near = rows_.front(), &far = rows_[floor_rows_ - 1];
    const auto edge = [&](Vec2 from, Vec2 to, double side) {
        const double length = std::hypot(to.x - from.x, to.y - from.y);
        return length > 0 ? Edge{from, (side / length) * right_of(to - from)} : Edge{from, {}};
    };
    right_edge_ = edge({near.ahead, near.left}, {far.ahead, far.left}, 1.0);
    const auto last = static_cast<double>(width_ - 1);
    left_edge_ = edge({near.ahead, near.left + last * near.step}, {far.ahead, far.left + last * far.step}, -1.0);
    const auto floor_end = rows_.begin() + static_cast<std::ptrdiff_t>(floor_rows_);
    const std::size_t slices = 16 * floor_rows_;  // a few slices a row where the rows lie closest
    slices_per_metre_ = high_.x > low_.x ? static_cast<double>(slices) / (high_.x - low_.x) : 0.0;
    row_at_.resize(slices);
    for (std::size_t k = 0; k < slices; ++k) {
        const double start = slices_per_metre_ > 0 ? low_.x + static_cast<double>(k) / slices_per_metre_ : low_.x;
        row_at_[k] = static_cast<std::uint32_t>(
            std::partition_point(rows_.begin(), floor_end, [&](const RowRays& row) { return row.ahead < start; }) -
            rows_.begin());
    }
}

std::array<Vec2, 4> camera_footprint(const CameraSettings& settings, double reach) {
    // The rows' rays, through pixel corners instead of centres.
    const Pinhole pinhole(settings);
    const auto corner = [&](double column, double row) {
        const Pinhole::Ray ray = pinhole.through_row(row, settings.height);
        const double left = (column - settings.width / 2.0) / pinhole.focal;
        // Along the ray to the floor, or to `reach` ahead where it does not get there first.
        const double to_floor = ray.z < 0 ? settings.mount_height / -ray.z : INFINITY;
        const double t = std::min(to_floor, reach / std::hypot(ray.x, left));
        return Vec2{settings.mount_forward + t * ray.x, t * left};
    };
    return {corner(0, 0), corner(settings.width, 0), corner(settings.width, settings.height),
            corner(0, settings.height)};
}

Vec2 CameraRays::ground_point(std::int32_t column, std::int32_t row) const {
    const RowRays& r = rows_[static_cast<std::size_t>(row)];
    if (!r.sees_floor) return {std::nan(""), std::nan("")};
    return {r.ahead, r.left + column * r.step};
}

void CameraRays::floor_box(const Transform& robot, Vec2& low, Vec2& high) const {
    low = {INFINITY, INFINITY};
    high = {-INFINITY, -INFINITY};
    if (!(low_.x <= high_.x)) return;
    for (const double a : {low_.x, high_.x}) {
        for (const double l : {low_.y, high_.y}) {
            const Vec2 p = to_floor(robot, {a, l});
            low = {std::min(low.x, p.x), std::min(low.y, p.y)};
            high = {std::max(high.x, p.x), std::max(high.y, p.y)};
        }
    }
}

std::size_t CameraRays::first_row_at(double ahead) const {
    // Rows further up the image look further ahead.
    if (!(ahead > low_.x)) return 0;
    if (ahead > high_.x) return floor_rows_;
    const auto slice = std::min(static_cast<std::size_t>((ahead - low_.x) * slices_per_metre_), row_at_.size() - 1);
    std::size_t r = row_at_[slice];
    // From the slice's first row (a row off either way where the slice's
    // start rounds) to the row itself.
    while (r > 0 && rows_[r - 1].ahead >= ahead) --r;
    while (r < floor_rows_ && rows_[r].ahead < ahead) ++r;
    return r;
}

}  // namespace sim
