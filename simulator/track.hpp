#pragma once

// The track's centre line as pieces (straights, and arcs of at most a
// quarter turn) laid end to end, and the queries made of it: the nearest
// centre-line point to a position, and the pieces near a place.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <unordered_map>
#include <utility>
#include <vector>

#include "settings.hpp"

namespace sim {

struct Piece {
    Vec2 start;                   // [m]
    double heading = 0.0;         // [rad] direction of travel at the start
    double length = 0.0;          // [m]
    double curvature = 0.0;       // [1/m] positive to the left, 0 for a straight
    double start_distance = 0.0;  // [m] along the centre line before this piece
    bool gap = false;             // not drawn on the floor
    // Worked out from the above:
    Vec2 end;  // [m] last point
    // Where the drawn line stops (an open track's end, next to a gap) or
    // turns more than a quarter turn at once (and is not mitred, below), it
    // is rounded: a disc of the line's width round the end.
    bool cap_start = false, cap_end = false;
    // A corner of at most a quarter turn into the next piece, `corner` [rad]
    // at `end` (0 where the line goes on smoothly), is rounded on its outer
    // side only: the wedge of that disc between the two pieces' outer
    // normals, `corner_from` to `corner_to`. Everywhere else round the
    // corner the two pieces' bands already cover the disc, so that a point
    // track draws a thin wedge at each point, not a whole disc.
    double corner = 0.0;
    Vec2 corner_from, corner_to;
    // A taped corner (a turn of a segments list) is mitred instead, at any
    // turn: the two pieces' outer edges go on until they meet. Its wedge is
    // then cut by those edges and by a disc of mitre_reach(): past a turn
    // of 120 degrees, where the point would lie more than a line's width
    // from the corner, the point is rounded off at that distance.
    bool mitre = false;
    Vec2 direction;       // straight: unit vector of travel
    Vec2 centre;          // arc: centre of the circle [m]
    double radius = 0.0;  // arc: [m], positive
    Vec2 from, to;        // arc: unit vectors from the centre to the start and to the end
    Vec2 middle;          // [m] centre of a circle holding the whole piece
    double reach = 0.0;   // [m] radius of that circle
};

// [m] how far a corner's wedge reaches from the piece's end, for a line
// `half_width` [m] to either side of its centre line.
inline double mitre_reach(const Piece& piece, double half_width) {
    if (!piece.mitre) return half_width;
    return half_width * std::min(1 / std::cos(piece.corner / 2), 2.0);
}

// The nearest centre-line point to a position.
struct TrackPoint {
    double distance = 0.0;  // [m] along the centre line, from the start
    double lateral = 0.0;   // [m] signed offset of the position, positive on the left
    Vec2 point;             // [m] the centre-line point
};

// Sets the track's start, heading and segments to straights from point to
// point, with a sharp corner at each inner point. Each point lies apart from
// the one before.
void set_polyline(TrackSettings& track, const std::vector<Vec2>& points);

// [m], [rad] how near a closed track's end must come to its start, in place
// and heading; a closed track turning less at its start goes on smoothly.
inline constexpr double CLOSURE_TOLERANCE = 1e-6;

// [rad] an arc turns at most this much a piece: more is cut into pieces.
inline constexpr double MOST_PIECE_TURN = std::numbers::pi / 2;
// The pieces a segment is laid as: one, or an arc's quarter turns and the rest.
inline std::size_t pieces_of(const SegmentSettings& s) {
    return static_cast<std::size_t>(std::max(1.0, std::ceil(std::abs(s.angle) / MOST_PIECE_TURN)));
}

Piece make_piece(Vec2 start, double heading, double length, double curvature, double start_distance, bool gap);
// The track's segments laid end to end as pieces, arcs cut into quarter turns
// at the most, each complete: rounded where the line stops or turns at once.
std::vector<Piece> lay_pieces(const TrackSettings& settings);
// Where the centre line ends, and heading which way; worked out piece by
// piece as lay_pieces lays them, without keeping them.
Pose track_end(const TrackSettings& settings);
Vec2 point_on_piece(const Piece& piece, double along);  // along in [m] from the piece's start
double heading_on_piece(const Piece& piece, double along);
// [m] from p to the nearest point of the piece.
double distance_to_piece(const Piece& piece, Vec2 p);
// The piece's nearest point to p, with p's signed offset from it.
TrackPoint nearest_on_piece(const Piece& piece, Vec2 p);

class Track {
public:
    explicit Track(const TrackSettings& settings);

    const std::vector<Piece>& pieces() const { return pieces_; }
    double length() const { return length_; }  // [m]
    bool closed() const { return closed_; }
    Vec2 min_corner() const { return min_; }  // [m] box round the centre line
    Vec2 max_corner() const { return max_; }

    // The nearest centre-line point. Where two parts of the line come close
    // (a crossing), the one within a short distance along the track of `near`
    // wins unless another is clearly nearer, so that progress does not jump
    // from one branch to the other.
    TrackPoint nearest(Vec2 position, double near) const;

    // Appends to `out` the index of every piece that passes through the box
    // [low, high] (and perhaps a few more), each once, in order.
    void pieces_near(Vec2 low, Vec2 high, std::vector<std::uint32_t>& out) const;

private:
    static constexpr std::uint32_t NONE = UINT32_MAX;
    struct Nearest {
        std::uint32_t piece = NONE;
        double score = INFINITY;  // [m] distance, and the penalty for another branch
    };

    template <typename Visit>
    void for_cells(Vec2 low, Vec2 high, const Visit& visit) const;
    // Takes the pieces from first to last into account for `best`.
    void nearest_among(Vec2 position, double near, const std::uint32_t* first, const std::uint32_t* last,
                       Nearest& best) const;

    std::vector<Piece> pieces_;
    double length_ = 0.0;
    bool closed_ = false;
    Vec2 min_, max_;

    // A uniform grid of square cells: each cell the line passes through
    // lists the pieces that pass through it, so a query reads a few pieces,
    // however long the track. Only those cells are stored, in a hash table,
    // so a track that spans a large area costs no more than a compact one.
    static constexpr double CELL = 0.2;  // [m]
    // [m] nearest() reads the cells within this of the position: four at most.
    static constexpr double REACH = 0.1;
    std::unordered_map<std::uint64_t, std::pair<std::uint32_t, std::uint32_t>> cells_;  // range in cell_pieces_
    std::vector<std::uint32_t> cell_pieces_;
    std::vector<std::uint32_t> all_pieces_;
};

}  // namespace sim
