#include "camera.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "random.hpp"

namespace sim {
namespace {

// Told apart from the other seeds' streams, so that the line's wear does not
// repeat the floor's stains.
constexpr std::uint64_t FLOOR_STREAM = 0x3C6EF372FE94F82BULL, LINE_STREAM = 0xA54FF53A5F1D36F1ULL;
// [m] a piece this much beyond the view's side edge, past rounding, shows nothing.
constexpr double EDGE_MARGIN = 1e-6;
// [m] the rows a piece may cross are padded by far less than a row's
// spacing, so that rounding never leaves a row out.
constexpr double PAD = 1e-9;
// A straight piece's direction must lead at least this far ahead (or back)
// a metre along it for the piece to be drawn in a chain: its side lines'
// y then grow by at most 1,000 m a metre ahead, and rounding stays far below
// a nanometre. (Its caps' y may grow without bound, and are kept to their
// own ends.) Pieces nearly square to the robot are drawn on their own.
constexpr double LEAST_CHAIN_AHEAD = 1e-3;

// Sets n bytes to `gray`. A span of line is a few dozen bytes: a few
// overlapping 16-byte stores cost less than a call to memset.
void fill(std::uint8_t* out, std::size_t n, std::uint8_t gray) {
    if (n > 256) {
        std::memset(out, gray, n);
        return;
    }
    std::uint8_t block[16];
    std::memset(block, gray, sizeof block);  // of a constant size: a register, not a call
    if (n >= 16 && n <= 96) {
        // A line's span on a small camera: six stores whatever its length,
        // rather than a loop whose count the processor mispredicts.
        for (std::size_t i = 0; i < 5; ++i) std::memcpy(out + std::min(16 * i, n - 16), block, 16);
        std::memcpy(out + n - 16, block, 16);
    } else if (n >= 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(out + i, block, 16);
        std::memcpy(out + n - 16, block, 16);
    } else if (n >= 8) {
        std::memcpy(out, block, 8);
        std::memcpy(out + n - 8, block, 8);
    } else if (n >= 4) {
        std::memcpy(out, block, 4);
        std::memcpy(out + n - 4, block, 4);
    } else if (n > 0) {
        out[0] = out[n / 2] = out[n - 1] = gray;
    }
}

}  // namespace

Camera::Camera(const CameraSettings& settings, const FloorSettings& grays, const Track& track, double line_width,
               const Floor& floor, std::uint64_t seed)
    : track_(track),
      floor_(floor),
      half_width_(line_width / 2),
      width_(settings.width),
      height_(settings.height),
      floor_gray_(grays.floor_gray),
      line_gray_(grays.line_gray),
      outside_gray_(grays.outside_gray),
      noise_(static_cast<std::int32_t>(std::lround(settings.noise))),
      noise_state_(mix_seed(seed)),
      rows_(static_cast<std::size_t>(height_)),
      rows_kept_(static_cast<std::size_t>(height_), 0),
      image_(3 * static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), grays.outside_gray),
      floor_variation_(mix_seed(seed ^ FLOOR_STREAM), grays.floor_gray_variation),
      line_variation_(mix_seed(seed ^ LINE_STREAM), grays.line_gray_variation) {
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
        row = {true, settings.mount_forward + t * dx, t * (0.5 - width_ / 2.0) / focal, t / focal, focal / t, {}, {}, {}, false};
        const double last = row.left + (width_ - 1) * row.step;
        low_ = {std::min(low_.x, row.ahead), std::min(low_.y, row.left)};
        high_ = {std::max(high_.x, row.ahead), std::max(high_.y, last)};
        floor_rows_ = static_cast<std::size_t>(r) + 1;  // rows past the horizon see none: the first ones do
    }
    if (floor_rows_ > 0) {
        // The pixel centres of a column lie on one line on the floor (the
        // camera's rays through a column lie in a plane): the first and the
        // last column's lines bound the view at the sides, narrower near
        // the robot than the box round it.
        const Row &near = rows_.front(), &far = rows_[floor_rows_ - 1];
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
                std::partition_point(rows_.begin(), floor_end, [&](const Row& row) { return row.ahead < start; }) - rows_.begin());
        }
    }
    // The pieces near the view are looked up for a box this much larger, so
    // that the view moves a few steps before it leaves it.
    if (low_.x <= high_.x) margin_ = std::max(high_.x - low_.x, high_.y - low_.y) / 2;
    outline_.assign(floor_rows_, Span{INFINITY, -INFINITY});
    // A chain's joint must be gentle for its pieces' length: then the half of
    // either piece's cap at the joint on the inner side of the turn lies in
    // the other piece's band (h sin(turn) along it, h cos(turn) beside it).
    const std::vector<Piece>& pieces = track.pieces();
    joins_next_.assign(pieces.size(), 0);
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        const Piece &piece = pieces[i], &next = pieces[i + 1];
        joins_next_[i] = piece.curvature == 0.0 && next.curvature == 0.0 && !piece.gap && !next.gap && !piece.cap_end &&
                         !next.cap_start && piece.end.x == next.start.x && piece.end.y == next.start.y &&
                         half_width_ * std::abs(std::sin(piece.corner)) <= std::min(piece.length, next.length);
    }

    const bool effects = settings.antialias > 1 || settings.exposure_gain != 1.0 || settings.vignetting > 0 ||
                         grays.floor_gray_variation > 0 || grays.line_gray_variation > 0;
    if (!effects) return;
    // The finer camera: the same view, each pixel cut into antialias x
    // antialias sub-pixels, whose centres it looks through.
    antialias_ = std::max(settings.antialias, 1);
    CameraSettings finer = settings;
    finer.width *= antialias_;
    finer.height *= antialias_;
    finer.noise = 0;
    finer.antialias = 1;
    finer.exposure_gain = 1.0;
    finer.vignetting = 0.0;
    FloorSettings labels;
    labels.floor_gray = ON_FLOOR;
    labels.line_gray = ON_LINE;
    labels.outside_gray = OUTSIDE;
    labels.floor_gray_variation = labels.line_gray_variation = 0.0;
    scene_ = std::make_unique<Camera>(finer, labels, track, line_width, floor);
    // Vignetting grows with the square of the distance from the image's
    // centre, to its full amount at the corner pixels.
    const double half_w = (width_ - 1) / 2.0, half_h = (height_ - 1) / 2.0;
    const double corner = half_w * half_w + half_h * half_h;  // [px^2]
    gains_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
    for (std::int32_t r = 0; r < height_; ++r) {
        for (std::int32_t c = 0; c < width_; ++c) {
            const double dx = c - half_w, dy = r - half_h;
            const double darker = corner > 0 ? settings.vignetting * (dx * dx + dy * dy) / corner : 0.0;
            gains_[static_cast<std::size_t>(r * width_ + c)] = settings.exposure_gain * (1 - darker);
        }
    }
}

