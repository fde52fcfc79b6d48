#pragma once

// The camera's fixed ray geometry: what never changes during a run, worked
// out once when a camera is made. Where the ray through each pixel's centre
// meets the floor, in the robot's frame (x ahead, y to the left), row by row;
// the box and the side edges round those points; a table to find the first
// row at a distance ahead; and the footprint of the whole image, through the
// same rays.
//
// Mounting: the camera is turned a half turn about its optical axis, so row 0
// of the image shows the near edge of the view and column 0 the robot's
// right. A larger column index therefore lies further to the robot's left,
// which is what the controller's steering law expects: a line seen at large
// columns slows the left wheel and turns the robot left, towards it.
//
// The camera does not roll, so the rays of one image row meet the floor on a
// straight line across the robot's path, evenly spaced: every pixel's ground
// point is its row's first point plus the column times the row's step.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry.hpp"
#include "settings.hpp"

namespace sim {

// The pinhole: the rays through points of the image, in the robot's frame.
// The ray through (u, v) [px, u across from column 0's right edge, v down
// from row 0's top edge] is the optical axis, plus (u - W/2) focal units to
// the robot's left and, the camera being turned, (v - H/2) units up the
// upright image, that is nearer.
struct Pinhole {
    explicit Pinhole(const CameraSettings& settings)
        : focal((settings.width / 2.0) / std::tan(settings.field_of_view / 2)),
          cp(std::cos(settings.pitch)),
          sp(std::sin(settings.pitch)) {}
    // The ray's parts ahead (x) and up (z) a focal unit along the optical
    // axis, through image row v; it meets the floor where z < 0.
    struct Ray {
        double x, z;
    };
    Ray through_row(double v, double height) const {
        const double down = -(v - height / 2.0) / focal;  // below the optical axis
        // Optical axis (cp, 0, -sp); image down (-sp, 0, -cp); robot's left (0, 1, 0).
        return {cp - down * sp, -sp - down * cp};
    }
    double focal;   // [px]
    double cp, sp;  // cosine and sine of the pitch
};

// The floor the whole image covers: where the rays through the image's four
// corners meet it, in the robot's frame (x ahead, y to the left), in the
// order near right, near left, far left, far right (pixel corners (0, 0),
// (width, 0), (width, height), (0, height)). A corner ray at or above the
// horizon is cut `reach` [m] ahead of the camera, along its direction.
std::array<Vec2, 4> camera_footprint(const CameraSettings& settings, double reach);

// A row's rays where they meet the floor.
struct RowRays {
    bool sees_floor = false;  // false at or above the horizon
    double ahead = 0.0;       // [m] of the row's ground points
    double left = 0.0;        // [m] of column 0's ground point
    double step = 0.0;        // [m] further left per column
    double per_step = 0.0;    // [1/m] 1 / step
};

class CameraRays {
public:
    explicit CameraRays(const CameraSettings& settings);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    const RowRays& row(std::size_t r) const { return rows_[r]; }
    // Rows 0 .. floor_rows() - 1 see the floor, ever further ahead; the rest none.
    std::size_t floor_rows() const { return floor_rows_; }
    // Where the ray through the centre of pixel (column, row) meets the floor,
    // in the robot's frame; NaN where it misses.
    Vec2 ground_point(std::int32_t column, std::int32_t row) const;
    // [m] the box round every ground point, robot frame (empty: low > high, if no row sees the floor).
    Vec2 low() const { return low_; }
    Vec2 high() const { return high_; }
    // The box on the floor round every ground point, with the robot at `robot`.
    void floor_box(const Transform& robot, Vec2& low, Vec2& high) const;
    // A side of the view: a point on it and its unit normal out of the view
    // (zero if the view has a single row), robot frame.
    struct Edge {
        Vec2 point, outward;
    };
    const Edge& right_edge() const { return right_edge_; }
    const Edge& left_edge() const { return left_edge_; }
    // The first row that looks at least `ahead` [m] ahead, floor_rows() if none.
    std::size_t first_row_at(double ahead) const;

private:
    std::int32_t width_, height_;
    std::vector<RowRays> rows_;
    std::size_t floor_rows_ = 0;
    Vec2 low_, high_;
    Edge right_edge_, left_edge_;
    // The rows' reach ahead cut into equal slices, each with the first row at
    // or beyond its start: a point track asks for dozens of pieces a frame
    // where their rows begin, and a binary search's branches mispredict.
    std::vector<std::uint32_t> row_at_;
    double slices_per_metre_ = 0.0;  // [1/m]
};

}  // namespace sim
