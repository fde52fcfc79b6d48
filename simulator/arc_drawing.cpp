// Drawing arcs, discs and corner wedges into the row spans: see arc_drawing.hpp.
#include "arc_drawing.hpp"

namespace sim {

void disc_in_rows(RowSpans& spans, Vec2 centre, double half_width) {
    const CameraRays& rays = spans.rays();
    const double high = centre.x + half_width + ROW_PAD;
    for (std::size_t r = rays.first_row_at(centre.x - half_width - ROW_PAD);
         r < rays.floor_rows() && rays.row(r).ahead <= high; ++r) {
        spans.line_in_row(r, across_disc(rays.row(r).ahead, centre, half_width));
    }
}

void arc_in_view(const Transform& robot, const Piece& piece, double half_width, ArcInView& view) {
    // Every member written once, into a view kept from piece to piece: a
    // point track has dozens in view, and a fresh ArcInView{} would be
    // cleared whole first.
    const bool corner = piece.corner != 0.0;
    view.start = to_robot(robot, piece.start);
    view.end = to_robot(robot, piece.end);
    view.centre = to_robot(robot, piece.centre);
    view.from = inv_rotate(robot.q, piece.from);
    view.to = inv_rotate(robot.q, piece.to);
    view.corner_from = corner ? inv_rotate(robot.q, piece.corner_from) : Vec2{};
    view.corner_to = corner ? inv_rotate(robot.q, piece.corner_to) : Vec2{};
    view.sign = piece.curvature < 0 ? -1.0 : 1.0;
    view.corner_low = INFINITY;
    view.corner_high = -INFINITY;
    // The arc's ends, and the circle's extremes ahead and behind where the arc passes them.
    const double outer = view.sign;
    const bool forward = outer * -view.from.y >= 0 && outer * view.to.y >= 0;
    const bool backward = outer * view.from.y >= 0 && outer * -view.to.y >= 0;
    const double most = forward ? view.centre.x + piece.radius : std::max(view.start.x, view.end.x);
    const double least = backward ? view.centre.x - piece.radius : std::min(view.start.x, view.end.x);
    view.low = least - half_width - ROW_PAD;
    view.high = most + half_width + ROW_PAD;
    const auto include = [&view](double low, double high) {
        view.low = std::min(view.low, low);
        view.high = std::max(view.high, high);
    };
    if (piece.cap_start) include(view.start.x - half_width - ROW_PAD, view.start.x + half_width + ROW_PAD);
    if (piece.cap_end) include(view.end.x - half_width - ROW_PAD, view.end.x + half_width + ROW_PAD);
    if (piece.corner != 0.0) {
        corner_reach(mitre_reach(piece, half_width), view.end.x, view.corner_from, view.corner_to, piece.corner,
                     view.corner_low, view.corner_high);
        include(view.corner_low, view.corner_high);
    }
}

// The pixels that lie on an arc of line, the arc seen from the robot, in
// each row that it may cross. The end discs and the corner's wedge cross a
// few rows only: each has its own loop over them.
void draw_arc(RowSpans& spans, const Piece& piece, const ArcInView& view, double half_width) {
    const CameraRays& rays = spans.rays();
    const std::size_t floor_rows = rays.floor_rows();
    if (piece.cap_start) disc_in_rows(spans, view.start, half_width);
    if (piece.cap_end) disc_in_rows(spans, view.end, half_width);
    if (piece.corner != 0.0) {
        const double corner_sign = piece.corner > 0 ? 1.0 : -1.0, reach = mitre_reach(piece, half_width);
        for (std::size_t r = rays.first_row_at(view.corner_low);
             r < floor_rows && rays.row(r).ahead <= view.corner_high; ++r) {
            const double a = rays.row(r).ahead;
            const Span wedge = across_wedge(a - view.end.x, view.end, view.corner_from, view.corner_to, corner_sign);
            const Span disc = across_disc(a, view.end, reach);
            Span corner{std::max(disc.lo, wedge.lo), std::min(disc.hi, wedge.hi)};
            if (piece.mitre)
                mitre_edges(corner, a - view.end.x, view.end, view.corner_from, view.corner_to, half_width);
            spans.line_in_row(r, corner);
        }
    }
    for (std::size_t r = rays.first_row_at(view.low); r < floor_rows && rays.row(r).ahead <= view.high; ++r) {
        const double a = rays.row(r).ahead;
        // An annulus between the radii R -/+ half width, within the piece's wedge
        // (at most a quarter turn, so two half-planes through the centre).
        // (All three worked out before any is looked at: their divisions and
        // square roots then run side by side.)
        const Span wedge = across_wedge(a - view.centre.x, view.centre, view.from, view.to, view.sign);
        const Span outer = across_disc(a, view.centre, piece.radius + half_width);
        const Span inner =
            half_width < piece.radius ? across_disc(a, view.centre, piece.radius - half_width) : Span{1, 0};
        if (wedge.empty()) continue;
        if (inner.empty()) {
            spans.line_in_row(r, {std::max(outer.lo, wedge.lo), std::min(outer.hi, wedge.hi)});
        } else {
            // Skip the inner disc's open interval; its ends are on the line.
            spans.line_in_row(r, {std::max(outer.lo, wedge.lo), std::min({outer.hi, wedge.hi, inner.lo})});
            spans.line_in_row(r, {std::max({outer.lo, wedge.lo, inner.hi}), std::min(outer.hi, wedge.hi)});
        }
    }
}

}  // namespace sim