std::array<Vec2, 4> camera_footprint(const CameraSettings& settings, double reach) {
    // The rays of Camera's constructor, through pixel corners instead of centres.
    const double focal = (settings.width / 2.0) / std::tan(settings.field_of_view / 2);  // [px]
    const double cp = std::cos(settings.pitch), sp = std::sin(settings.pitch);
    const auto corner = [&](double column, double row) {
        const double down = -(row - settings.height / 2.0) / focal, left = (column - settings.width / 2.0) / focal;
        const double dx = cp - down * sp, dz = -sp - down * cp;
        // Along the ray to the floor, or to `reach` ahead where it does not get there first.
        const double to_floor = dz < 0 ? settings.mount_height / -dz : INFINITY;
        const double t = std::min(to_floor, reach / std::hypot(dx, left));
        return Vec2{settings.mount_forward + t * dx, t * left};
    };
    return {corner(0, 0), corner(settings.width, 0), corner(settings.width, settings.height), corner(0, settings.height)};
}

Vec2 Camera::ground_point(std::int32_t column, std::int32_t row) const {
    const Row& r = rows_[static_cast<std::size_t>(row)];
    if (!r.sees_floor) return {std::nan(""), std::nan("")};
    return {r.ahead, r.left + column * r.step};
}

void Camera::render(const Pose& pose) {
    ++renders_;
    const Transform robot = make_transform(pose);
    if (scene_) {
        scene_->draw(robot);
        shade(robot);
    } else {
        draw(robot);
    }
    if (noise_ > 0) {
        // xorshift64*: the same seed gives the same noise on every machine.
        const auto span = static_cast<std::uint64_t>(2 * noise_ + 1);
        for (std::uint8_t& byte : image_) {
            const auto offset = static_cast<std::int32_t>((next_random(noise_state_) >> 32) % span) - noise_;
            byte = static_cast<std::uint8_t>(std::clamp(byte + offset, 0, 255));
        }
    }
}

