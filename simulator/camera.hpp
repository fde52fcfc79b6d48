#pragma once

// The robot's camera: a pinhole camera fixed on the robot, looking down and
// ahead at the floor.
//
// Mounting: the camera is turned a half turn about its optical axis, so row 0
// of the image shows the near edge of the view and column 0 the robot's
// right. A larger column index therefore lies further to the robot's left,
// which is what the controller's steering law expects: a line seen at large
// columns slows the left wheel and turns the robot left, towards it.
//
// The camera does not roll, so the rays of one image row meet the floor on a
// straight line across the robot's path, evenly spaced: every pixel's ground
// point is its row's first point plus the column times the row's step, worked
// out once in the robot's frame. Each frame moves the few pieces of line near
// the view into that frame (the pose's inverse), and finds row by row which
// pixel centres lie on them.
//
// A real camera and floor, when any of their effects is on: a camera
// `antialias` times finer draws the scene, each sub-pixel marked floor, line
// or outside, and each pixel's gray is the mean over its sub-pixels (the share
// of its footprint on the line), with the floor's and the line's gray varied
// where the pixel looks, then darkened towards the corners and scaled by the
// exposure. With every effect off none of this runs: the pixels are drawn
// directly, as fills of whole spans.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "gray_field.hpp"
#include "settings.hpp"
#include "track.hpp"

namespace sim {

// The floor: a rectangle round the track, light, with the line drawn on it.
struct Floor {
    Vec2 low, high;  // [m] corners
    bool contains(Vec2 p) const { return p.x >= low.x && p.y >= low.y && p.x <= high.x && p.y <= high.y; }
};

// The pixel columns u of an image row (centres at whole numbers) within [lo, hi].
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

// The floor the whole image covers: where the rays through the image's four
// corners meet it, in the robot's frame (x ahead, y to the left), in the
// order near right, near left, far left, far right (pixel corners (0, 0),
// (width, 0), (width, height), (0, height)). A corner ray at or above the
// horizon is cut `reach` [m] ahead of the camera, along its direction.
std::array<Vec2, 4> camera_footprint(const CameraSettings& settings, double reach);

class Camera {
public:
    // Bound for the camera's life: `track` and `floor` must outlive it.
    // `seed` drives the pixel noise and the floor's and the line's gray
    // variation, if any.
    Camera(const CameraSettings& settings, const FloorSettings& grays, const Track& track, double line_width,
           const Floor& floor, std::uint64_t seed = 1);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    const std::uint8_t* image() const { return image_.data(); }

    // Where the ray through the centre of pixel (column, row) meets the floor,
    // in the robot's frame (x ahead, y to the left); NaN where it misses.
    Vec2 ground_point(std::int32_t column, std::int32_t row) const;

    // Renders what the camera sees with the robot at `pose`.
    void render(const Pose& pose);
    // Renders so far.
    std::uint64_t renders() const { return renders_; }
    // A flag a row (height() of them): the last render left the row's pixels
    // as the render before it had drawn them. nullptr where it cannot tell
    // (an effect or noise on), or before the first render.
    const std::uint8_t* rows_kept() const { return renders_ > 0 && !scene_ && noise_ == 0 ? rows_kept_.data() : nullptr; }

private:
    // Pixel columns from begin up to end, end excluded.
    struct Columns {
        std::size_t begin = 0, end = 0;
    };
    struct Row {
        bool sees_floor = false;  // false at or above the horizon
        double ahead = 0.0;       // [m] of the row's ground points
        double left = 0.0;        // [m] of column 0's ground point
        double step = 0.0;        // [m] further left per column
        double per_step = 0.0;    // [1/m] 1 / step
        Span on_floor;            // this frame: the columns that see the floor
        // This frame: line columns not yet written. Neighbouring pieces of a
        // point track cover much the same columns of a row, so touching
        // spans are joined here and each run of line is written once, at
        // the end of the frame; runs apart from it wait in overflow_.
        Columns line;
        // The last frame: the line's columns written, if one run (`several`: more).
        Columns drawn;
        bool several = false;
    };
    // An arc near the view, moved into the robot's frame for this frame.
    struct PieceInView {
        Vec2 start, end, centre, from, to, corner_from, corner_to;
        double sign = 1.0;   // +1 for a left turn, -1 for a right turn
        double corner_low = 0.0, corner_high = 0.0;  // [m] ahead: the rows the corner's wedge may cross
        double low = 0.0, high = 0.0;                // [m] ahead: the rows the whole piece may cross
    };

