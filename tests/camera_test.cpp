// The camera: its mounting, and every pixel of its images against a
// reference that tests each pixel's ground point on its own.
#include "camera.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "scenarios.hpp"
#include "straight_drawing.hpp"
#include "track.hpp"
#include "world_file.hpp"

namespace {

constexpr std::uint8_t FLOOR = 230, LINE = 10, OUTSIDE = 128;

sim::TrackSettings straight_along_x(double y, double width = 0.018) {
    sim::TrackSettings track;
    track.start = {-1.0, y};
    track.line_width = width;
    track.closed = false;
    track.segments = {{2.0, 0, 0, 0, false}};
    return track;
}

const sim::Floor BIG_FLOOR{{-10, -10}, {10, 10}};

// A track with a camera bound to it, on the big floor, as a simulation binds them.
struct Seen {
    explicit Seen(const sim::TrackSettings& settings, const sim::CameraSettings& camera_settings = {},
                  const sim::FloorSettings& grays = {}, std::uint64_t seed = 1)
        : track(settings), camera(camera_settings, grays, track, settings.line_width, BIG_FLOOR, seed) {}
    sim::Track track;
    sim::Camera camera;
};

std::uint8_t gray_at(const sim::Camera& camera, std::int32_t column, std::int32_t row) {
    return camera.image()[3 * static_cast<std::size_t>(row * camera.width() + column)];
}

std::vector<std::int32_t> dark_columns(const sim::Camera& camera, std::int32_t row) {
    std::vector<std::int32_t> columns;
    for (std::int32_t c = 0; c < camera.width(); ++c) {
        if (gray_at(camera, c, row) == LINE) columns.push_back(c);
    }
    return columns;
}

TEST(CameraMounting, NearRowsFirstAndLargerColumnsOnTheLeft) {
    const Seen seen(straight_along_x(0.0));
    const sim::Camera& camera = seen.camera;
    const sim::Vec2 first = camera.ground_point(0, 0), last = camera.ground_point(63, 47);
    EXPECT_LT(first.x, last.x);  // row 0 nearest
    EXPECT_LT(first.y, 0.0);     // column 0 on the right
    EXPECT_GT(last.y, 0.0);
    // Each row's ground points are symmetric about the robot's axis.
    for (std::int32_t r = 0; r < 48; ++r) {
        EXPECT_NEAR(camera.ground_point(0, r).y, -camera.ground_point(63, r).y, 1e-12);
        EXPECT_GT(camera.ground_point(0, r).x, 0.03);  // ahead of the camera's mount
    }
}

TEST(CameraImage, LineUnderTheRobotIsCentredAndLineToTheLeftAtLargerColumns) {
    Seen centred(straight_along_x(0.0)), left(straight_along_x(0.02));
    centred.camera.render({0, 0, 0});
    for (std::int32_t r = 0; r < 48; ++r) {
        const auto dark = dark_columns(centred.camera, r);
        ASSERT_FALSE(dark.empty());
        EXPECT_EQ(dark.front() + dark.back(), 63) << "row " << r;  // symmetric about the middle
    }
    left.camera.render({0, 0, 0});
    const auto row_38 = dark_columns(left.camera, 38);
    ASSERT_FALSE(row_38.empty());
    EXPECT_GT(row_38.front(), 32);
}

// Whether p is on the drawn line, and how far [m] from deciding otherwise:
// within half a width of a piece (its ends rounded), except past an end at
// a mitred corner, where the corner's kite (the corner, the two outer edge
// points and where those edges meet) holds the line instead, within a
// line's width of the corner.
bool on_line(const sim::Track& track, sim::Vec2 p, double width, double& margin) {
    const std::vector<sim::Piece>& pieces = track.pieces();
    const double h = width / 2;
    bool on = false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const sim::Piece& piece = pieces[i];
        if (piece.gap) continue;
        const sim::Piece* before = i > 0 ? &pieces[i - 1] : track.closed() ? &pieces.back() : nullptr;
        const double d = sim::distance_to_piece(piece, p);
        // [m] ahead of the piece's start, and past its end, square to the centre line there.
        const double h_end = sim::heading_on_piece(piece, piece.length);
        const double ahead =
            (p.x - piece.start.x) * std::cos(piece.heading) + (p.y - piece.start.y) * std::sin(piece.heading);
        const double past = (p.x - piece.end.x) * std::cos(h_end) + (p.y - piece.end.y) * std::sin(h_end);
        const bool start_mitred = before != nullptr && !before->gap && before->mitre, end_mitred = piece.mitre;
        const bool cut = (start_mitred && ahead < 0) || (end_mitred && past > 0);
        margin = std::min(margin, std::abs(d - h));
        if (start_mitred) margin = std::min(margin, std::abs(ahead));
        if (end_mitred) margin = std::min(margin, std::abs(past));
        on = on || (!cut && d <= h);
        if (!piece.mitre) continue;
        const sim::Vec2 c = piece.end, mid = piece.corner_from + piece.corner_to;
        const double tip = h / std::cos(piece.corner / 2), length = std::hypot(mid.x, mid.y);
        const sim::Vec2 kite[4] = {c, c + h * piece.corner_from, c + (tip / length) * mid, c + h * piece.corner_to};
        // Inside a convex polygon: on one side of every edge, its distance from each.
        double least = INFINITY, most = -INFINITY;
        for (int k = 0; k < 4; ++k) {
            const sim::Vec2 a = kite[k], b = kite[(k + 1) % 4], e = b - a;
            const double side = (e.x * (p.y - a.y) - e.y * (p.x - a.x)) / std::hypot(e.x, e.y);
            least = std::min(least, side);
            most = std::max(most, side);
        }
        const double inside = std::max(least, -most);  // > 0 inside, whichever way round
        const double r = std::hypot(p.x - c.x, p.y - c.y), reach = std::min(tip, width);
        margin = std::min({margin, std::abs(inside), std::abs(r - reach)});
        on = on || (inside >= 0 && r <= reach);
    }
    return on;
}