void Camera::find_nearby(Vec2 low, Vec2 high) {
    const double h = half_width_;
    if (nearby_low_.x <= low.x - h && nearby_low_.y <= low.y - h && high.x + h <= nearby_high_.x &&
        high.y + h <= nearby_high_.y) {
        return;  // still inside the box last looked up
    }
    const double grow = h + margin_;
    nearby_low_ = {low.x - grow, low.y - grow};
    nearby_high_ = {high.x + grow, high.y + grow};
    nearby_.clear();
    track_.pieces_near(nearby_low_, nearby_high_, nearby_);
    // Of those, the drawn pieces whose bounding circle, grown by half a line, meets the box.
    std::erase_if(nearby_, [&](std::uint32_t i) {
        const Piece& piece = track_.pieces()[i];
        const double r = piece.reach + h;
        return piece.gap || piece.middle.x + r < nearby_low_.x || piece.middle.x - r > nearby_high_.x ||
               piece.middle.y + r < nearby_low_.y || piece.middle.y - r > nearby_high_.y;
    });
}

void Camera::in_view(const Transform& robot, const Piece& piece, PieceInView& view) const {
    // Every member written once, into a view kept from piece to piece: a
    // point track has dozens in view, and a fresh PieceInView{} would be
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
    view.low = least - half_width_ - PAD;
    view.high = most + half_width_ + PAD;
    const auto include = [&view](double low, double high) {
        view.low = std::min(view.low, low);
        view.high = std::max(view.high, high);
    };
    if (piece.cap_start) include(view.start.x - half_width_ - PAD, view.start.x + half_width_ + PAD);
    if (piece.cap_end) include(view.end.x - half_width_ - PAD, view.end.x + half_width_ + PAD);
    if (piece.corner != 0.0) {
        corner_reach(view.end.x, view.corner_from, view.corner_to, piece.corner, view.corner_low, view.corner_high);
        include(view.corner_low, view.corner_high);
    }
}

[[gnu::always_inline]] inline void Camera::corner_reach(double ahead, Vec2 from, Vec2 to, double corner, double& low, double& high) const {
    // The wedge's reach ahead: from its point, out to half a line along its
    // edges, and along the robot's axis if the wedge holds it. (Without a
    // branch: a point track's corners turn either way, at random.)
    const double turn = corner > 0 ? 1.0 : -1.0;
    const bool forward = (turn * -from.y >= 0) & (turn * to.y >= 0), backward = (turn * from.y >= 0) & (turn * -to.y >= 0);
    const double largest = std::max(std::max(0.0, from.x), to.x), smallest = std::min(std::min(0.0, from.x), to.x);
    const double most = forward ? 1.0 : largest, least = backward ? -1.0 : smallest;
    low = ahead + half_width_ * least - PAD;
    high = ahead + half_width_ * most + PAD;
}