    // What a sub-pixel of the finer camera shows, as its gray.
    enum Label : std::uint8_t { ON_FLOOR, ON_LINE, OUTSIDE };

    // The image without noise: floor, line and outside, with hard edges.
    void draw(const Transform& robot);
    // The image from the finer camera's drawing, with the effects on.
    void shade(const Transform& robot);
    // The box on the floor round every ground point, with the robot at `robot`.
    void floor_box(const Transform& robot, Vec2& low, Vec2& high) const;
    // Keeps nearby_ listing every drawn piece within half a line of the box
    // [low, high] on the floor.
    void find_nearby(Vec2 low, Vec2 high);
    // The arc moved into the robot's frame, written into `view`.
    void in_view(const Transform& robot, const Piece& piece, PieceInView& view) const;
    // The columns whose centres lie within the span.
    Columns columns(Span span) const {
        const double last_column = width_ - 1;
        if (!(span.lo <= span.hi && span.lo <= last_column && span.hi >= 0)) return {};  // false for NaN too
        const double lo = std::max(span.lo, 0.0), hi = std::min(span.hi, last_column);
        // Through a signed integer, which x86 converts to in one instruction (0 <= lo, hi < width).
        auto begin = static_cast<std::int64_t>(lo);  // rounded up below: the first centre inside
        if (static_cast<double>(begin) < lo) ++begin;
        const auto end = static_cast<std::int64_t>(hi) + 1;
        return begin < end ? Columns{static_cast<std::size_t>(begin), static_cast<std::size_t>(end)} : Columns{};
    }
    // The first row that looks at least `ahead` [m] ahead, floor_rows_ if none.
    std::size_t first_row_at(double ahead) const;
    // The rows [low, high] ahead that the wedge of a corner at `ahead` (its
    // edges from and to, turning by `corner`) may cross, in the robot's frame.
    void corner_reach(double ahead, Vec2 from, Vec2 to, double corner, double& low, double& high) const;
    // The wedge round a straight piece's end where the line turns into the
    // next piece, robot frame: from x v >= 0 and v x to >= 0 for v = (a -
    // end.x, y - end.y), turned about for a right turn, within half a width
    // of `end`. Its edges as lines in a where `lines` (y = end.y + (a -
    // end.x) slope), bounding y from below or from above.
    struct Corner {
        Vec2 end, from, to;
        double turn = 1.0;  // +1 for a left turn, -1 for a right turn
        bool lines = false, from_below = false, to_above = false;
        double from_slope = 0.0, to_slope = 0.0;
        double low = INFINITY, high = -INFINITY;  // [m] ahead: the rows it may cross
    };
    // The corner at the end of `piece`, at `end` and heading `d` (robot frame).
    Corner corner_in_view(const Transform& robot, const Piece& piece, Vec2 end, Vec2 d) const;
    // The y on row a within the corner's wedge, or an empty span.
    Span across_corner(const Corner& corner, double a) const;
    void corner_in_rows(const Corner& corner);
    // Draws a straight piece on its own (alone in its chain, or nearly
    // square to the robot's axis), with its end discs and its corner's wedge;
    // its ends and direction in the robot's frame.
    void straight_in_view(const Transform& robot, const Piece& piece, Vec2 start, Vec2 end, Vec2 d);
    // Takes a straight piece `index`, heading `d` (robot frame), into the
    // chain being drawn (`joins`) or as the first piece of a new one.
    void chain_piece(const Transform& robot, std::uint32_t index, const Piece& piece, Vec2 d, bool joins);
    // The outline of the chain's first piece: its start (cap and disc) and its side lines.
    void begin_outline();
    // Takes a piece's side lines, from `start` to `end` heading `d`, into the outline.
    void side_lines(Vec2 start, Vec2 end, Vec2 d);
    // Draws the chain: a lone piece as a band, a longer chain's end and its
    // outline's span in each row.
    void end_chain(const Transform& robot);
    // Takes y(a) into the outline's span of each row a in [low, high],
    // looking for the first from row `from` (and leaving it there).
    template <typename Y>
    void outline_rows(std::size_t& from, double low, double high, const Y& y);
    // The y where the rows cross the cap of a straight piece square to `d`
    // through `through` (robot frame): y = y0 + (a - x0) * -d.x / d.y.
    void cap_outline(Vec2 through, Vec2 d, double x0, double y0);
    void disc_in_rows(Vec2 centre);
    // Draws an arc, moved into the robot's frame by in_view().
    void piece_in_rows(std::size_t first, const Piece& piece, const PieceInView& view);
    // Marks the pixels of row r with y within the span [m] as line.
    void line_in_row(std::size_t r, Span y);
    // Marks the columns of row r as line, to be written at the end of the frame.
    void add_line(std::size_t r, Columns span);
    void write_line(std::size_t r, Columns line);

