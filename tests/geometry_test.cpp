// The simulator's geometry: motion against closed forms, and the track's
// nearest-point queries against a search over every piece.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "kinematics.hpp"
#include "scenarios.hpp"
#include "track.hpp"

namespace {

using sim::Pose;

constexpr double PI = std::numbers::pi;
const sim::RobotSettings ROBOT{0.02, 0.05};

TEST(Kinematics, StraightWhenBothWheelsTurnAlike) {
    const Pose p = sim::advance({1.0, 2.0, PI / 6}, 4.0, 4.0, 2.5, ROBOT);
    const double travelled = 0.02 * 4.0 * 2.5;
    EXPECT_NEAR(p.x, 1.0 + travelled * std::cos(PI / 6), 1e-15);
    EXPECT_NEAR(p.y, 2.0 + travelled * std::sin(PI / 6), 1e-15);
    EXPECT_EQ(p.heading, PI / 6);
}

TEST(Kinematics, SpinsInPlaceWhenWheelsTurnOpposite) {
    const Pose p = sim::advance({0.3, -0.2, 1.0}, -3.0, 3.0, 0.5, ROBOT);
    EXPECT_NEAR(p.x, 0.3, 1e-15);
    EXPECT_NEAR(p.y, -0.2, 1e-15);
    EXPECT_NEAR(p.heading, 1.0 + 0.02 * 6.0 / 0.05 * 0.5, 1e-15);
}

TEST(Kinematics, ArcOfKnownRadiusAboutItsCentre) {
    // Left 2, right 6 rad/s: speed 0.08 m/s, turn rate 0.08 / 0.05 * 2 = 3.2 rad/s,
    // radius 0.08 / 1.6 = 0.05 m to the left.
    const Pose start{0.0, 0.0, 0.0};
    const double radius = (0.02 * (2.0 + 6.0) / 2) / (0.02 * (6.0 - 2.0) / 0.05);
    for (const double t : {0.01, 0.5, 1.0, 3.0}) {
        const Pose p = sim::advance(start, 2.0, 6.0, t, ROBOT);
        const double turned = 0.02 * 4.0 / 0.05 * t;
        EXPECT_NEAR(p.x, radius * std::sin(turned), 1e-14);
        EXPECT_NEAR(p.y, radius * (1 - std::cos(turned)), 1e-14);
        EXPECT_NEAR(p.heading, turned, 1e-14);
    }
}

TEST(Kinematics, StepsComposeIntoOneLongerStep) {
    std::mt19937 random(3);
    std::uniform_real_distribution<double> speed(-8, 8), time(0.001, 0.1);
    for (int i = 0; i < 200; ++i) {
        const double l = speed(random), r = speed(random), t1 = time(random), t2 = time(random);
        const Pose once = sim::advance({0.1, 0.2, 0.3}, l, r, t1 + t2, ROBOT);
        const Pose twice = sim::advance(sim::advance({0.1, 0.2, 0.3}, l, r, t1, ROBOT), l, r, t2, ROBOT);
        ASSERT_NEAR(once.x, twice.x, 1e-14);
        ASSERT_NEAR(once.y, twice.y, 1e-14);
        ASSERT_NEAR(once.heading, twice.heading, 1e-13);
    }
}

// A circle of radius 0.5 m round (0, 0.5), driven to the left from the origin.
sim::TrackSettings circle() {
    sim::TrackSettings track;
    track.segments = {{0.5 * 2 * PI, 0.5, 2 * PI, 0.0, false}};
    return track;
}

TEST(Track, NearestPointOnACircle) {
    const sim::Track track(circle());
    EXPECT_NEAR(track.length(), PI, 1e-12);
    ASSERT_EQ(track.pieces().size(), 4U);  // cut into quarter turns
    // A quarter of the way round, 0.1 m outside: right of the direction of travel.
    const sim::TrackPoint p = track.nearest({0.6, 0.5}, 0.0);
    EXPECT_NEAR(p.distance, PI / 4, 1e-12);
    EXPECT_NEAR(p.lateral, -0.1, 1e-12);
    EXPECT_NEAR(p.point.x, 0.5, 1e-12);
    EXPECT_NEAR(p.point.y, 0.5, 1e-12);
    // Inside the circle is on the left.
    EXPECT_NEAR(track.nearest({0.0, 0.25}, 0.0).lateral, 0.25, 1e-12);
}

TEST(Track, NearestAgreesWithEveryPieceSearched) {
    sim::WorldSettings world = sim::winding_world(40, 11);
    world.track.closed = false;  // so that a far hint favours no piece
    const sim::Track track(world.track);
    std::mt19937 random(5);
    std::uniform_real_distribution<double> x(track.min_corner().x - 1, track.max_corner().x + 1);
    std::uniform_real_distribution<double> y(track.min_corner().y - 1, track.max_corner().y + 1);
    for (int i = 0; i < 3000; ++i) {
        const sim::Vec2 p{x(random), y(random)};
        double best = INFINITY;
        for (const sim::Piece& piece : track.pieces()) best = std::min(best, sim::distance_to_piece(piece, p));
        // The hint lies on no branch in particular (far from every piece along the track).
        const sim::TrackPoint found = track.nearest(p, -1e9);
        ASSERT_NEAR(std::abs(found.lateral), best, 1e-9) << p.x << ", " << p.y;
        const sim::Vec2 q = found.point;
        ASSERT_NEAR(std::hypot(p.x - q.x, p.y - q.y), best, 1e-9);
    }
}

TEST(Track, CrossingKeepsTheBranchBeingFollowed) {
    // A figure eight whose line crosses itself at the origin at right angles:
    // heading 45 deg there at the start, -45 deg halfway round.
    sim::TrackSettings track;
    track.heading = PI / 4;
    const double r = 0.5;
    track.segments = {{r, 0, 0, 0, false},
                      {r * 1.5 * PI, r, 1.5 * PI, 0, false},
                      {2 * r, 0, 0, 0, false},
                      {r * 1.5 * PI, r, -1.5 * PI, 0, false},
                      {r, 0, 0, 0, false}};
    const sim::Track eight(track);
    const double halfway = 2 * r + 1.5 * PI * r;  // the crossing, second time
    ASSERT_NEAR(eight.length(), 2 * halfway, 1e-12);
    // 1.1 mm off the first branch, 1.8 mm off the second.
    const sim::Vec2 p{0.002, 0.0005};
    EXPECT_NEAR(eight.nearest(p, halfway - 0.01).distance, halfway, 0.01);
    EXPECT_NEAR(eight.nearest(p, 0.01).distance, 0.0, 0.01);
    // Far along neither branch, the nearer one wins.
    EXPECT_NEAR(eight.nearest(p, halfway / 2).distance, 0.0, 0.01);
}

}  // namespace
