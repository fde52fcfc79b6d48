#pragma once

// Drawing straight pieces of line into the row spans, two ways:
//
// - a band: a piece on its own (alone in its chain, or nearly square to the
//   robot's axis), with its end discs and its corner's wedge;
// - a chain: consecutive straight pieces that go on into each other (their
//   corners gentle for their length, see gentle_joint()), each heading away
//   from the robot or each towards it. Its centre line then crosses each row
//   once, and the chain covers one span of the row: from the least to the
//   greatest y where the row crosses the chain's outline. The outline is the
//   pieces' side lines, on the outer side of each joint the arc between
//   them, and the chain's two end caps. Every other edge of a band or a
//   wedge lies inside the chain: at a joint, the outer halves of the two
//   caps are the wedge's edges, and a gentle joint puts the inner halves
//   inside the other band. So each row takes a side line or two from either
//   side, where each piece drawn on its own would take a whole band's bounds
//   and its wedge's.
//
// Everything here is in the robot's frame, where each image row is the line
// x = ahead.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "row_spans.hpp"
#include "track.hpp"

namespace sim {

// A chain's joint must be gentle for its pieces' length: then the half of
// either piece's cap at the joint on the inner side of the turn lies in the
// other piece's band (h sin(turn) along it, h cos(turn) beside it). True
// where `next` may go on `piece`'s chain, for a line `half_width` [m] to
// either side of its centre line.
bool gentle_joint(const Piece& piece, const Piece& next, double half_width);

class StraightDrawing {
public:
    // Bound to `track` and `spans`, which must outlive it.
    StraightDrawing(const Track& track, double half_width, RowSpans& spans);

    // Draws straight piece `index` of the track, with the robot at `robot`:
    // at once, or into the chain being drawn, drawn by end_chain().
    void draw(const Transform& robot, std::uint32_t index, const Piece& piece);
    // Draws the chain taken so far, if any: a lone piece as a band, a longer
    // chain's end and its outline's span in each row.
    void end_chain(const Transform& robot);

private:
    // The wedge round a straight piece's end where the line turns into the
    // next piece, robot frame: from x v >= 0 and v x to >= 0 for v = (a -
    // end.x, y - end.y), turned about for a right turn, within half a width
    // of `end` (or mitred: see Piece::mitre). Its edges as lines in a where `lines` (y = end.y + (a -
    // end.x) slope), bounding y from below or from above.
    struct Corner {
        Vec2 end, from, to;
        double turn = 1.0;  // +1 for a left turn, -1 for a right turn
        bool lines = false, from_below = false, to_above = false;
        double from_slope = 0.0, to_slope = 0.0;
        double low = INFINITY, high = -INFINITY;  // [m] ahead: the rows it may cross
        double radius = 0.0;                      // [m] of the disc it lies in: mitre_reach()
        bool mitre = false;                       // cut by the pieces' outer edges too
    };
    // The corner at the end of `piece`, at `end` and heading `d` (robot frame).
    Corner corner_in_view(const Transform& robot, const Piece& piece, Vec2 end, Vec2 d) const;
    // The y on row a within the corner's wedge, or an empty span.
    Span across_corner(const Corner& corner, double a) const;
    void corner_in_rows(const Corner& corner);
    // Draws a band: a straight piece on its own, with its end discs and its
    // corner's wedge; its ends and direction in the robot's frame.
    void band(const Transform& robot, const Piece& piece, Vec2 start, Vec2 end, Vec2 d);
    // Takes a straight piece `index`, heading `d` (robot frame), into the
    // chain being drawn (`joins`) or as the first piece of a new one.
    void chain_piece(const Transform& robot, std::uint32_t index, const Piece& piece, Vec2 d, bool joins);
    // The outline of the chain's first piece: its start (cap and disc) and its side lines.
    void begin_outline();
    // Takes a piece's side lines, from `start` to `end` heading `d`, into the outline.
    void side_lines(Vec2 start, Vec2 end, Vec2 d);
    // Takes y(a) into the outline's span of each row a in [low, high],
    // looking for the first from row `from` (and leaving it there).
    template <typename Y>
    void outline_rows(std::size_t& from, double low, double high, const Y& y);
    // The y where the rows cross the cap of a straight piece square to `d`
    // through `through` (robot frame): y = y0 + (a - x0) * -d.x / d.y.
    void cap_outline(Vec2 through, Vec2 d, double x0, double y0);

    const Track& track_;
    double half_width_;  // [m] of the line
    RowSpans& spans_;
    const CameraRays& rays_;
    struct Chain {
        bool open = false;
        std::uint32_t first = 0, last = 0;       // the first and the last piece's index
        Vec2 start, end, d;                      // the last piece's ends and direction, robot frame
        std::size_t side_row[2] = {0, 0};        // where each side's search for its rows starts (left, right)
        std::size_t first_row = 0, end_row = 0;  // the rows the outline reached, end excluded
    };
    Chain chain_;
    std::vector<Span> outline_;             // a floor row: the least (lo) and greatest (hi) y of the chain's outline
    std::vector<std::uint8_t> joins_next_;  // a piece: gentle_joint() with the next piece
};

}  // namespace sim
