// The track laid out from its segments: pieces, distances along it, and the nearest point.

#include "track.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace sim {
namespace {

// A candidate this far along the track from the hint counts as another branch
// ...
constexpr double BRANCH_WINDOW = 0.3;  // [m]
// ... and must be nearer by this much to be taken instead of the hint's branch.
constexpr double BRANCH_PENALTY = 0.05;  // [m]
// Arcs are cut into pieces of at most a quarter turn, so that "beside the
// arc" is two half-plane tests.
// [m] far more than rounding: a piece passed over for being further than the
// best so far is further by at least this much.
constexpr double PRUNE_MARGIN = 1e-9;

// Where p lies against the piece: beside it (between its ends) or beyond one
// of them, and its signed offset from the centre line (positive on the left).
struct Side {
    double lateral;  // [m]
    bool beside;
};

Side side_of_piece(const Piece& piece, Vec2 p) {
    if (piece.curvature == 0.0) {
        const Vec2 d = p - piece.start;
        const double along = dot(d, piece.direction);
        return {cross(piece.direction, d), along >= 0 && along <= piece.length};
    }
    const Vec2 v = p - piece.centre;
    const double sign = piece.curvature > 0 ? 1.0 : -1.0;
    // Left of travel is towards the centre on a left turn.
    return {sign * (piece.radius - std::sqrt(dot(v, v))),
            sign * cross(piece.from, v) >= 0 && sign * cross(v, piece.to) >= 0};
}

// [m] along the piece to the foot of p, for a p beside it.
double along_piece(const Piece& piece, Vec2 p) {
    if (piece.curvature == 0.0) return dot(p - piece.start, piece.direction);
    const Vec2 v = p - piece.centre;
    const double sign = piece.curvature > 0 ? 1.0 : -1.0;
    return piece.radius * std::atan2(sign * cross(piece.from, v), dot(piece.from, v));
}

// Cells are numbered by their column and row from the origin, each in 32 bits.
std::uint64_t cell_key(std::int64_t column, std::int64_t row) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(row)) << 32) | static_cast<std::uint32_t>(column);
}

}  // namespace

Piece make_piece(Vec2 start, double heading, double length, double curvature, double start_distance, bool gap) {
    Piece piece;
    piece.start = start;
    piece.heading = heading;
    piece.length = length;
    piece.curvature = curvature;
    piece.start_distance = start_distance;
    piece.gap = gap;
    piece.direction = {std::cos(heading), std::sin(heading)};
    const Vec2 end = point_on_piece(piece, length);
    piece.end = end;
    if (curvature != 0.0) {
        const double r = 1.0 / curvature;  // signed
        piece.radius = std::abs(r);
        piece.centre = {start.x - r * std::sin(heading), start.y + r * std::cos(heading)};
        piece.from = {(start.x - piece.centre.x) / piece.radius, (start.y - piece.centre.y) / piece.radius};
        piece.to = {(end.x - piece.centre.x) / piece.radius, (end.y - piece.centre.y) / piece.radius};
    }
    // A circle round the chord's middle holds the piece: an arc of at most a
    // quarter turn bulges less than half its length from its chord.
    piece.middle = {(start.x + end.x) / 2, (start.y + end.y) / 2};
    piece.reach = std::hypot(end.x - start.x, end.y - start.y) / 2 + (curvature != 0.0 ? length / 2 : 0.0);
    return piece;
}

namespace {

// The point `along` [m] from the piece's start, and the direction of travel
// there, with one sine and one cosine at the most: the piece keeps those of
// its start heading in `direction`.
struct PlaceOnPiece {
    Vec2 point;
    Vec2 direction;
};

PlaceOnPiece place_on_piece(const Piece& piece, double along) {
    if (piece.curvature == 0.0) {
        return {{piece.start.x + along * piece.direction.x, piece.start.y + along * piece.direction.y},
                piece.direction};
    }
    const double r = 1.0 / piece.curvature;
    const Vec2 d = unit(piece.heading + along * piece.curvature);
    return {{piece.start.x + r * (d.y - piece.direction.y), piece.start.y - r * (d.x - piece.direction.x)}, d};
}

}  // namespace