// Every pixel: line where its ground point is on the line (on_line()),
// floor elsewhere on the floor, outside beyond it. Counts the line pixels
// into `line_pixels`.
void expect_matches_reference(int& line_pixels, const sim::Camera& camera, const sim::Pose& pose,
                              const sim::Track& track, double width, const sim::Floor& floor) {
    int checked = 0;
    for (std::int32_t r = 0; r < camera.height(); ++r) {
        for (std::int32_t c = 0; c < camera.width(); ++c) {
            const sim::Vec2 g = camera.ground_point(c, r);
            const sim::Vec2 p{pose.x + std::cos(pose.heading) * g.x - std::sin(pose.heading) * g.y,
                              pose.y + std::sin(pose.heading) * g.x + std::cos(pose.heading) * g.y};
            std::uint8_t expected = OUTSIDE;
            double margin = INFINITY;  // how far the point is from deciding otherwise
            if (floor.contains(p)) expected = on_line(track, p, width, margin) ? LINE : FLOOR;
            if (margin < 1e-9) continue;  // on the line's edge: either answer is right
            line_pixels += expected == LINE ? 1 : 0;
            ASSERT_EQ(gray_at(camera, c, r), expected) << "pixel " << c << ", " << r << " at " << p.x << ", " << p.y;
            ++checked;
        }
    }
    EXPECT_GT(checked, camera.width() * camera.height() * 9 / 10);
}

sim::CameraSettings camera_of(std::int32_t width, std::int32_t height, double pitch,
                              double field_of_view = sim::CameraSettings{}.field_of_view) {
    sim::CameraSettings settings;
    settings.width = width;
    settings.height = height;
    settings.pitch = pitch;
    settings.field_of_view = field_of_view;
    return settings;
}

// A pose `s` [m] along the track, moved across it by about `offset` [m]
// and turned by `turn` [rad] from its heading there.
sim::Pose pose_along(const sim::Track& track, double s, double offset_x, double offset_y, double turn) {
    std::size_t k = 0;
    while (k + 1 < track.pieces().size() && track.pieces()[k + 1].start_distance <= s) ++k;
    const sim::Piece& piece = track.pieces()[k];
    const sim::Vec2 q = sim::point_on_piece(piece, s - piece.start_distance);
    const double h = sim::heading_on_piece(piece, s - piece.start_distance);
    return {q.x - std::sin(h) * offset_x, q.y + std::cos(h) * offset_y, h + turn};
}

// `views` views from near the line, looking roughly along it, each checked
// pixel by pixel; returns the pixels on the line. The camera by default sees
// further than the robot's, across more pieces.
int views_match_reference(const sim::TrackSettings& settings, int views, std::uint32_t seed,
                          const sim::CameraSettings& camera_settings = camera_of(80, 60, 0.6)) {
    const sim::Track track(settings);
    const sim::Floor floor{{track.min_corner().x - 0.05, track.min_corner().y - 0.05},
                           {track.max_corner().x + 0.05, track.max_corner().y + 0.05}};
    sim::Camera camera(camera_settings, sim::FloorSettings{}, track, settings.line_width, floor);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> along(0.0, track.length()), offset(-0.05, 0.05), turn(-0.5, 0.5);
    int line_pixels = 0;
    for (int i = 0; i < views; ++i) {
        const double s = along(random);
        const sim::Pose pose = pose_along(track, s, offset(random), offset(random), turn(random));
        camera.render(pose);
        expect_matches_reference(line_pixels, camera, pose, track, settings.line_width, floor);
        if (::testing::Test::HasFatalFailure()) break;
    }
    return line_pixels;
}