void Camera::draw(const Transform& robot) {
    const double c = robot.q.c, s = robot.q.s;
    const auto row_bytes = 3 * static_cast<std::size_t>(width_);
    Vec2 low, high;
    floor_box(robot, low, high);

    // The floor first: light where the floor is, the outside past its edges
    // (most frames see no edge at all: one fill) and above the horizon.
    // Where neither this frame nor the last saw an edge, the image still
    // holds the floor and the last frame's line: only the rows whose line
    // moved are written again, at the end (most rows' line moves a pixel
    // only every few frames).
    const bool whole_view_on_floor = floor_.contains(low) && floor_.contains(high);
    const bool keep = whole_view_on_floor && image_kept_;
    image_kept_ = whole_view_on_floor && noise_ == 0 && floor_rows_ > 0;
    // Rows above the horizon are only ever the outside: as they were where the rest is kept.
    std::fill(rows_kept_.begin(), rows_kept_.end(), keep);
    if (!keep) {
        if (whole_view_on_floor) std::memset(image_.data(), floor_gray_, floor_rows_ * row_bytes);
        std::memset(image_.data() + floor_rows_ * row_bytes, outside_gray_, image_.size() - floor_rows_ * row_bytes);
    }
    overflow_.clear();
    // Most frames see no edge: the rows' floor spans stay whole from frame
    // to frame, and are only set again after a frame that saw one.
    const bool rows_on_floor = whole_view_on_floor && !edge_seen_;
    edge_seen_ = !whole_view_on_floor;
    for (std::size_t r = 0; r < floor_rows_ && !rows_on_floor; ++r) {
        Row& row = rows_[r];
        row.on_floor = Span{};
        if (whole_view_on_floor) continue;
        std::uint8_t* out = image_.data() + r * row_bytes;
        const Vec2 first = to_floor(robot, {row.ahead, row.left}), step{-s * row.step, c * row.step};
        row.on_floor.at_least_zero(first.x - floor_.low.x, step.x);
        row.on_floor.at_least_zero(floor_.high.x - first.x, -step.x);
        row.on_floor.at_least_zero(first.y - floor_.low.y, step.y);
        row.on_floor.at_least_zero(floor_.high.y - first.y, -step.y);
        std::memset(out, outside_gray_, row_bytes);
        const Columns floor_columns = columns(row.on_floor);
        fill(out + 3 * floor_columns.begin, 3 * (floor_columns.end - floor_columns.begin), floor_gray_);
    }
    if (floor_rows_ == 0) return;

    // Then the line: every point within half its width of the centre line.
    // Each piece near the view is moved into the robot's frame, where every
    // row is the line x = ahead and its pixel centres lie at y = left + u step.
    find_nearby(low, high);
    PieceInView view;
    for (const std::uint32_t index : nearby_) {
        const Piece& piece = track_.pieces()[index];
        // Pieces whose bounding circle misses the view show nothing.
        const Vec2 middle = to_robot(robot, piece.middle);
        const double reach = piece.reach + half_width_;
        if (middle.x + reach < low_.x || middle.x - reach > high_.x || middle.y + reach < low_.y ||
            middle.y - reach > high_.y || dot(middle - right_edge_.point, right_edge_.outward) > reach + EDGE_MARGIN ||
            dot(middle - left_edge_.point, left_edge_.outward) > reach + EDGE_MARGIN) {
            continue;
        }
        if (piece.curvature == 0.0) {
            const Vec2 d = inv_rotate(robot.q, piece.direction);
            if (std::abs(d.x) >= LEAST_CHAIN_AHEAD) {
                const bool joins = chain_.open && chain_.last + 1 == index && joins_next_[chain_.last] != 0 &&
                                   (d.x > 0) == (chain_.d.x > 0);
                if (!joins) end_chain(robot);
                chain_piece(robot, index, piece, d, joins);
            } else {
                straight_in_view(robot, piece, to_robot(robot, piece.start), to_robot(robot, piece.end), d);
            }
            continue;
        }
        in_view(robot, piece, view);
        piece_in_rows(first_row_at(view.low), piece, view);
    }
    end_chain(robot);
    // Runs of line apart from their row's main one, in row order: a crafted
    // track may cross a row many times, in many rows.
    std::sort(overflow_.begin(), overflow_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    auto apart = overflow_.cbegin();
    for (std::size_t r = 0; r < floor_rows_; ++r) {
        Row& row = rows_[r];
        const Columns line = row.line;
        row.line = {};  // none yet, for the next frame
        const bool split = apart != overflow_.cend() && apart->first == r;  // more runs in this row
        if (keep) {
            if (!split && !row.several && line.begin == row.drawn.begin && line.end == row.drawn.end) continue;
            rows_kept_[r] = 0;
            // The last frame's line back to floor.
            const Columns before = row.several ? Columns{0, static_cast<std::size_t>(width_)} : row.drawn;
            fill(image_.data() + 3 * (r * static_cast<std::size_t>(width_) + before.begin), 3 * (before.end - before.begin),
                 floor_gray_);
        }
        write_line(r, line);
        for (; apart != overflow_.cend() && apart->first == r; ++apart) write_line(r, apart->second);
        row.drawn = line;
        row.several = split;
    }
}

std::size_t Camera::first_row_at(double ahead) const {
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

[[gnu::always_inline]] inline void Camera::add_line(std::size_t r, Columns span) {
    if (span.begin == span.end) return;
    Columns& line = rows_[r].line;
    if (line.begin == line.end) {
        line = span;
    } else if (span.begin <= line.end && line.begin <= span.end) {
        line = {std::min(line.begin, span.begin), std::max(line.end, span.end)};
    } else {
        overflow_.emplace_back(r, line);
        line = span;
    }
}

void Camera::write_line(std::size_t r, Columns line) {
    fill(image_.data() + 3 * (r * static_cast<std::size_t>(width_) + line.begin), 3 * (line.end - line.begin), line_gray_);
}

void Camera::floor_box(const Transform& robot, Vec2& low, Vec2& high) const {
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

void Camera::shade(const Transform& robot) {
    const auto fine_width = static_cast<std::size_t>(scene_->width_);
    const auto n = static_cast<std::size_t>(antialias_);
    const double per_sample = 1.0 / static_cast<double>(n * n);
    const bool varied = floor_variation_.amplitude() > 0 || line_variation_.amplitude() > 0;
    if (varied) {
        Vec2 low, high;
        floor_box(robot, low, high);
        floor_variation_.cover(low, high);
        line_variation_.cover(low, high);
    }
    for (std::int32_t r = 0; r < height_; ++r) {
        const Row& row = rows_[static_cast<std::size_t>(r)];
        for (std::int32_t col = 0; col < width_; ++col) {
            // The pixel's sub-pixels on the floor, on the line and outside it:
            // the labels 0, 1 and 2 add up to line + 2 outside, and halved to outside.
            std::int32_t sum = 0, halves = 0;
            for (std::size_t j = 0; j < n; ++j) {
                const std::uint8_t* labels =
                    scene_->image_.data() + 3 * ((static_cast<std::size_t>(r) * n + j) * fine_width + static_cast<std::size_t>(col) * n);
                for (std::size_t i = 0; i < n; ++i) {
                    sum += labels[3 * i];
                    halves += labels[3 * i] >> 1;
                }
            }
            const std::int32_t count[3] = {static_cast<std::int32_t>(n * n) - sum + halves, sum - 2 * halves, halves};
            double floor_gray = floor_gray_, line_gray = line_gray_;
            if (varied && row.sees_floor) {
                // Where the pixel's centre looks: the variation is smooth over centimetres, a pixel's footprint millimetres.
                const double ahead = row.ahead, left = row.left + col * row.step;
                const GrayField::Place p = GrayField::place(to_floor(robot, {ahead, left}));
                if (count[ON_FLOOR] > 0) floor_gray += floor_variation_.at(p);
                if (count[ON_LINE] > 0) line_gray += line_variation_.at(p);
            }
            const double gray = (count[ON_FLOOR] * floor_gray + count[ON_LINE] * line_gray + count[OUTSIDE] * outside_gray_) *
                                per_sample * gains_[static_cast<std::size_t>(r * width_ + col)];
            // Rounded to the nearest level, half up.
            const auto byte = static_cast<std::uint8_t>(std::clamp(gray, 0.0, 255.0) + 0.5);
            std::memset(image_.data() + 3 * static_cast<std::size_t>(r * width_ + col), byte, 3);
        }
    }
}

namespace {

// The y within `radius` of `centre` on the line x = a, or an empty span.
Span across_disc(double a, Vec2 centre, double radius) {
    const double dx = a - centre.x, squared = radius * radius - dx * dx;
    if (!(squared >= 0)) return {1, 0};
    const double half = std::sqrt(squared);
    return {centre.y - half, centre.y + half};
}

// The y on the line x = a (ax = a - centre.x) within the wedge round
// `centre` from `from` round to `to` (counter-clockwise for sign +1,
// clockwise for -1), a wedge of at most a half turn: two half-planes.
[[gnu::always_inline]] inline Span across_wedge(double ax, Vec2 centre, Vec2 from, Vec2 to, double sign) {
    Span wedge;
    wedge.at_least_zero(sign * (-from.x * centre.y - from.y * ax), sign * from.x);  // from x v >= 0
    wedge.at_least_zero(sign * (ax * to.y + centre.y * to.x), -sign * to.x);        // v x to >= 0
    return wedge;
}

}  // namespace

[[gnu::always_inline]] inline void Camera::line_in_row(std::size_t r, Span y) {
    // y = left + u step, so u = (y - left) / step; step > 0.
    const Row& row = rows_[r];
    Span u{(y.lo - row.left) * row.per_step, (y.hi - row.left) * row.per_step};
    u.lo = std::max(u.lo, row.on_floor.lo);
    u.hi = std::min(u.hi, row.on_floor.hi);
    add_line(r, columns(u));
}

// A disc where the line stops or turns sharply, round `centre` (robot frame).
void Camera::disc_in_rows(Vec2 centre) {
    const double high = centre.x + half_width_ + PAD;
    for (std::size_t r = first_row_at(centre.x - half_width_ - PAD); r < floor_rows_ && rows_[r].ahead <= high; ++r) {
        line_in_row(r, across_disc(rows_[r].ahead, centre, half_width_));
    }
}

// The pixels that lie on an arc of line, the arc seen from the robot, in
// each row from `first` on that it may cross. The end discs and the
// corner's wedge cross a few rows only: each has its own loop over them.
void Camera::piece_in_rows(std::size_t first, const Piece& piece, const PieceInView& view) {
    const double half_width = half_width_;
    const auto rows_from = [&](double low, double high, const auto& in_row) {
        for (std::size_t r = first_row_at(low); r < floor_rows_ && rows_[r].ahead <= high; ++r) in_row(r, rows_[r].ahead);
    };
    if (piece.cap_start) disc_in_rows(view.start);
    if (piece.cap_end) disc_in_rows(view.end);
    if (piece.corner != 0.0) {
        const double corner_sign = piece.corner > 0 ? 1.0 : -1.0;
        rows_from(view.corner_low, view.corner_high, [&](std::size_t r, double a) {
            const Span wedge = across_wedge(a - view.end.x, view.end, view.corner_from, view.corner_to, corner_sign);
            const Span disc = across_disc(a, view.end, half_width);
            line_in_row(r, {std::max(disc.lo, wedge.lo), std::min(disc.hi, wedge.hi)});
        });
    }
    for (std::size_t r = first; r < floor_rows_ && rows_[r].ahead <= view.high; ++r) {
        const double a = rows_[r].ahead;
        // An annulus between the radii R -/+ half width, within the piece's wedge
        // (at most a quarter turn, so two half-planes through the centre).
        // (All three worked out before any is looked at: their divisions and
        // square roots then run side by side.)
        const Span wedge = across_wedge(a - view.centre.x, view.centre, view.from, view.to, view.sign);
        const Span outer = across_disc(a, view.centre, piece.radius + half_width);
        const Span inner = half_width < piece.radius ? across_disc(a, view.centre, piece.radius - half_width) : Span{1, 0};
        if (wedge.empty()) continue;
        if (inner.empty()) {
            line_in_row(r, {std::max(outer.lo, wedge.lo), std::min(outer.hi, wedge.hi)});
        } else {
            // Skip the inner disc's open interval; its ends are on the line.
            line_in_row(r, {std::max(outer.lo, wedge.lo), std::min({outer.hi, wedge.hi, inner.lo})});
            line_in_row(r, {std::max({outer.lo, wedge.lo, inner.hi}), std::min(outer.hi, wedge.hi)});
        }
    }
}

Camera::Corner Camera::corner_in_view(const Transform& robot, const Piece& piece, Vec2 end, Vec2 d) const {
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
    corner_reach(end.x, corner.from, corner.to, piece.corner, corner.low, corner.high);
    return corner;
}

[[gnu::always_inline]] inline Span Camera::across_corner(const Corner& corner, double a) const {
    const double wx = a - corner.end.x, squared = half_width_ * half_width_ - wx * wx;
    if (!(a >= corner.low && a <= corner.high && squared >= 0)) return {1, 0};
    const double half = std::sqrt(squared);
    Span wedge{corner.end.y - half, corner.end.y + half};
    if (corner.lines) {
        const double from_y = corner.end.y + wx * corner.from_slope, to_y = corner.end.y + wx * corner.to_slope;
        if (corner.from_below) wedge.lo = std::max(wedge.lo, from_y); else wedge.hi = std::min(wedge.hi, from_y);
        if (corner.to_above) wedge.hi = std::min(wedge.hi, to_y); else wedge.lo = std::max(wedge.lo, to_y);
    } else {
        const Span edges = across_wedge(wx, corner.end, corner.from, corner.to, corner.turn);
        wedge = {std::max(wedge.lo, edges.lo), std::min(wedge.hi, edges.hi)};
    }
    return wedge;
}

void Camera::corner_in_rows(const Corner& corner) {
    for (std::size_t r = first_row_at(corner.low); r < floor_rows_ && rows_[r].ahead <= corner.high; ++r) {
        line_in_row(r, across_corner(corner, rows_[r].ahead));
    }
}

// A band beside the straight: 0 <= along <= length and |side| <= half
// width, with along = (a - s.x) d.x + (y - s.y) d.y and side = (y - s.y) d.x
// - (a - s.x) d.y for the point (a, y); each of the four is a bound on y,
// a line in the row's distance ahead a. So is each of the two edges of the
// corner's wedge, through its point. Their slopes are divided out once a
// piece, not in every row. (Only a side square to the robot's axis or
// along it is no line in a: then the bound is worked out row by row.)
void Camera::straight_in_view(const Transform& robot, const Piece& piece, Vec2 start, Vec2 end, Vec2 d) {
    const double half_width = half_width_;
    if (piece.cap_start) disc_in_rows(start);
    if (piece.cap_end) disc_in_rows(end);
    const bool band_lines = d.x != 0 && d.y != 0;
    const double along_slope = -d.x / d.y, side_slope = d.y / d.x;  // [m/m] y a metre further ahead
    const double along_end = piece.length / d.y, side_reach = half_width / std::abs(d.x);
    const double along_low = start.y + std::min(0.0, along_end), along_high = start.y + std::max(0.0, along_end);
    const double side_low = start.y - side_reach, side_high = start.y + side_reach;
    const double start_y_d_y = start.y * d.y, start_y_d_x = -start.y * d.x;
    // The band's corners lie half a width to either side of the ends.
    const double spread = half_width * std::abs(d.y);
    double low = std::min(start.x, end.x) - spread - PAD, high = std::max(start.x, end.x) + spread + PAD;
    Corner corner;
    if (piece.corner != 0.0) {
        corner = corner_in_view(robot, piece, end, d);
        low = std::min(low, corner.low);
        high = std::max(high, corner.high);
    }
    // The rows, with the band's bounds as lines or not (one loop each).
    const auto rows = [&](auto as_lines) {
        for (std::size_t r = first_row_at(low); r < floor_rows_ && rows_[r].ahead <= high; ++r) {
            const double a = rows_[r].ahead, ax = a - start.x;
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
                    line_in_row(r, wedge);
                }
            }
            line_in_row(r, band);
        }
    };
    if (band_lines) {
        rows(std::true_type{});
    } else {
        rows(std::false_type{});
    }
}

template <typename Y>
[[gnu::always_inline]] inline void Camera::outline_rows(std::size_t& from, double low, double high, const Y& y) {
    // Rows further up the image look further ahead. The search starts where
    // this side's last one began and goes either way: a side's next element
    // begins where its last one ended (the same bits, worked out by the same
    // expressions, so that no row falls between them), or a little before on
    // the inner side of a turn.
    std::size_t r = from;
    while (r > 0 && rows_[r - 1].ahead >= low) --r;
    while (r < floor_rows_ && rows_[r].ahead < low) ++r;
    from = r;
    chain_.first_row = std::min(chain_.first_row, r);
    for (; r < floor_rows_ && rows_[r].ahead <= high; ++r) {
        const double at = y(rows_[r].ahead);
        Span& span = outline_[r];
        span = {std::min(span.lo, at), std::max(span.hi, at)};
    }
    chain_.end_row = std::max(chain_.end_row, r);
}

void Camera::cap_outline(Vec2 through, Vec2 d, double x0, double y0) {
    if (d.y == 0) return;  // along a row: its ends are the side lines' ends
    const double along_slope = -d.x / d.y, spread = half_width_ * std::abs(d.y);
    // Kept to the cap's own ends, [m] of y: a cap nearly along the rows
    // slopes so steeply that rounding would throw its y far off.
    const double least = through.y - half_width_ * std::abs(d.x), most = through.y + half_width_ * std::abs(d.x);
    std::size_t r = first_row_at(through.x - spread);
    outline_rows(r, through.x - spread, through.x + spread,
                 [&](double a) { return std::clamp(y0 + (a - x0) * along_slope, least, most); });
}

// A piece's side lines, a half width to its left (s = 1) and right (s =
// -1): y = start.y + s h / d.x + (a - start.x) d.y / d.x, over the a between
// their ends, start.x - s h d.y and end.x - s h d.y.
void Camera::side_lines(Vec2 start, Vec2 end, Vec2 d) {
    const double h = half_width_, slope = d.y / d.x, reach = h / d.x;
    for (std::size_t k = 0; k < 2; ++k) {
        const double s = k == 0 ? 1.0 : -1.0;
        const double from = start.x - s * h * d.y, to = end.x - s * h * d.y, y0 = start.y + s * reach;
        outline_rows(chain_.side_row[k], std::min(from, to), std::max(from, to),
                     [&](double a) { return y0 + (a - start.x) * slope; });
    }
}

void Camera::begin_outline() {
    const Piece& piece = track_.pieces()[chain_.first];
    const Vec2 start = chain_.start, d = chain_.d;
    chain_.first_row = floor_rows_;
    chain_.end_row = 0;
    if (piece.cap_start) disc_in_rows(start);
    cap_outline(start, d, start.x, start.y);
    chain_.side_row[0] = chain_.side_row[1] = first_row_at(start.x - half_width_ * std::abs(d.y));
    side_lines(start, chain_.end, d);
}

void Camera::chain_piece(const Transform& robot, std::uint32_t index, const Piece& piece, Vec2 d, bool joins) {
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

void Camera::end_chain(const Transform& robot) {
    if (!chain_.open) return;
    chain_.open = false;
    const Piece& piece = track_.pieces()[chain_.last];
    const Vec2 start = chain_.start, end = chain_.end, d = chain_.d;
    if (chain_.first == chain_.last) {
        straight_in_view(robot, piece, start, end, d);
        return;
    }
    cap_outline(end, d, start.x, start.y + piece.length / d.y);
    if (piece.cap_end) disc_in_rows(end);
    if (piece.corner != 0.0) corner_in_rows(corner_in_view(robot, piece, end, d));
    for (std::size_t r = chain_.first_row; r < chain_.end_row; ++r) {
        Span& span = outline_[r];
        if (span.lo <= span.hi) line_in_row(r, span);
        span = {INFINITY, -INFINITY};
    }
}

}  // namespace sim