Vec2 point_on_piece(const Piece& piece, double along) { return place_on_piece(piece, along).point; }

double heading_on_piece(const Piece& piece, double along) { return piece.heading + along * piece.curvature; }

double distance_to_piece(const Piece& piece, Vec2 p) {
    const Side side = side_of_piece(piece, p);
    if (side.beside) return std::abs(side.lateral);
    const Vec2 a = p - piece.start, b = p - piece.end;
    return std::sqrt(std::min(dot(a, a), dot(b, b)));
}

TrackPoint nearest_on_piece(const Piece& piece, Vec2 p) {
    double along = 0.0;
    if (side_of_piece(piece, p).beside) {
        along = along_piece(piece, p);
    } else {
        // Beyond an end: the nearer end, the offset signed by the side of the
        // line that the position lies on there.
        const Vec2 a = p - piece.start, b = p - piece.end;
        along = dot(a, a) <= dot(b, b) ? 0.0 : piece.length;
    }
    const auto [q, d] = place_on_piece(piece, along);
    const double dx = p.x - q.x, dy = p.y - q.y;
    const double distance = std::hypot(dx, dy);
    const double side = d.x * dy - d.y * dx;  // > 0 on the left
    return {piece.start_distance + along, side < 0 ? -distance : distance, q};
}

void set_polyline(TrackSettings& track, const std::vector<Vec2>& points) {
    track.segments.clear();
    track.start = points.front();
    double heading = 0.0;
    for (std::size_t i = 1; i < points.size(); ++i) {
        const Vec2 d = points[i] - points[i - 1];
        const double next = std::atan2(d.y, d.x);
        SegmentSettings segment{std::hypot(d.x, d.y), 0.0, 0.0, 0.0, false};
        if (i == 1) {
            track.heading = next;
        } else {
            segment.corner = std::remainder(next - heading, 2 * std::numbers::pi);
        }
        heading = next;
        track.segments.push_back(segment);
    }
}

namespace {

// Calls take(piece, turn, mitre) for each piece of the track in order,
// `turn` [rad] the sharp turn at its start, mitred or not.
template <typename Take>
void lay_each(const TrackSettings& settings, const Take& take) {
    Vec2 at = settings.start;
    double heading = settings.heading;
    double laid = 0.0;  // [m]
    for (const SegmentSettings& s : settings.segments) {
        heading += s.corner;
        const double curvature = s.radius > 0 ? s.angle / s.length : 0.0;
        const auto parts = static_cast<double>(pieces_of(s));
        for (int k = 0; k < static_cast<int>(parts); ++k) {
            const Piece piece = make_piece(at, heading, s.length / parts, curvature, laid, s.gap);
            take(piece, k == 0 ? s.corner : 0.0, k == 0 && s.mitre);
            at = piece.end;
            heading = heading_on_piece(piece, piece.length);
            laid += piece.length;
        }
    }
}

}  // namespace

Pose track_end(const TrackSettings& settings) {
    Pose end{settings.start.x, settings.start.y, settings.heading};
    lay_each(settings, [&end](const Piece& piece, double, bool) {
        end = {piece.end.x, piece.end.y, heading_on_piece(piece, piece.length)};
    });
    return end;
}