TEST(CameraImage, EveryPixelMatchesReferenceOnAWindingTrackWithGapsAndCorners) {
    sim::WorldSettings world = sim::winding_world(24, 3);
    world.track.segments[3].gap = true;
    world.track.segments[6].corner = 0.7;   // a sharp turn (the track no longer closes; no matter)
    world.track.segments[9].corner = -2.0;  // sharper than a quarter turn
    world.track.closed = false;
    EXPECT_GT(views_match_reference(world.track, 150, 9),
              150 * 80 * 60 / 20);  // the line filled a good share of the views
}

// Point tracks: a wedge of the line's disc outside each corner, the whole
// disc at corners sharper than a quarter turn and at open ends; the closing
// corner of a closed track too.
TEST(CameraImage, EveryPixelMatchesReferenceOnPointTracks) {
    EXPECT_GT(views_match_reference(sim::peanut_points_world(720).track, 40, 3), 40 * 80 * 60 / 20);
    sim::TrackSettings square;
    sim::set_polyline(square, {{0, 0}, {0.3, 0}, {0.3, 0.3}, {0, 0.3}, {0, 0}});
    EXPECT_GT(views_match_reference(square, 60, 4), 60 * 80 * 60 / 40);
    sim::TrackSettings zigzag;
    zigzag.closed = false;
    sim::set_polyline(zigzag, {{0, 0}, {0.1, 0.02}, {0.02, 0.06}, {0.12, 0.1}, {0.13, 0.2}, {0.11, 0.3}});
    EXPECT_GT(views_match_reference(zigzag, 60, 5), 60 * 80 * 60 / 40);
}

// Segments with turns in place: square and sharper corners either way,
// after straights and arcs, before a gap, the last one the closing corner.
// The square written as points, its corners rounded, lies within the
// square written as segments, whose corners are taped.
TEST(CameraImage, EveryPixelMatchesReferenceOnSegmentsWithTurns) {
    const sim::TrackSettings mixed = sim::parse_world(R"([track]
closed = false
segments = [{ straight = 0.3 }, { turn = 90 }, { arc = 0.2, angle = 60 }, { turn = -135 }, { straight = 0.25 },
            { turn = -45 }, { straight = 0.05, gap = true }, { turn = 30 }, { straight = 0.2 }, { turn = 170 },
            { arc = 0.1, angle = -90 }, { turn = 90 }, { straight = 0.2 }])",
                                                      "mixed.toml")
                                         .track;
    EXPECT_GT(views_match_reference(mixed, 80, 6), 80 * 80 * 60 / 40);
    // The same square as points, its corners rounded, lies within the taped one, which has more.
    const sim::TrackSettings points =
        sim::parse_world("[track]\npoints = [[0, 0], [0.3, 0], [0.3, 0.3], [0, 0.3], [0, 0]]\n", "p.toml").track;
    const std::string side = "{ straight = 0.3 }, { turn = 90 }, ";
    const sim::TrackSettings segments =
        sim::parse_world("[track]\nsegments = [" + side + side + side + side + "]\n", "s.toml").track;
    EXPECT_GT(views_match_reference(segments, 30, 7), 30 * 80 * 60 / 40);
    const sim::Track point_track(points), segment_track(segments);
    const sim::Floor floor{{-0.2, -0.2}, {0.5, 0.5}};
    const sim::CameraSettings settings = camera_of(80, 60, 0.6);
    sim::Camera a(settings, sim::FloorSettings{}, point_track, 0.018, floor),
        b(settings, sim::FloorSettings{}, segment_track, 0.018, floor);
    std::mt19937 random(8);
    std::uniform_real_distribution<double> along(0.0, point_track.length()), offset(-0.05, 0.05), turn(-0.5, 0.5);
    int more = 0;
    for (int i = 0; i < 200; ++i) {
        const sim::Pose pose = pose_along(point_track, along(random), offset(random), offset(random), turn(random));
        a.render(pose);
        b.render(pose);
        for (std::size_t k = 0; k < 3 * 80 * 60; ++k) {
            ASSERT_TRUE(a.image()[k] == b.image()[k] || b.image()[k] == LINE) << "view " << i;
            more += a.image()[k] != b.image()[k] ? 1 : 0;
        }
    }
    EXPECT_GT(more, 3 * 200);
}

