// Drawing straight pieces, as bands and as chains: see straight_drawing.hpp.
#include "straight_drawing.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "arc_drawing.hpp"

namespace sim {
namespace {

// A straight piece's direction must lead at least this far ahead (or back)
// a metre along it for the piece to be drawn in a chain: its side lines'
// y then grow by at most 1,000 m a metre ahead, and rounding stays far below
// a nanometre. (Its caps' y may grow without bound, and are kept to their
// own ends.) Pieces nearly square to the robot are drawn on their own.
constexpr double LEAST_CHAIN_AHEAD = 1e-3;

}  // namespace

bool gentle_joint(const Piece& piece, const Piece& next, double half_width) {
    return piece.curvature == 0.0 && next.curvature == 0.0 && !piece.gap && !next.gap && !piece.cap_end &&
           !piece.mitre && !next.cap_start && piece.end.x == next.start.x && piece.end.y == next.start.y &&
           half_width * std::abs(std::sin(piece.corner)) <= std::min(piece.length, next.length);
}

StraightDrawing::StraightDrawing(const Track& track, double half_width, RowSpans& spans)
    : track_(track), half_width_(half_width), spans_(spans), rays_(spans.rays()) {
    outline_.assign(rays_.floor_rows(), Span{INFINITY, -INFINITY});
    const std::vector<Piece>& pieces = track.pieces();
    joins_next_.assign(pieces.size(), 0);
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i)
        joins_next_[i] = gentle_joint(pieces[i], pieces[i + 1], half_width);
}

void StraightDrawing::draw(const Transform& robot, std::uint32_t index, const Piece& piece) {
    const Vec2 d = inv_rotate(robot.q, piece.direction);
    if (std::abs(d.x) >= LEAST_CHAIN_AHEAD) {
        const bool joins =
            chain_.open && chain_.last + 1 == index && joins_next_[chain_.last] != 0 && (d.x > 0) == (chain_.d.x > 0);
        if (!joins) end_chain(robot);
        chain_piece(robot, index, piece, d, joins);
    } else {
        band(robot, piece, to_robot(robot, piece.start), to_robot(robot, piece.end), d);
    }
}

StraightDrawing::Corner StraightDrawing::corner_in_view(const Transform& robot, const Piece& piece, Vec2 end,
                                                        Vec2 d) const {
    Corner corner;
    corner.end = end;
    corner.turn = piece.corner > 0 ? 1.0 : -1.0;
    // The wedge's first edge is the band's end: the outer normal of the
    // piece's direction, turned as the direction is (the same bits as
    // turning piece.corner_from), and with the band's along slope.
    corner.from = corner.turn * right_of(d);
    corner.to = inv_rotate(robot.q, piece.corner_to);
    corner.lines = corner.from.x != 0 && corner.to.x != 0;
    corner.from_slope = -d.x / d.y;
    corner.to_slope = corner.to.y / corner.to.x;
    corner.from_below = corner.turn * corner.from.x > 0;
    corner.to_above = corner.turn * corner.to.x > 0;
    corner.radius = mitre_reach(piece, half_width_);
    corner.mitre = piece.mitre;
    corner_reach(corner.radius, end.x, corner.from, corner.to, piece.corner, corner.low, corner.high);
    return corner;
}

inline Span StraightDrawing::across_corner(const Corner& corner, double a) const {
    const double wx = a - corner.end.x, squared = corner.radius * corner.radius - wx * wx;
    if (!(a >= corner.low && a <= corner.high && squared >= 0)) return {1, 0};
    const double half = std::sqrt(squared);
    Span wedge{corner.end.y - half, corner.end.y + half};
    if (corner.lines) {
        const double from_y = corner.end.y + wx * corner.from_slope, to_y = corner.end.y + wx * corner.to_slope;
        if (corner.from_below)
            wedge.lo = std::max(wedge.lo, from_y);
        else
            wedge.hi = std::min(wedge.hi, from_y);
        if (corner.to_above)
            wedge.hi = std::min(wedge.hi, to_y);
        else
            wedge.lo = std::max(wedge.lo, to_y);
    } else {
        const Span edges = across_wedge(wx, corner.end, corner.from, corner.to, corner.turn);
        wedge = {std::max(wedge.lo, edges.lo), std::min(wedge.hi, edges.hi)};
    }
    if (corner.mitre) mitre_edges(wedge, wx, corner.end, corner.from, corner.to, half_width_);
    return wedge;
}