std::vector<Piece> lay_pieces(const TrackSettings& settings) {
    std::size_t count = 0;
    lay_each(settings, [&count](const Piece&, double, bool) { ++count; });
    std::vector<Piece> pieces;
    std::vector<double> turns;  // [rad] at each piece's start, at once
    std::vector<bool> mitres;   // whether that turn is mitred
    pieces.reserve(count);
    turns.reserve(count);
    mitres.reserve(count);
    lay_each(settings, [&](const Piece& piece, double turn, bool mitre) {
        pieces.push_back(piece);
        turns.push_back(turn);
        mitres.push_back(mitre);
    });
    if (pieces.empty()) return pieces;
    // A closed track turns at its start by as much as its end misses the
    // start's heading: nothing for segments (world files check), the last
    // corner of a closed point track.
    if (settings.closed) {
        const Piece& last = pieces.back();
        const double closing =
            std::remainder(pieces.front().heading - heading_on_piece(last, last.length), 2 * std::numbers::pi);
        turns.front() = std::abs(closing) > CLOSURE_TOLERANCE ? closing : 0.0;
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const bool first = i == 0, last = i + 1 == pieces.size();
        const Piece* before = first ? (settings.closed ? &pieces.back() : nullptr) : &pieces[i - 1];
        const Piece* after = last ? (settings.closed ? &pieces.front() : nullptr) : &pieces[i + 1];
        const double turn = last ? turns.front() : turns[i + 1];  // into the next piece
        const bool mitre = last ? mitres.front() : mitres[i + 1];
        Piece& piece = pieces[i];
        piece.cap_start = before == nullptr || before->gap;
        piece.cap_end = after == nullptr || after->gap || (std::abs(turn) > MOST_PIECE_TURN && !mitre);
        if (piece.cap_end || turn == 0.0) continue;
        piece.mitre = mitre;
        // Outer normals: on the right of a left turn, on the left of a right turn.
        const double outer = turn > 0 ? 1.0 : -1.0;
        piece.corner = turn;
        piece.corner_from = outer * right_of(unit(heading_on_piece(piece, piece.length)));
        piece.corner_to = outer * right_of(after->direction);
    }
    return pieces;
}

Track::Track(const TrackSettings& settings) : pieces_(lay_pieces(settings)), closed_(settings.closed) {
    if (!pieces_.empty()) length_ = pieces_.back().start_distance + pieces_.back().length;

    min_ = max_ = settings.start;
    for (const Piece& piece : pieces_) {
        min_ = {std::min(min_.x, piece.middle.x - piece.reach), std::min(min_.y, piece.middle.y - piece.reach)};
        max_ = {std::max(max_.x, piece.middle.x + piece.reach), std::max(max_.y, piece.middle.y + piece.reach)};
    }

    // Each piece is listed in the cells it passes through: in every cell
    // within CELL / 4 of points taken along it at most CELL / 2 apart, which
    // holds every point of the piece. A query looks in the cells round the
    // place asked about. The cost grows with the piece's length, not with the
    // area round it (a long straight's bounding circle would cover the
    // square of its length), and a piece is in a few cells, not dozens.
    constexpr double SPACING = CELL / 2, PAD = CELL / 4;  // [m]
    std::size_t estimate = 0;
    for (const Piece& p : pieces_) estimate += 2 * static_cast<std::size_t>(p.length / CELL) + 4;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> entries;  // (cell, piece)
    entries.reserve(estimate);
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
        const Piece& p = pieces_[i];
        const auto points = static_cast<std::int64_t>(std::ceil(p.length / SPACING)) + 1;
        const std::size_t first = entries.size();
        for (std::int64_t k = 0; k < points; ++k) {
            const Vec2 q = point_on_piece(
                p, p.length * static_cast<double>(k) / static_cast<double>(std::max<std::int64_t>(points - 1, 1)));
            for_cells({q.x - PAD, q.y - PAD}, {q.x + PAD, q.y + PAD},
                      [&](std::uint64_t cell) { entries.emplace_back(cell, static_cast<std::uint32_t>(i)); });
        }
        // Neighbouring points share most of their cells.
        std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end());
        entries.erase(std::unique(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end()), entries.end());
    }
    std::sort(entries.begin(), entries.end());
    cell_pieces_.reserve(entries.size());
    std::size_t cells = 0;
    for (std::size_t i = 0; i < entries.size(); ++i)
        cells += i == 0 || entries[i].first != entries[i - 1].first ? 1U : 0U;
    cells_.reserve(cells);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 0 || entries[i].first != entries[i - 1].first) {
            cells_[entries[i].first] = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i)};
        }
        cell_pieces_.push_back(entries[i].second);
        ++cells_[entries[i].first].second;
    }
    all_pieces_.reserve(pieces_.size());
    for (std::uint32_t i = 0; i < pieces_.size(); ++i) all_pieces_.push_back(i);
}

