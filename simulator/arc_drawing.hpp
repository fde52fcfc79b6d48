#pragma once

// Drawing arcs of line into the row spans, and the round shapes every piece
// may end in: the disc where the line stops or turns sharply, and the wedge
// of that disc on the outer side of a gentler corner. Everything here is in
// the robot's frame, where each image row is the line x = ahead.

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "row_spans.hpp"
#include "track.hpp"

namespace sim {

// The y within `radius` of `centre` on the line x = a, or an empty span.
inline Span across_disc(double a, Vec2 centre, double radius) {
    const double dx = a - centre.x, squared = radius * radius - dx * dx;
    if (!(squared >= 0)) return {1, 0};
    const double half = std::sqrt(squared);
    return {centre.y - half, centre.y + half};
}

// The y on the line x = a (ax = a - centre.x) within the wedge round
// `centre` from `from` round to `to` (counter-clockwise for sign +1,
// clockwise for -1), a wedge of at most a half turn: two half-planes.
inline Span across_wedge(double ax, Vec2 centre, Vec2 from, Vec2 to, double sign) {
    Span wedge;
    wedge.at_least_zero(sign * (-from.x * centre.y - from.y * ax), sign * from.x);  // from x v >= 0
    wedge.at_least_zero(sign * (ax * to.y + centre.y * to.x), -sign * to.x);        // v x to >= 0
    return wedge;
}

// Keeps, of `span` on the line x = a (ax = a - corner.x), the y within the
// outer edges of the two pieces meeting at a mitred corner: v . from <= h
// and v . to <= h for v = (ax, y - corner.y), `from` and `to` the outer
// normals, h = `half_width`.
inline void mitre_edges(Span& span, double ax, Vec2 corner, Vec2 from, Vec2 to, double half_width) {
    span.at_least_zero(half_width - from.x * ax + from.y * corner.y, -from.y);
    span.at_least_zero(half_width - to.x * ax + to.y * corner.y, -to.y);
}

// The rows [low, high] ahead that the wedge of a corner at `ahead` (its
// edges from and to, turning by `corner`, the disc's radius `half_width`)
// may cross, in the robot's frame.
inline void corner_reach(double half_width, double ahead, Vec2 from, Vec2 to, double corner, double& low,
                         double& high) {
    // The wedge's reach ahead: from its point, out to half a line along its
    // edges, and along the robot's axis if the wedge holds it. (Without a
    // branch: a point track's corners turn either way, at random.)
    const double turn = corner > 0 ? 1.0 : -1.0;
    const bool forward = (turn * -from.y >= 0) & (turn * to.y >= 0),
               backward = (turn * from.y >= 0) & (turn * -to.y >= 0);
    const double largest = std::max(std::max(0.0, from.x), to.x), smallest = std::min(std::min(0.0, from.x), to.x);
    const double most = forward ? 1.0 : largest, least = backward ? -1.0 : smallest;
    low = ahead + half_width * least - ROW_PAD;
    high = ahead + half_width * most + ROW_PAD;
}

// A disc of radius `half_width` round `centre`, where the line stops or turns sharply.
void disc_in_rows(RowSpans& spans, Vec2 centre, double half_width);

// An arc near the view, moved into the robot's frame for this frame.
struct ArcInView {
    Vec2 start, end, centre, from, to, corner_from, corner_to;
    double sign = 1.0;                           // +1 for a left turn, -1 for a right turn
    double corner_low = 0.0, corner_high = 0.0;  // [m] ahead: the rows the corner's wedge may cross
    double low = 0.0, high = 0.0;                // [m] ahead: the rows the whole piece may cross
};

// The arc `piece` moved into the robot's frame, written into `view`, for a
// line `half_width` [m] to either side of its centre line.
void arc_in_view(const Transform& robot, const Piece& piece, double half_width, ArcInView& view);

// Draws the arc, moved into the robot's frame by arc_in_view(), with its
// end discs and its corner's wedge.
void draw_arc(RowSpans& spans, const Piece& piece, const ArcInView& view, double half_width);

}  // namespace sim