// Random segment lists: straights (some shorter than a mitre's point),
// arcs and gaps, a turn of up to a half turn either way before most.
TEST(CameraImage, EveryPixelMatchesReferenceOnRandomTurnsAndGaps) {
    std::mt19937 random(26);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int line_pixels = 0;
    for (int list = 0; list < 6; ++list) {
        sim::TrackSettings track;
        track.closed = false;
        for (int k = 0; k < 14; ++k) {
            sim::SegmentSettings s;
            s.length = 0.005 + 0.2 * unit(random);
            if (unit(random) < 0.3) {
                s.radius = 0.05 + 0.3 * unit(random);
                s.angle = (unit(random) - 0.5) * 2.5;
                s.length = s.radius * std::abs(s.angle);
            }
            s.gap = k > 0 && unit(random) < 0.15;
            if (k > 0 && unit(random) < 0.7) {
                s.corner = (unit(random) * 2 - 1) * std::numbers::pi;
                s.mitre = true;
            }
            track.segments.push_back(s);
        }
        line_pixels += views_match_reference(track, 30, static_cast<std::uint32_t>(list));
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(line_pixels, 6 * 30 * 80 * 60 / 40);
}

// Random walks of points 1 to 11 mm apart (most of them far less than the
// line is wide), turning by up to 4 degrees at most points and by up to 86
// at the rest: chains of pieces start and stop anywhere in the view, turn
// back within it, and meet pieces too short for their corner. Lines from 6
// to 46 mm wide, seen by cameras of other shapes.
TEST(CameraImage, EveryPixelMatchesReferenceOnRandomWalks) {
    std::mt19937 random(24);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int line_pixels = 0;
    const int walks = 8;
    for (int walk = 0; walk < walks; ++walk) {
        std::vector<sim::Vec2> points{{0, 0}};
        double heading = 0.0;
        for (int i = 0; i < 200; ++i) {
            const double sharp = walk % 2 == 0 ? 0.3 : 0.5;  // the share of sharp corners
            heading += (unit(random) < sharp ? 3.0 : 0.15) * (unit(random) - 0.5);
            const double step = 0.001 + 0.01 * unit(random) * unit(random);
            points.push_back({points.back().x + step * std::cos(heading), points.back().y + step * std::sin(heading)});
        }
        sim::TrackSettings settings;
        settings.closed = false;
        sim::set_polyline(settings, points);
        settings.line_width = 0.006 + 0.04 * unit(random);
        const sim::CameraSettings camera =
            camera_of(40 + static_cast<std::int32_t>(60 * unit(random)),
                      30 + static_cast<std::int32_t>(40 * unit(random)), 0.3 + unit(random));
        SCOPED_TRACE(::testing::Message() << "walk " << walk);
        line_pixels += views_match_reference(settings, 20, 30 + static_cast<std::uint32_t>(walk), camera);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(line_pixels, walks * 20 * 40 * 30 / 10);
}

// A camera writes only the rows whose line moved since its last frame (all
// of them after a frame that saw past the floor's edge). Frame after frame,
// in steps as small as a run's with a jump now and then, it shows just what
// a camera showing that one view alone shows: cameras of random shapes over
// random floors, on a winding track with a gap and a sharp corner, a point
// track, and zigzags whose rows cross the line two and three times.
TEST(CameraImage, EachFrameIsWhatAFreshCameraShowsOfThatView) {
    sim::TrackSettings winding = sim::winding_world(30, 5).track;
    winding.segments[5].gap = true;
    winding.segments[8].corner = 1.0;
    winding.closed = false;
    const sim::TrackSettings points = sim::peanut_points_world(300).track;
    sim::TrackSettings zigzag, tight;
    zigzag.closed = tight.closed = false;
    sim::set_polyline(zigzag, {{0, 0}, {0.1, 0.02}, {0.02, 0.06}, {0.12, 0.1}, {0.13, 0.2}, {0.11, 0.3}});
    sim::set_polyline(tight, {{0, 0}, {0.05, 0.01}, {0.0, 0.03}, {0.06, 0.05}, {0.01, 0.07}, {0.07, 0.1}});
    std::mt19937 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int frames = 0, frames_with_edge = 0;
    for (int i = 0; i < 16; ++i) {
        const std::array<const sim::TrackSettings*, 4> tracks = {&winding, &tight, &zigzag, &points};
        const sim::TrackSettings& settings = *tracks[static_cast<std::size_t>(i % 4)];
        const sim::Track track(settings);
        const double margin = 0.2 * unit(random);  // [m]
        const sim::Floor floor{{track.min_corner().x - margin, track.min_corner().y - margin},
                               {track.max_corner().x + margin, track.max_corner().y + margin}};
        const sim::CameraSettings camera_settings = camera_of(1 + static_cast<std::int32_t>(99 * unit(random)),
                                                              1 + static_cast<std::int32_t>(79 * unit(random)),
                                                              0.2 + 1.3 * unit(random), 0.3 + 2.2 * unit(random));
        sim::Camera kept(camera_settings, sim::FloorSettings{}, track, settings.line_width, floor);
        const auto size = 3 * static_cast<std::size_t>(camera_settings.width * camera_settings.height);
        double s = unit(random) * track.length();
        for (int f = 0; f < 300; ++f, ++frames) {
            s = unit(random) < 0.03 ? unit(random) * track.length()
                                    : std::fmod(s + 0.004 * unit(random), track.length());
            const sim::Pose pose = pose_along(track, s, 0.04 * (unit(random) - 0.5), 0.04 * (unit(random) - 0.5),
                                              0.6 * (unit(random) - 0.5));
            kept.render(pose);
            sim::Camera fresh(camera_settings, sim::FloorSettings{}, track, settings.line_width, floor);
            fresh.render(pose);
            ASSERT_TRUE(std::equal(kept.image(), kept.image() + size, fresh.image()))
                << "view " << i << ", frame " << f;
            frames_with_edge += std::count(kept.image(), kept.image() + size, OUTSIDE) > 0 ? 1 : 0;
        }
    }
    // Both kinds of frame, and runs of frames without an edge.
    EXPECT_GT(frames_with_edge, frames / 20);
    EXPECT_LT(frames_with_edge, frames / 2);
}

// The camera finds a piece's rows in a table of the rows' reach ahead, and
// passes over pieces beyond the view's side edges: cameras of other shapes
// over a point track, each pixel against the reference. A single row (no
// reach to cut into slices, no side edge to speak of), a few, one whose far
// rows lie past the horizon (they see no floor, and the near ones far
// ahead), and a tall, wide one.
TEST(CameraImage, EveryPixelMatchesReferenceOnAPointTrackWhateverTheCameraShape) {
    const sim::TrackSettings peanut = sim::peanut_points_world(720).track;
    int line_pixels = 0;
    for (const sim::CameraSettings& camera :
         {camera_of(5, 1, 1.2), camera_of(6, 3, 0.9), camera_of(40, 30, 0.25, 1.0), camera_of(33, 200, 0.5, 1.6)}) {
        SCOPED_TRACE(::testing::Message() << camera.width << " x " << camera.height << ", pitch " << camera.pitch);
        line_pixels += views_match_reference(peanut, 40, 12, camera);
    }
    EXPECT_GT(line_pixels, 40 * 33 * 200 / 20);
}

TEST(CameraImage, NoiseStaysWithinItsAmplitudeAndFollowsTheSeed) {
    sim::CameraSettings settings;
    settings.noise = 6;
    Seen seen_a(straight_along_x(0.0), settings, {}, 42), seen_b(straight_along_x(0.0), settings, {}, 42);
    const sim::Camera &a = seen_a.camera, &b = seen_b.camera;
    seen_a.camera.render({0, 0, 0});
    seen_b.camera.render({0, 0, 0});
    bool varied = false;
    for (std::size_t i = 0; i < 64 * 48 * 3; ++i) {
        ASSERT_EQ(a.image()[i], b.image()[i]);
        const int v = a.image()[i];
        ASSERT_TRUE(std::abs(v - FLOOR) <= 6 || std::abs(v - LINE) <= 6) << v;
        varied = varied || (v != FLOOR && v != LINE);
    }
    EXPECT_TRUE(varied);
}

}  // namespace

namespace {

// Where the ray through the point (u, v) of the image meets the floor, in the
// robot's frame: u across from column 0's right edge, v down from row 0's top
// edge [px]. Worked out for any point, not row by row as the camera does.
sim::Vec2 ground_point_at(const sim::CameraSettings& s, double u, double v) {
    const double focal = (s.width / 2.0) / std::tan(s.field_of_view / 2);
    const double down = -(v - s.height / 2.0) / focal, cp = std::cos(s.pitch), sp = std::sin(s.pitch);
    const double t = s.mount_height / (sp + down * cp);
    return {s.mount_forward + t * (cp - down * sp), t * (u - s.width / 2.0) / focal};
}

TEST(CameraAntialias, PixelsMatchASupersampledReference) {
    const sim::WorldSettings world = sim::winding_world(24, 3);
    const sim::Track track(world.track);
    sim::CameraSettings settings;
    settings.width = 40;
    settings.height = 30;
    settings.antialias = 4;
    sim::Camera camera(settings, sim::FloorSettings{}, track, world.track.line_width, BIG_FLOOR);
    std::mt19937 random(4);
    std::uniform_real_distribution<double> offset(-0.03, 0.03), turn(-0.4, 0.4);
    int checked = 0, partial = 0;
    for (int i = 0; i < 40; ++i) {
        // At a piece's start, looking roughly along it.
        const sim::Piece& piece = track.pieces()[static_cast<std::size_t>(i) % track.pieces().size()];
        const double h = piece.heading + turn(random);
        const sim::Pose pose{piece.start.x + offset(random), piece.start.y + offset(random), h};
        camera.render(pose);
        for (std::int32_t r = 0; r < camera.height(); ++r) {
            for (std::int32_t c = 0; c < camera.width(); ++c) {
                int on_line = 0;
                bool on_edge = false;
                for (int j = 0; j < 4; ++j) {
                    for (int k = 0; k < 4; ++k) {
                        const sim::Vec2 g = ground_point_at(settings, c + (k + 0.5) / 4, r + (j + 0.5) / 4);
                        const sim::Vec2 p{pose.x + std::cos(h) * g.x - std::sin(h) * g.y,
                                          pose.y + std::sin(h) * g.x + std::cos(h) * g.y};
                        double d = INFINITY;
                        for (const sim::Piece& other : track.pieces())
                            d = std::min(d, sim::distance_to_piece(other, p));
                        on_line += d <= world.track.line_width / 2 ? 1 : 0;
                        on_edge = on_edge || std::abs(d - world.track.line_width / 2) < 1e-9;
                    }
                }
                if (on_edge) continue;
                const auto expected = static_cast<int>(std::lround((on_line * LINE + (16 - on_line) * FLOOR) / 16.0));
                ASSERT_EQ(gray_at(camera, c, r), expected) << "pixel " << c << ", " << r << " of view " << i;
                ++checked;
                partial += on_line > 0 && on_line < 16 ? 1 : 0;
            }
        }
    }
    EXPECT_GT(checked, 40 * 40 * 30 * 9 / 10);
    EXPECT_GT(partial, 40 * 30);  // many pixels on the line's edge, about one a row a view
}

// A pixel's gray is the share of its footprint on the line: across a row,
// the shares times the width of a pixel on the floor add up to the line's
// width, wherever the line lies within the pixels (a hard edge gives whole
// pixels only).
TEST(CameraAntialias, SharesAcrossARowAddUpToTheLineWidth) {
    sim::CameraSettings settings;
    settings.antialias = 16;
    for (const double y : {0.0, 0.0007, 0.0013, -0.0021}) {
        Seen seen(straight_along_x(y), settings);
        const sim::Camera& camera = seen.camera;
        seen.camera.render({0, 0, 0});
        for (std::int32_t r = 0; r < camera.height(); ++r) {
            const double pixel = camera.ground_point(1, r).y - camera.ground_point(0, r).y;  // [m] on the floor
            double width = 0.0;
            for (std::int32_t c = 0; c < camera.width(); ++c)
                width += (FLOOR - gray_at(camera, c, r)) / double{FLOOR - LINE} * pixel;
            // Off by at most a sub-pixel at each edge, and half a gray level a pixel.
            EXPECT_NEAR(width, 0.018, 2 * pixel / 16 + 4 * 0.5 / (FLOOR - LINE) * pixel)
                << "row " << r << ", line at " << y;
        }
    }
}

TEST(CameraOptics, ExposureScalesAndVignettingDarkensTheCorners) {
    sim::CameraSettings settings;
    settings.exposure_gain = 1.1;
    settings.vignetting = 0.3;
    sim::FloorSettings grays;
    grays.floor_gray = 200;
    Seen seen(straight_along_x(5.0), settings, grays);  // floor only
    const sim::Camera& camera = seen.camera;
    seen.camera.render({0, 0, 0});
    for (const auto& [c, r] : {std::pair{0, 0}, {63, 0}, {0, 47}, {63, 47}})
        EXPECT_EQ(gray_at(camera, c, r), 154);  // 220 x 0.7
    EXPECT_EQ(gray_at(camera, 31, 23), 220);
    EXPECT_EQ(gray_at(camera, 32, 24), 220);
    // Darker the further out, alike in every direction.
    for (std::int32_t c = 32; c < 63; ++c) EXPECT_GE(gray_at(camera, c, 24), gray_at(camera, c + 1, 24));
    for (std::int32_t c = 0; c < 64; ++c) EXPECT_EQ(gray_at(camera, c, 10), gray_at(camera, 63 - c, 37));
    // Overexposed, the floor saturates.
    settings.exposure_gain = 2.0;
    Seen bright(straight_along_x(5.0), settings, grays);
    bright.camera.render({0, 0, 0});
    EXPECT_EQ(gray_at(bright.camera, 31, 23), 255);
}

TEST(FloorVariation, FixedToTheFloorWithinItsAmplitudeAndSeeded) {
    sim::FloorSettings grays;
    grays.floor_gray_variation = 20;
    grays.line_gray_variation = 8;
    const sim::CameraSettings settings;
    const sim::Track far(straight_along_x(5.0));
    sim::Camera camera(settings, grays, far, 0.018, BIG_FLOOR, 7), moved(settings, grays, far, 0.018, BIG_FLOOR, 7),
        reseeded(settings, grays, far, 0.018, BIG_FLOOR, 8);
    // Moved to its left by four pixels' width of row 30, the camera sees that row's floor four columns further right.
    const double step = camera.ground_point(1, 30).y - camera.ground_point(0, 30).y;
    const sim::Pose pose{0.31, -0.17, 0.0};
    camera.render(pose);
    moved.render({pose.x, pose.y + 4 * step, 0.0});
    reseeded.render(pose);
    for (std::int32_t c = 0; c + 4 < 64; ++c) EXPECT_NEAR(gray_at(moved, c, 30), gray_at(camera, c + 4, 30), 1) << c;
    int lowest = 255, highest = 0, differ = 0;
    for (std::int32_t r = 0; r < 48; ++r) {
        for (std::int32_t c = 0; c < 64; ++c) {
            lowest = std::min<int>(lowest, gray_at(camera, c, r));
            highest = std::max<int>(highest, gray_at(camera, c, r));
            differ += gray_at(camera, c, r) != gray_at(reseeded, c, r) ? 1 : 0;
        }
    }
    EXPECT_GE(lowest, FLOOR - 20);
    EXPECT_LE(highest, FLOOR + 20);
    EXPECT_GT(highest - lowest, 5);  // a stain shows in the view
    EXPECT_GT(differ, 64 * 48 / 2);
    // The line varies by its own amplitude.
    Seen line(straight_along_x(0.0), settings, grays, 7);
    line.camera.render({0, 0, 0});
    for (std::int32_t r = 0; r < 48; ++r) {
        for (std::int32_t c = 0; c < 64; ++c) {
            const int gray = gray_at(line.camera, c, r);
            ASSERT_TRUE(std::abs(gray - LINE) <= 8 || std::abs(gray - FLOOR) <= 20) << gray;
        }
    }
}

}  // namespace

namespace {

// A chain of straight pieces is drawn as one span a row, between its
// outline's least and greatest y. That is right only where every joint is
// gentle (gentle_joint()): the inner half of either piece's cap at the
// joint then lies in the other piece's band, so leaving it out of the
// outline loses no pixel. Three pieces, the middle one `ratio` times as long
// as the reach h |sin(turn)| of a cap's inner half along the other piece:
// just long enough (chained), just too short or far too short (drawn apart),
// and well long enough; left and right turns, gentle and steep, the third
// piece turning on or back (then no other band covers the first joint).
struct Joint {
    double turn;   // [rad] at the first joint, and at the second the same way or back (`zigzag`)
    double ratio;  // the middle piece's length over h |sin(turn)|
    bool zigzag;
};

void PrintTo(const Joint& joint, std::ostream* out) {
    *out << "turn " << joint.turn << " rad, middle " << joint.ratio << " x h sin(turn)"
         << (joint.zigzag ? ", back" : "");
}

class GentleJoint : public ::testing::TestWithParam<Joint> {};

// The band of a straight piece, without its end discs: 0 <= along <= length
// and |beside| <= h, rounding allowed for at its edges.
bool in_band(const sim::Piece& piece, sim::Vec2 p, double h) {
    const double along = (p.x - piece.start.x) * piece.direction.x + (p.y - piece.start.y) * piece.direction.y;
    const double beside = (p.y - piece.start.y) * piece.direction.x - (p.x - piece.start.x) * piece.direction.y;
    const double slack = 1e-12;  // [m]
    return along >= -slack && along <= piece.length + slack && std::abs(beside) <= h + slack;
}

TEST_P(GentleJoint, TheInnerHalfCapsLieInTheOtherBandExactlyWhenGentleAndEveryPixelMatchesReference) {
    const Joint joint = GetParam();
    const double width = 0.04, h = width / 2;
    const double middle = joint.ratio * h * std::abs(std::sin(joint.turn));  // [m]
    const sim::Vec2 a{0, 0}, b{0.15, 0}, c{b.x + middle * std::cos(joint.turn), middle * std::sin(joint.turn)};
    const double last = joint.zigzag ? 0.0 : 2 * joint.turn;  // [rad] the third piece's heading
    const sim::Vec2 d{c.x + 0.15 * std::cos(last), c.y + 0.15 * std::sin(last)};
    sim::TrackSettings settings;
    settings.closed = false;
    settings.line_width = width;
    sim::set_polyline(settings, {a, b, c, d});
    const sim::Track track(settings);
    ASSERT_EQ(track.pieces().size(), 3u);
    const bool gentle = joint.ratio >= 1.0;
    for (std::size_t k = 0; k < 2; ++k) {
        const sim::Piece &piece = track.pieces()[k], &next = track.pieces()[k + 1];
        const double side = piece.corner > 0 ? 1.0 : -1.0;  // the inner side of the turn: left for a left turn
        ASSERT_EQ(sim::gentle_joint(piece, next, h), gentle) << "joint " << k;
        // The caps' inner halves, from the joint out to their far ends: in the
        // other band at every point when gentle; the far end of one of them
        // outside it when not.
        const sim::Vec2 n_piece{-piece.direction.y * side, piece.direction.x * side};
        const sim::Vec2 n_next{-next.direction.y * side, next.direction.x * side};
        bool all_in = true;
        for (int i = 0; i <= 20; ++i) {
            const double t = h * i / 20;
            all_in = all_in && in_band(next, {piece.end.x + t * n_piece.x, piece.end.y + t * n_piece.y}, h) &&
                     in_band(piece, {next.start.x + t * n_next.x, next.start.y + t * n_next.y}, h);
        }
        EXPECT_EQ(all_in, gentle) << "joint " << k;
    }
    // Views round the joints, each pixel against the reference.
    const sim::Floor floor{{-1, -1}, {1, 1}};
    int line_pixels = 0;
    for (const sim::CameraSettings& camera_settings : {camera_of(80, 60, 0.6), camera_of(64, 48, 1.1, 1.2)}) {
        sim::Camera camera(camera_settings, sim::FloorSettings{}, track, width, floor);
        std::mt19937 random(
            static_cast<std::uint32_t>(1000 * joint.ratio + 10 * std::abs(joint.turn) + (joint.zigzag ? 1 : 0)));
        std::uniform_real_distribution<double> back(0.02, 0.1), across(-0.02, 0.02), turn(-0.3, 0.3);
        for (int i = 0; i < 40; ++i) {
            const double heading = joint.turn + turn(random), distance = back(random), offset = across(random);
            const sim::Pose pose{b.x - distance * std::cos(heading) - offset * std::sin(heading),
                                 b.y - distance * std::sin(heading) + offset * std::cos(heading), heading};
            camera.render(pose);
            expect_matches_reference(line_pixels, camera, pose, track, width, floor);
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(line_pixels, 2 * 40 * 48 * 64 / 20);
}

INSTANTIATE_TEST_SUITE_P(Chains, GentleJoint,
                         ::testing::Values(Joint{0.6, 1.001, false}, Joint{0.6, 0.999, false},
                                           Joint{-0.6, 1.001, false}, Joint{0.15, 1.001, false}, Joint{0.7, 2.0, false},
                                           Joint{0.75, 0.5, false}, Joint{0.6, 1.001, true}, Joint{0.6, 0.999, true},
                                           Joint{-0.6, 1.001, true}, Joint{-0.6, 0.5, true}, Joint{1.2, 1.001, true},
                                           Joint{1.2, 0.7, true}));

// Every effect, on alone, makes the image other than the plain drawing: the
// camera then tells the run recorder no row as kept. With every effect off
// it tells the rows, and a row it calls kept is as the last render drew it.
struct Effect {
    const char* name;
    sim::CameraSettings camera;
    sim::FloorSettings grays;
};

Effect effect(const char* name, void (*set)(sim::CameraSettings&, sim::FloorSettings&)) {
    Effect e{name, {}, {}};
    set(e.camera, e.grays);
    return e;
}

class CameraEffect : public ::testing::TestWithParam<Effect> {};

TEST_P(CameraEffect, OnAloneNoRowIsToldAsKept) {
    const Effect& e = GetParam();
    const bool on = std::string(e.name) != "none";
    const sim::CameraEffects effects(e.camera, e.grays, 1);
    EXPECT_EQ(effects.any(), on);
    EXPECT_EQ(effects.rows_may_be_kept(), !on);
    Seen seen(straight_along_x(0.0), e.camera, e.grays);
    EXPECT_EQ(seen.camera.rows_kept(), nullptr);  // before the first render
    std::vector<std::uint8_t> before;
    for (int f = 0; f < 5; ++f) {
        const auto size = 3 * static_cast<std::size_t>(seen.camera.width() * seen.camera.height());
        seen.camera.render({0.001 * f, 0.0002 * f, 0.01 * f});
        const std::uint8_t* kept = seen.camera.rows_kept();
        ASSERT_EQ(kept != nullptr, !on) << "frame " << f;
        if (kept != nullptr && !before.empty()) {
            const auto row_size = 3 * static_cast<std::size_t>(seen.camera.width());
            for (std::size_t r = 0; r < static_cast<std::size_t>(seen.camera.height()); ++r) {
                if (kept[r] == 0) continue;
                EXPECT_TRUE(std::equal(before.data() + r * row_size, before.data() + (r + 1) * row_size,
                                       seen.camera.image() + r * row_size))
                    << "row " << r;
            }
        }
        before.assign(seen.camera.image(), seen.camera.image() + size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachAlone, CameraEffect,
    ::testing::Values(
        effect("none", [](sim::CameraSettings&, sim::FloorSettings&) {}),
        effect("noise", [](sim::CameraSettings& c, sim::FloorSettings&) { c.noise = 3; }),
        effect("antialias", [](sim::CameraSettings& c, sim::FloorSettings&) { c.antialias = 2; }),
        effect("exposure", [](sim::CameraSettings& c, sim::FloorSettings&) { c.exposure_gain = 0.9; }),
        effect("vignetting", [](sim::CameraSettings& c, sim::FloorSettings&) { c.vignetting = 0.2; }),
        effect("floor_variation", [](sim::CameraSettings&, sim::FloorSettings& g) { g.floor_gray_variation = 5; }),
        effect("line_variation", [](sim::CameraSettings&, sim::FloorSettings& g) { g.line_gray_variation = 5; })),
    [](const ::testing::TestParamInfo<Effect>& param) { return std::string(param.param.name); });

}  // namespace