template <typename Visit>
void Track::for_cells(Vec2 low, Vec2 high, const Visit& visit) const {
    // Clamped to the box round the track, so that a far position reads no cells.
    const auto cell = [](double v, double lowest, double highest) {
        return static_cast<std::int64_t>(std::floor((std::clamp(v, lowest, highest)) / CELL));
    };
    if (!(high.x >= min_.x && high.y >= min_.y && low.x <= max_.x && low.y <= max_.y)) return;
    const double pad = CELL;
    const std::int64_t x0 = cell(low.x, min_.x - pad, max_.x + pad), x1 = cell(high.x, min_.x - pad, max_.x + pad);
    const std::int64_t y0 = cell(low.y, min_.y - pad, max_.y + pad), y1 = cell(high.y, min_.y - pad, max_.y + pad);
    for (std::int64_t y = y0; y <= y1; ++y) {
        for (std::int64_t x = x0; x <= x1; ++x) visit(cell_key(x, y));
    }
}

void Track::pieces_near(Vec2 low, Vec2 high, std::vector<std::uint32_t>& out) const {
    const std::size_t first = out.size();
    for_cells(low, high, [&](std::uint64_t cell) {
        const auto found = cells_.find(cell);
        if (found == cells_.end()) return;
        out.insert(out.end(), cell_pieces_.begin() + found->second.first, cell_pieces_.begin() + found->second.second);
    });
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(first), out.end()), out.end());
}

void Track::nearest_among(Vec2 position, double near, const std::uint32_t* first, const std::uint32_t* last,
                          Nearest& best) const {
    for (const std::uint32_t* i = first; i != last; ++i) {
        const Piece& piece = pieces_[*i];
        // A piece whose bounding circle lies clearly further than the best so
        // far cannot be nearer, penalty or not (a short-pieced point track
        // lists dozens).
        const Vec2 to_middle = position - piece.middle;
        const double beyond = best.score + PRUNE_MARGIN + piece.reach;  // [m] from the middle
        if (dot(to_middle, to_middle) > beyond * beyond) continue;
        // How far along the track the piece lies from the hint, the short way round.
        double apart = std::max({0.0, piece.start_distance - near, near - piece.start_distance - piece.length});
        if (closed_) apart = std::min(apart, length_ - piece.length - apart);
        const double penalty = apart > BRANCH_WINDOW ? BRANCH_PENALTY : 0.0;
        const double score = distance_to_piece(piece, position) + penalty;
        // Of equally near pieces the first along the track, whatever the order they come in.
        if (score < best.score || (score == best.score && *i < best.piece)) best = {*i, score};
    }
}

TrackPoint Track::nearest(Vec2 position, double near) const {
    if (closed_ && length_ > 0) near -= length_ * std::floor(near / length_);
    // The piece at the hint first: usually the nearest, so that the others
    // are passed over at a glance.
    Nearest best;
    if (!pieces_.empty()) {
        const auto at = std::partition_point(pieces_.begin(), pieces_.end(),
                                             [near](const Piece& p) { return p.start_distance <= near; });
        const auto hint = static_cast<std::uint32_t>(std::max<std::ptrdiff_t>(at - pieces_.begin() - 1, 0));
        nearest_among(position, near, &hint, &hint + 1, best);
    }
    // Every piece within REACH lies in the cells round the position (CELL >=
    // 2 REACH), and every piece nearer than the best so far in the cells
    // within that distance: usually the position's own cell alone.
    const double r = std::min(REACH, best.score + PRUNE_MARGIN);
    for_cells({position.x - r, position.y - r}, {position.x + r, position.y + r}, [&](std::uint64_t cell) {
        const auto found = cells_.find(cell);
        if (found == cells_.end()) return;
        nearest_among(position, near, cell_pieces_.data() + found->second.first,
                      cell_pieces_.data() + found->second.second, best);
    });
    if (best.piece != NONE) {
        const TrackPoint point = nearest_on_piece(pieces_[best.piece], position);
        // Every piece within REACH is listed, so a listed piece this near is
        // the nearest of all, penalty included.
        if (std::abs(point.lateral) <= REACH - BRANCH_PENALTY) return point;
    }
    best = Nearest{};
    nearest_among(position, near, all_pieces_.data(), all_pieces_.data() + all_pieces_.size(), best);
    return best.piece == NONE ? TrackPoint{} : nearest_on_piece(pieces_[best.piece], position);
}

}  // namespace sim