void StraightDrawing::corner_in_rows(const Corner& corner) {
    for (std::size_t r = rays_.first_row_at(corner.low); r < rays_.floor_rows() && rays_.row(r).ahead <= corner.high;
         ++r) {
        spans_.line_in_row(r, across_corner(corner, rays_.row(r).ahead));
    }
}

// A band beside the straight: 0 <= along <= length and |side| <= half
// width, with along = (a - s.x) d.x + (y - s.y) d.y and side = (y - s.y) d.x
// - (a - s.x) d.y for the point (a, y); each of the four is a bound on y,
// a line in the row's distance ahead a. So is each of the two edges of the
// corner's wedge, through its point. Their slopes are divided out once a
// piece, not in every row. (Only a side square to the robot's axis or
// along it is no line in a: then the bound is worked out row by row.)
void StraightDrawing::band(const Transform& robot, const Piece& piece, Vec2 start, Vec2 end, Vec2 d) {
    const double half_width = half_width_;
    if (piece.cap_start) disc_in_rows(spans_, start, half_width);
    if (piece.cap_end) disc_in_rows(spans_, end, half_width);
    const bool band_lines = d.x != 0 && d.y != 0;
    const double along_slope = -d.x / d.y, side_slope = d.y / d.x;  // [m/m] y a metre further ahead
    const double along_end = piece.length / d.y, side_reach = half_width / std::abs(d.x);
    const double along_low = start.y + std::min(0.0, along_end), along_high = start.y + std::max(0.0, along_end);
    const double side_low = start.y - side_reach, side_high = start.y + side_reach;
    const double start_y_d_y = start.y * d.y, start_y_d_x = -start.y * d.x;
    // The band's corners lie half a width to either side of the ends.
    const double spread = half_width * std::abs(d.y);
    double low = std::min(start.x, end.x) - spread - ROW_PAD, high = std::max(start.x, end.x) + spread + ROW_PAD;
    Corner corner;
    if (piece.corner != 0.0) {
        corner = corner_in_view(robot, piece, end, d);
        low = std::min(low, corner.low);
        high = std::max(high, corner.high);
    }
    // The rows, with the band's bounds as lines or not (one loop each).
    const auto rows = [&](auto as_lines) {
        for (std::size_t r = rays_.first_row_at(low); r < rays_.floor_rows() && rays_.row(r).ahead <= high; ++r) {
            const double a = rays_.row(r).ahead, ax = a - start.x;
            Span band;
            if constexpr (decltype(as_lines)::value) {
                band = {std::max(along_low + ax * along_slope, side_low + ax * side_slope),
                        std::min(along_high + ax * along_slope, side_high + ax * side_slope)};
            } else {
                band.at_least_zero(ax * d.x - start_y_d_y, d.y);                  // along >= 0
                band.at_least_zero(piece.length - ax * d.x + start_y_d_y, -d.y);  // along <= length
                band.at_least_zero(half_width - (start_y_d_x - ax * d.y), -d.x);  // side <= half width
                band.at_least_zero(half_width + (start_y_d_x - ax * d.y), d.x);   // side >= -half width
            }
            // The wedge meets the band at the piece's end: where they overlap, one span.
            if (const Span wedge = across_corner(corner, a); !wedge.empty()) {
                if (!band.empty() && wedge.lo <= band.hi && band.lo <= wedge.hi) {
                    band = {std::min(band.lo, wedge.lo), std::max(band.hi, wedge.hi)};
                } else {
                    spans_.line_in_row(r, wedge);
                }
            }
            spans_.line_in_row(r, band);
        }
    };
    if (band_lines) {
        rows(std::true_type{});
    } else {
        rows(std::false_type{});
    }
}

template <typename Y>
inline void StraightDrawing::outline_rows(std::size_t& from, double low, double high, const Y& y) {
    // Rows further up the image look further ahead. The search starts where
    // this side's last one began and goes either way: a side's next element
    // begins where its last one ended (the same bits, worked out by the same
    // expressions, so that no row falls between them), or a little before on
    // the inner side of a turn.
    const std::size_t floor_rows = rays_.floor_rows();
    std::size_t r = from;
    while (r > 0 && rays_.row(r - 1).ahead >= low) --r;
    while (r < floor_rows && rays_.row(r).ahead < low) ++r;
    from = r;
    chain_.first_row = std::min(chain_.first_row, r);
    for (; r < floor_rows && rays_.row(r).ahead <= high; ++r) {
        const double at = y(rays_.row(r).ahead);
        Span& span = outline_[r];
        span = {std::min(span.lo, at), std::max(span.hi, at)};
    }
    chain_.end_row = std::max(chain_.end_row, r);
}