    const Track& track_;
    const Floor& floor_;
    double half_width_;  // [m] of the line
    std::int32_t width_, height_;
    std::uint8_t floor_gray_, line_gray_, outside_gray_;
    std::int32_t noise_;  // [gray levels]
    std::uint64_t noise_state_;
    std::vector<Row> rows_;
    std::size_t floor_rows_ = 0;  // rows 0 .. floor_rows_ - 1 see the floor, ever further ahead
    bool edge_seen_ = false;      // the last frame saw past the floor's edge (rows' on_floor cut)
    // The image holds the floor, the outside above the horizon and the last
    // frame's line (Row::drawn), and nothing else: no edge, no noise.
    bool image_kept_ = false;
    std::vector<std::uint8_t> rows_kept_;  // a flag a row: see rows_kept()
    std::uint64_t renders_ = 0;
    std::vector<std::pair<std::size_t, Columns>> overflow_;  // (row, columns): runs of line apart from Row::line
    // The rows' reach ahead cut into equal slices, each with the first row at
    // or beyond its start: a point track asks for dozens of pieces a frame
    // where their rows begin, and a binary search's branches mispredict.
    std::vector<std::uint32_t> row_at_;
    double slices_per_metre_ = 0.0;  // [1/m]
    Vec2 low_, high_;  // [m] box round every ground point, robot frame
    // A side of the view: a point on it and its unit normal out of the view
    // (zero if the view has a single row), robot frame.
    struct Edge {
        Vec2 point, outward;
    };
    Edge right_edge_, left_edge_;
    // Consecutive straight pieces that go on into each other (their corners
    // gentle for their length), each heading away from the robot or each
    // towards it, are drawn as one chain. Its centre line then crosses each
    // row once, and the chain covers one span of the row: from the least to
    // the greatest y where the row crosses the chain's outline. The outline
    // is the pieces' side lines, on the outer side of each joint the arc
    // between them, and the chain's two end caps. Every other edge of a band
    // or a wedge lies inside the chain: at a joint, the outer halves of the
    // two caps are the wedge's edges, and a gentle joint puts the inner
    // halves inside the other band. So each row takes a side line or two
    // from either side, where each piece drawn on its own would take a whole
    // band's bounds and its wedge's.
    struct Chain {
        bool open = false;
        std::uint32_t first = 0, last = 0;  // the first and the last piece's index
        Vec2 start, end, d;           // the last piece's ends and direction, robot frame
        std::size_t side_row[2] = {0, 0};     // where each side's search for its rows starts (left, right)
        std::size_t first_row = 0, end_row = 0;  // the rows the outline reached, end excluded
    };
    Chain chain_;
    std::vector<Span> outline_;  // a floor row: the least (lo) and greatest (hi) y of the chain's outline
    std::vector<std::uint8_t> joins_next_;  // a piece: the next piece may go on its chain
    // The pieces near a box on the floor round the view, grown by a margin:
    // looked up again only once the view leaves it.
    std::vector<std::uint32_t> nearby_;
    Vec2 nearby_low_{INFINITY, INFINITY}, nearby_high_{-INFINITY, -INFINITY};
    double margin_ = 0.0;  // [m]
    std::vector<std::uint8_t> image_;

    // Only while an effect is on.
    std::unique_ptr<Camera> scene_;   // the finer camera, drawing labels
    std::int32_t antialias_ = 1;      // sub-pixels a side
    std::vector<double> gains_;       // each pixel's exposure and vignetting
    GrayField floor_variation_, line_variation_;
};

}  // namespace sim