void StraightDrawing::cap_outline(Vec2 through, Vec2 d, double x0, double y0) {
    if (d.y == 0) return;  // along a row: its ends are the side lines' ends
    const double along_slope = -d.x / d.y, spread = half_width_ * std::abs(d.y);
    // Kept to the cap's own ends, [m] of y: a cap nearly along the rows
    // slopes so steeply that rounding would throw its y far off.
    const double least = through.y - half_width_ * std::abs(d.x), most = through.y + half_width_ * std::abs(d.x);
    std::size_t r = rays_.first_row_at(through.x - spread);
    outline_rows(r, through.x - spread, through.x + spread,
                 [&](double a) { return std::clamp(y0 + (a - x0) * along_slope, least, most); });
}

// A piece's side lines, a half width to its left (s = 1) and right (s =
// -1): y = start.y + s h / d.x + (a - start.x) d.y / d.x, over the a between
// their ends, start.x - s h d.y and end.x - s h d.y.
void StraightDrawing::side_lines(Vec2 start, Vec2 end, Vec2 d) {
    const double h = half_width_, slope = d.y / d.x, reach = h / d.x;
    for (std::size_t k = 0; k < 2; ++k) {
        const double s = k == 0 ? 1.0 : -1.0;
        const double from = start.x - s * h * d.y, to = end.x - s * h * d.y, y0 = start.y + s * reach;
        outline_rows(chain_.side_row[k], std::min(from, to), std::max(from, to),
                     [&](double a) { return y0 + (a - start.x) * slope; });
    }
}

void StraightDrawing::begin_outline() {
    const Piece& piece = track_.pieces()[chain_.first];
    const Vec2 start = chain_.start, d = chain_.d;
    chain_.first_row = rays_.floor_rows();
    chain_.end_row = 0;
    if (piece.cap_start) disc_in_rows(spans_, start, half_width_);
    cap_outline(start, d, start.x, start.y);
    chain_.side_row[0] = chain_.side_row[1] = rays_.first_row_at(start.x - half_width_ * std::abs(d.y));
    side_lines(start, chain_.end, d);
}

void StraightDrawing::chain_piece(const Transform& robot, std::uint32_t index, const Piece& piece, Vec2 d, bool joins) {
    const Vec2 start = joins ? chain_.end : to_robot(robot, piece.start), end = to_robot(robot, piece.end);
    if (joins) {
        // A lone piece is drawn as a band, as cheaply: its outline begins
        // only once a second piece joins it.
        if (chain_.first == chain_.last) begin_outline();
        // The joint at `start`: on the side where the two pieces' side lines
        // leave a gap between their ends (the outer side of the turn), the
        // arc of half a width round it.
        const double h = half_width_;
        for (std::size_t k = 0; k < 2; ++k) {
            const double s = k == 0 ? 1.0 : -1.0;
            const double before = start.x - s * h * chain_.d.y, after = start.x - s * h * d.y;
            if (!((after - before) * d.x > 0)) continue;
            const double up = s * d.x > 0 ? 1.0 : -1.0;  // the arc's side of `start`
            outline_rows(chain_.side_row[k], std::min(before, after), std::max(before, after), [&](double a) {
                const double wx = a - start.x;
                return start.y + up * std::sqrt(std::max(h * h - wx * wx, 0.0));
            });
        }
        side_lines(start, end, d);
    } else {
        chain_.open = true;
        chain_.first = index;
    }
    chain_.last = index;
    chain_.start = start;
    chain_.end = end;
    chain_.d = d;
}

void StraightDrawing::end_chain(const Transform& robot) {
    if (!chain_.open) return;
    chain_.open = false;
    const Piece& piece = track_.pieces()[chain_.last];
    const Vec2 start = chain_.start, end = chain_.end, d = chain_.d;
    if (chain_.first == chain_.last) {
        band(robot, piece, start, end, d);
        return;
    }
    cap_outline(end, d, start.x, start.y + piece.length / d.y);
    if (piece.cap_end) disc_in_rows(spans_, end, half_width_);
    if (piece.corner != 0.0) corner_in_rows(corner_in_view(robot, piece, end, d));
    for (std::size_t r = chain_.first_row; r < chain_.end_row; ++r) {
        Span& span = outline_[r];
        if (span.lo <= span.hi) spans_.line_in_row(r, span);
        span = {INFINITY, -INFINITY};
    }
}

}  // namespace sim
