// World files: what a good one sets, and one clear line for each kind of bad one.
#include "world_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "track.hpp"

namespace {

constexpr double DEGREE = std::numbers::pi / 180;

TEST(WorldFile, DefaultWorldIsTheOval) {
    const sim::WorldSettings world = sim::parse_world(sim::DEFAULT_WORLD, "oval");
    EXPECT_EQ(world.name, "oval");
    EXPECT_EQ(world.run.duration, 120.0);
    EXPECT_EQ(world.run.seed, 1U);
    ASSERT_EQ(world.track.segments.size(), 4U);
    EXPECT_EQ(world.track.segments[0].length, 0.6);
    EXPECT_EQ(world.track.segments[1].radius, 0.25);
    EXPECT_NEAR(world.track.segments[1].angle, std::numbers::pi, 1e-15);
    EXPECT_EQ(world.camera.width, 64);
    EXPECT_EQ(world.camera.height, 48);
}

TEST(WorldFile, EveryKeyIsRead) {
    const sim::WorldSettings world = sim::parse_world(R"(
name = "square"
[run]
duration = 30          # an integer is a number too
seed = 77
off_line_limit = 2.5
off_line_distance = 0.04
[track]
line_width = 0.02
closed = true
points = [[0, 0], [1, 0], [1, 1], [0, 1], [0, 0]]
[robot]
wheel_radius = 0.03
axle_track = 0.1
[camera]
width = 32
height = 24
field_of_view = 60
mount_forward = 0.02
mount_height = 0.06
pitch = 45
noise = 3
[floor]
gray = 200
line_gray = 0
outside_gray = 90
margin = 0.2
)",
                                                      "worlds/square.toml");
    EXPECT_EQ(world.name, "square");
    EXPECT_EQ(world.run.duration, 30.0);
    EXPECT_EQ(world.run.seed, 77U);
    EXPECT_EQ(world.run.off_line_limit, 2.5);
    EXPECT_EQ(world.run.off_line_distance, 0.04);
    EXPECT_EQ(world.track.line_width, 0.02);
    ASSERT_EQ(world.track.segments.size(), 4U);
    EXPECT_EQ(world.track.heading, 0.0);
    EXPECT_NEAR(world.track.segments[1].corner, 90 * DEGREE, 1e-15);  // sharp left corners
    EXPECT_EQ(world.robot.wheel_radius, 0.03);
    EXPECT_EQ(world.robot.axle_track, 0.1);
    EXPECT_EQ(world.camera.width, 32);
    EXPECT_EQ(world.camera.height, 24);
    EXPECT_NEAR(world.camera.field_of_view, 60 * DEGREE, 1e-15);
    EXPECT_NEAR(world.camera.pitch, 45 * DEGREE, 1e-15);
    EXPECT_EQ(world.camera.noise, 3.0);
    EXPECT_EQ(world.floor.floor_gray, 200);
    EXPECT_EQ(world.floor.line_gray, 0);
    EXPECT_EQ(world.floor.outside_gray, 90);
    EXPECT_EQ(world.floor.margin, 0.2);
}

TEST(WorldFile, NameDefaultsToTheFileNameAndGapsAreRead) {
    const sim::WorldSettings world = sim::parse_world(
        "[track]\nclosed = false\nsegments = [{ straight = 1.0 }, { straight = 0.1, gap = true }, { arc = 0.5, angle = "
        "-90 }]\n",
        "some/dir/gappy.toml");
    EXPECT_EQ(world.name, "gappy");
    EXPECT_TRUE(world.track.segments[1].gap);
    EXPECT_NEAR(world.track.segments[2].angle, -90 * DEGREE, 1e-15);
    EXPECT_NEAR(world.track.segments[2].length, 0.5 * 90 * DEGREE, 1e-15);
}

TEST(WorldFile, EffectKeysAreReadAndOffByDefault) {
    const std::string track = "[track]\nclosed = false\nsegments = [{ straight = 1 }]\n";
    const sim::WorldSettings plain = sim::parse_world(track, "w.toml");
    const sim::WorldSettings world = sim::parse_world(track + R"(
[robot]
max_wheel_speed = 10
motor_time_constant = 0.05
max_wheel_acceleration = 60
wheel_radius_error = -0.01
wheel_speed_noise = 0.03
[camera]
latency = 0.032
antialias = true
exposure_gain = 0.9
vignetting = 0.25
[floor]
floor_gray_variation = 15
line_gray_variation = 6
)",
                                                      "w.toml");
    const auto effects = [](const sim::WorldSettings& w) {
        return std::make_tuple(w.robot.max_wheel_speed, w.robot.motor_time_constant, w.robot.max_wheel_acceleration,
                               w.robot.wheel_radius_error, w.robot.wheel_speed_noise, w.camera.latency,
                               w.camera.antialias, w.camera.exposure_gain, w.camera.vignetting,
                               w.floor.floor_gray_variation, w.floor.line_gray_variation);
    };
    EXPECT_EQ(effects(plain), std::make_tuple(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1, 1.0, 0.0, 0.0, 0.0));
    EXPECT_EQ(effects(world), std::make_tuple(10.0, 0.05, 60.0, -0.01, 0.03, 0.032, 4, 0.9, 0.25, 15.0, 6.0));
    EXPECT_EQ(sim::parse_world(track + "[camera]\nantialias = 6\n", "w.toml").camera.antialias, 6);
}

struct BadWorld {
    const char* name;
    const char* text;
    const char* message;  // the whole error line after "world w.toml: "
};

void PrintTo(const BadWorld& world, std::ostream* os) { *os << world.name; }

class BadWorlds : public ::testing::TestWithParam<BadWorld> {};

TEST_P(BadWorlds, OneLineNamingTheKey) {
    try {
        sim::parse_world(GetParam().text, "w.toml");
        FAIL() << "accepted";
    } catch (const sim::WorldError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message, std::string("world w.toml: ") + GetParam().message);
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

#define OPEN_TRACK "[track]\nclosed = false\n"
INSTANTIATE_TEST_SUITE_P(
    Errors, BadWorlds,
    ::testing::Values(
        BadWorld{"NoTrack", "name = \"x\"\n", "key track: expected a [track] table with segments or points"},
        BadWorld{"NoShape", OPEN_TRACK,
                 "key track.segments: expected either segments = [...] or points = [[x, y], ...], one of the two"},
        BadWorld{"BothShapes", OPEN_TRACK "segments = [{ straight = 1 }]\npoints = [[0, 0], [1, 0]]\n",
                 "key track.segments: expected either segments = [...] or points = [[x, y], ...], one of the two"},
        BadWorld{"NegativeRadius", OPEN_TRACK "segments = [{ arc = -0.2, angle = 90 }]\n",
                 "key track.segments[0].arc: expected a positive number (radius in m)"},
        BadWorld{"ZeroWidth", OPEN_TRACK "line_width = 0\nsegments = [{ straight = 1 }]\n",
                 "key track.line_width: expected a positive number (width in m)"},
        BadWorld{"NanDuration", "[run]\nduration = nan\n" OPEN_TRACK "segments = [{ straight = 1 }]\n",
                 "key run.duration: expected a positive number (simulated time in s)"},
        BadWorld{"InfiniteStart", OPEN_TRACK "start = [inf, 0]\nsegments = [{ straight = 1 }]\n",
                 "key track.start: expected a point [x, y] of finite numbers in m"},
        BadWorld{"StringWhereNumber", OPEN_TRACK "segments = [{ straight = \"far\" }]\n",
                 "key track.segments[0].straight: expected a positive number (length in m)"},
        BadWorld{"ArcWithoutAngle", OPEN_TRACK "segments = [{ arc = 1 }]\n",
                 "key track.segments[0].angle: expected a turn in degrees with the arc"},
        BadWorld{"StraightAndArc", OPEN_TRACK "segments = [{ arc = 1, straight = 1 }]\n",
                 "key track.segments[0]: expected exactly one of straight = m or arc = m"},
        BadWorld{"UnknownKey", OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\nwidht = 64\n",
                 "key camera.widht: not a known key (did you mean camera.width?)"},
        BadWorld{"UnknownSegmentKey", OPEN_TRACK "segments = [{ straight = 1, gpa = true }]\n",
                 "key track.segments[0].gpa: not a known key (did you mean track.segments[0].gap?)"},
        BadWorld{"FractionalWidth", OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\nwidth = 64.5\n",
                 "key camera.width: expected a whole number from 1 to 8192"},
        BadWorld{"NotClosed", "[track]\nsegments = [{ straight = 1 }]\n",
                 "key track.segments: expected a centre line that ends where it starts, as closed = true says (it ends "
                 "1 m away, not heading for its start: no straight and turn alone would close it, but { turn = 180 }, "
                 "{ straight = 1 }, { turn = -180 } at the end would)"},
        BadWorld{
            "ClosedWrongHeading",
            "[track]\nsegments = [{ arc = 1, angle = 360 }, { arc = 1, angle = 180 }, { arc = 1, angle = -180 }]\n",
            "key track.segments: expected a centre line that ends where it starts, as closed = true says (it ends 4 m "
            "away, not heading for its start: no straight and turn alone would close it, but { turn = -90 }, { "
            "straight = 4 }, { turn = 90 } at the end would)"},
        BadWorld{"PointsNotClosed", "[track]\npoints = [[0, 0], [1, 0], [1, 1]]\n",
                 "key track.points: expected a centre line that ends where it starts, as closed = true says (it ends "
                 "1.41421 m away; a last point [0, 0] would close it)"},
        BadWorld{"ZeroTurn", OPEN_TRACK "segments = [{ straight = 1 }, { turn = 0 }, { straight = 1 }]\n",
                 "key track.segments[1].turn: expected a non-zero turn in degrees, positive to the left, at most 180 "
                 "either way"},
        BadWorld{"TurnTooFar", OPEN_TRACK "segments = [{ straight = 1 }, { turn = -180.5 }, { straight = 1 }]\n",
                 "key track.segments[1].turn: expected a non-zero turn in degrees, positive to the left, at most 180 "
                 "either way"},
        BadWorld{"TurnAsText", OPEN_TRACK "segments = [{ straight = 1 }, { turn = \"left\" }, { straight = 1 }]\n",
                 "key track.segments[1].turn: expected a non-zero turn in degrees, positive to the left, at most 180 "
                 "either way"},
        BadWorld{"TurnWithStraight", OPEN_TRACK "segments = [{ straight = 1, turn = 90 }]\n",
                 "key track.segments[0]: expected a turn = deg on its own, without straight or arc"},
        BadWorld{"TurnWithGap",
                 OPEN_TRACK "segments = [{ straight = 1 }, { turn = 90, gap = true }, { straight = 1 }]\n",
                 "key track.segments[1].gap: expected no gap with a turn (a turn has no length)"},
        BadWorld{"TurnsAlone", OPEN_TRACK "segments = [{ turn = 90 }, { turn = 90 }]\n",
                 "key track.segments: expected at least one straight or arc, not turns alone"},
        BadWorld{"OpenTrackEndsTurning", OPEN_TRACK "segments = [{ straight = 1 }, { turn = 90 }]\n",
                 "key track.segments[1]: expected a straight or an arc after the turn (an open track ends there)"},
        // The closing segments, worked out by hand for squares of 1 m sides.
        BadWorld{
            "SquareOneSideShort",
            "[track]\nsegments = [{ straight = 1 }, { turn = 90 }, { straight = 1 }, { turn = 90 }, { straight = 1 "
            "}]\n",
            "key track.segments: expected a centre line that ends where it starts, as closed = true says (it ends "
            "1 m away, not heading for its start: no straight and turn alone would close it, but { turn = 90 }, { "
            "straight = 1 }, { turn = 90 } at the end would)"},
        BadWorld{"SquareHalfASideShort",
                 "[track]\nheading = 90\nsegments = [{ straight = 1 }, { turn = -90 }, { straight = 1 }, { turn = -90 "
                 "}, { straight = 1 }, { turn = -90 }, { straight = 0.5 }]\n",
                 "key track.segments: expected a centre line that ends where it starts, as closed = true says (it ends "
                 "0.5 m away; { straight = 0.5 }, { turn = -90 } at the end would close it)"},
        BadWorld{
            "SquareLastCornerMissing",
            "[track]\nsegments = [{ straight = 1 }, { turn = 90 }, { straight = 1 }, { turn = 90 }, { straight = 1 "
            "}, { turn = 45 }, { turn = 45 }, { straight = 1 }]\n",
            "key track.segments: expected a centre line that ends heading as it starts, as closed = true says (it "
            "is 90 deg off; { turn = 90 } at the end would close it)"},
        BadWorld{"RepeatedPoint", OPEN_TRACK "points = [[0, 0], [0, 0]]\n",
                 "key track.points[1]: expected a point apart from the one before"},
        BadWorld{"HeadingWithPoints", OPEN_TRACK "heading = 90\npoints = [[0, 0], [1, 0]]\n",
                 "key track.heading: expected no heading with points (the first two set it)"},
        BadWorld{"RunNotATable", "run = 3\n" OPEN_TRACK "segments = [{ straight = 1 }]\n", "key run: expected a table"},
        BadWorld{"PitchTooSteep", OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\npitch = 91\n",
                 "key camera.pitch: expected an angle above 0 and at most 90 deg below the horizontal"},
        BadWorld{"NegativeTimeConstant",
                 OPEN_TRACK "segments = [{ straight = 1 }]\n[robot]\nmotor_time_constant = -0.1\n",
                 "key robot.motor_time_constant: expected a time constant of 0 (none) or more in s"},
        BadWorld{"WheelsFarApart", OPEN_TRACK "segments = [{ straight = 1 }]\n[robot]\nwheel_radius_error = 0.6\n",
                 "key robot.wheel_radius_error: expected a fraction from -0.5 to 0.5"},
        BadWorld{"LatencyTooLong", OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\nlatency = 11\n",
                 "key camera.latency: expected a delay from 0 to 10 s"},
        BadWorld{"AntialiasZero", OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\nantialias = 0\n",
                 "key camera.antialias: expected true, false, or sub-pixels a side from 1 to 16 (width x height x "
                 "factor^2 at most 16777216)"},
        BadWorld{"AntialiasTooCostly",
                 OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\nwidth = 2048\nheight = 2048\nantialias = 4\n",
                 "key camera.antialias: expected true, false, or sub-pixels a side from 1 to 16 (width x height x "
                 "factor^2 at most 16777216)"},
        BadWorld{"VariationTooLarge", OPEN_TRACK "segments = [{ straight = 1 }]\n[floor]\nline_gray_variation = 300\n",
                 "key floor.line_gray_variation: expected a gray variation from 0 to 255 gray levels"}),
    [](const ::testing::TestParamInfo<BadWorld>& param) { return std::string(param.param.name); });

// What a world may cost: refused with one line before anything is built.
INSTANTIATE_TEST_SUITE_P(
    Costs, BadWorlds,
    ::testing::Values(
        BadWorld{"HugeArcAngle", OPEN_TRACK "segments = [{ arc = 1, angle = 1e300 }]\n",
                 "key track.segments[0].angle: expected a non-zero turn in degrees, positive to the left, at most 3600 "
                 "either way"},
        BadWorld{"LongStraight", OPEN_TRACK "segments = [{ straight = 1e9 }]\n",
                 "key track.segments[0].straight: expected a positive number (length in m) of at most 20000"},
        BadWorld{"LongTrackOfShortPieces", OPEN_TRACK "segments = [{ arc = 1000, angle = 3600 }]\n",
                 "key track.segments: expected a track at most 20000 m long (it is 62831.9 m)"},
        BadWorld{"FarPoint", OPEN_TRACK "points = [[0, 0], [1e300, 0]]\n",
                 "key track.points[1]: expected a point [x, y] in m, each at most 1e+06 m either way"},
        BadWorld{"HugeImage", OPEN_TRACK "segments = [{ straight = 1 }]\n[camera]\nwidth = 8192\nheight = 8192\n",
                 "key camera.height: expected an image of at most 4194304 pixels (width x height)"},
        BadWorld{"WideLine", OPEN_TRACK "line_width = 1e308\nsegments = [{ straight = 1 }]\n",
                 "key track.line_width: expected a positive number (width in m) of at most 1"},
        BadWorld{"NameWithNul", "name = \"a\\u0000b\"\n" OPEN_TRACK "segments = [{ straight = 1 }]\n",
                 "key name: expected a non-empty string of at most 200 bytes without control characters"},
        BadWorld{"NonAsciiKey", "caf\xc3\xa9 = 1\n",
                 "line 1: a character beyond ASCII (in a string, write it as \\uXXXX)"},
        BadWorld{"ParserQuotesALineEnd", "a = tru\n",
                 "line 1: Error while parsing boolean: expected 'true', saw 'tru\\x0a'"},
        BadWorld{"NameTurnedRightToLeft", "name = \"a\\u202eb\"\n" OPEN_TRACK "segments = [{ straight = 1 }]\n",
                 "key name: expected a non-empty string of at most 200 bytes without control characters"},
        BadWorld{"NameWithEscape", "name = \"\\u001b[2J\"\n" OPEN_TRACK "segments = [{ straight = 1 }]\n",
                 "key name: expected a non-empty string of at most 200 bytes without control characters"}),
    [](const ::testing::TestParamInfo<BadWorld>& param) { return std::string(param.param.name); });

// The TOML parser recurses once a level: keys and tables nested past the
// limit are refused before it runs, and dots in strings and numbers do not count.
TEST(WorldFile, NestingIsBoundedBeforeParsing) {
    std::string dots;
    for (int i = 0; i < 20000; ++i) dots += ".a";
    for (const std::string& deep : {"a" + dots + " = 1\n", "[a" + dots + "]\n", "x = { a" + dots + " = 1 }\n",
                                    "x = " + std::string(20000, '[') + std::string(20000, ']') + "\n"}) {
        try {
            sim::parse_world(deep, "w.toml");
            FAIL() << "accepted";
        } catch (const sim::WorldError& error) {
            EXPECT_STREQ(error.what(), "world w.toml: line 1: nested more than 64 levels deep");
        }
    }
    const sim::WorldSettings world =
        sim::parse_world("name = \"" + std::string(150, '.') + "\" # " + dots + "\n" OPEN_TRACK "segments = [\n" +
                             std::string(100, ' ') + "{ straight = 1.5 }, { arc = 0.25, angle = 90.5 },\n]\n",
                         "w.toml");
    EXPECT_EQ(world.track.segments.size(), 2U);
    // Beyond ASCII, escaped.
    EXPECT_EQ(sim::parse_world("name = \"caf\\u00e9\"\n" OPEN_TRACK "segments = [{ straight = 1 }]\n", "w.toml").name,
              "caf\xc3\xa9");
}

// A FIFO with no writer, a device, or a folder: refused at once, not read.
TEST(WorldFile, ReadsRegularFilesOnly) {
    const std::string fifo = ::testing::TempDir() + "/world_fifo.toml";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/tmp")}) {
        try {
            sim::load_world_file(path);
            FAIL() << path << " accepted";
        } catch (const sim::WorldError& error) {
            EXPECT_EQ(std::string(error.what()), "world " + path + ": cannot be read (expected a regular TOML file)");
        }
    }
    std::remove(fifo.c_str());
}

TEST(WorldFile, SyntaxErrorNamesTheLine) {
    try {
        sim::parse_world("[track]\nclosed = false\nsegments = [\n", "w.toml");
        FAIL() << "accepted";
    } catch (const sim::WorldError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("world w.toml: line ", 0), 0U) << error.what();
    }
}

TEST(WorldFile, ClosedTrackMustEndHeadingAsItStarts) {
    // Ends at its start but heading the other way: a teardrop with a cusp.
    EXPECT_THROW(sim::parse_world("[track]\nsegments = [{ arc = 1, angle = 180 }, { straight = 2 }]\n", "w.toml"),
                 sim::WorldError);
    try {
        sim::parse_world(
            "[track]\nsegments = [{ arc = 0.5, angle = 180 }, { arc = 0.5, angle = -180 }, { arc = 1, angle = -180 "
            "}]\n",
            "w.toml");
        FAIL() << "accepted";
    } catch (const sim::WorldError& error) {
        EXPECT_NE(std::string(error.what()).find("ends heading as it starts"), std::string::npos) << error.what();
    }
}

// A turn in a segments list is a point track's corner: the square written
// either way lays the same pieces, bit for bit (its last turn is the
// closing corner at the start).
TEST(WorldFile, TurnsLayThePiecesOfTheSamePointTrack) {
    const sim::TrackSettings points =
        sim::parse_world("[track]\npoints = [[0, 0], [0.3, 0], [0.3, 0.3], [0, 0.3], [0, 0]]\n", "p.toml").track;
    const std::string side = "{ straight = 0.3 }, { turn = 90 }, ";
    const sim::TrackSettings turns =
        sim::parse_world("[track]\nsegments = [" + side + side + side + side + "]\n", "s.toml").track;
    const std::vector<sim::Piece> expected = sim::lay_pieces(points), laid = sim::lay_pieces(turns);
    ASSERT_EQ(laid.size(), expected.size());
    const auto fields = [](const sim::Piece& p) {
        return std::make_tuple(p.start.x, p.start.y, p.heading, p.length, p.end.x, p.end.y, p.cap_start, p.cap_end,
                               p.corner, p.corner_from.x, p.corner_from.y, p.corner_to.x, p.corner_to.y);
    };
    for (std::size_t i = 0; i < laid.size(); ++i) {
        EXPECT_EQ(fields(laid[i]), fields(expected[i])) << "piece " << i;
        EXPECT_TRUE(laid[i].mitre && !expected[i].mitre) << "piece " << i;  // taped, not rounded
    }
    // Turns in a row add up; one before the first piece turns it.
    const sim::TrackSettings open = sim::parse_world(
                                        "[track]\nclosed = false\nsegments = [{ turn = 30 }, { straight = 1 }, { turn "
                                        "= 100 }, { turn = 100 }, { arc = "
                                        "1, angle = 90 }]\n",
                                        "o.toml")
                                        .track;
    const std::vector<sim::Piece> pieces = sim::lay_pieces(open);
    EXPECT_NEAR(pieces[0].heading, 30 * DEGREE, 1e-15);
    EXPECT_NEAR(pieces[1].heading, (30 + 200 - 360) * DEGREE, 1e-14);
    EXPECT_TRUE(pieces[0].mitre && !pieces[0].cap_end);  // mitred however sharp, no disc
}

// Whatever the track, the segments the error suggests, added as written,
// close it: read off the message, appended, read again.
TEST(WorldFile, TheSuggestedSegmentsCloseTheTrack) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::regex segment(R"(\{ (straight|turn) = ([-+0-9.e]+) \})");
    int suggested = 0;
    for (int i = 0; i < 200; ++i) {
        std::string list;
        for (int k = 0, count = 1 + static_cast<int>(6 * unit(random)); k < count; ++k) {
            const double kind = unit(random), sign = unit(random) < 0.5 ? -1 : 1;
            if (kind < 0.35) {
                list += "{ straight = " + std::to_string(0.05 + 2 * unit(random)) +
                        (unit(random) < 0.2 ? ", gap = true" : "") + " }, ";
            } else if (kind < 0.7) {
                list += "{ arc = " + std::to_string(0.1 + unit(random)) +
                        ", angle = " + std::to_string(sign * (1 + 400 * unit(random))) + " }, ";
            } else {
                list += "{ turn = " + std::to_string(sign * (1 + 179 * unit(random))) + " }, ";
            }
        }
        const std::string start = "start = [" + std::to_string(unit(random)) +
                                  ", -3]\nheading = " + std::to_string(360 * unit(random)) + "\n";
        std::string message;
        try {
            sim::parse_world("[track]\n" + start + "segments = [" + list + "]\n", "w.toml");
        } catch (const sim::WorldError& error) {
            message = error.what();
        }
        if (message.find("would close it") == std::string::npos &&
            message.find("at the end would)") == std::string::npos)
            continue;  // turns alone, or closed by chance
        std::string closing;
        for (std::sregex_iterator m(message.begin(), message.end(), segment), end; m != end; ++m)
            closing += m->str() + ", ";
        SCOPED_TRACE(list + " + " + closing);
        EXPECT_NO_THROW(sim::parse_world("[track]\n" + start + "segments = [" + list + closing + "]\n", "w.toml"));
        ++suggested;
    }
    EXPECT_GT(suggested, 150);
}

TEST(WorldFile, MissingFileIsOneLine) {
    try {
        sim::load_world_file("/nonexistent/world.toml");
        FAIL() << "accepted";
    } catch (const sim::WorldError& error) {
        EXPECT_STREQ(error.what(), "world /nonexistent/world.toml: cannot be read (expected a readable TOML file)");
    }
}

}  // namespace

// A refused world's track, read as far as it goes for a picture: the same
// error as parse_world's, and the segments before the faulty one.
struct RefusedTrack {
    const char* name;
    const char* text;
    bool drawn;                    // any of the track reads
    sim::TrackFault::Where where;  // if drawn
    std::size_t segments;          // drawn, if drawn
};

class RefusedTracks : public ::testing::TestWithParam<RefusedTrack> {};

TEST_P(RefusedTracks, AreReadAsFarAsTheFault) {
    const RefusedTrack& c = GetParam();
    std::string plain, with_fault;
    try {
        sim::parse_world(c.text, "w.toml");
    } catch (const sim::WorldError& error) {
        plain = error.what();
    }
    std::optional<sim::TrackFault> fault;
    try {
        sim::parse_world(c.text, "w.toml", fault);
    } catch (const sim::WorldError& error) {
        with_fault = error.what();
    }
    ASSERT_FALSE(plain.empty()) << "accepted";
    EXPECT_EQ(with_fault, plain);
    ASSERT_EQ(fault.has_value(), c.drawn) << plain;
    if (!fault) return;
    EXPECT_EQ(fault->where, c.where) << plain;
    EXPECT_EQ(fault->track.segments.size(), c.segments) << plain;
    EXPECT_FALSE(fault->track.closed);
}

using Where = sim::TrackFault::Where;
INSTANTIATE_TEST_SUITE_P(
    WorldFile, RefusedTracks,
    ::testing::Values(
        RefusedTrack{"not_toml", "[track\n", false, Where::segment, 0},
        RefusedTrack{"first_segment_bad", "[track]\nsegments = [{ straight = -1 }]\n", false, Where::segment, 0},
        RefusedTrack{"third_segment_bad",
                     "[track]\nclosed = false\nsegments = [{ straight = 1 }, { turn = 90 }, { arc = 0.2, angle = 90 "
                     "}, { arc = 0.2 }]\n",
                     true, Where::segment, 2},
        RefusedTrack{"misses_its_start", "[track]\nsegments = [{ straight = 1 }, { arc = 0.2, angle = 180 }]\n", true,
                     Where::closing, 2},
        RefusedTrack{"a_point_repeated", "[track]\nclosed = false\npoints = [[0, 0], [1, 0], [2, 0], [2, 0], [3, 0]]\n",
                     true, Where::segment, 2},
        RefusedTrack{"a_point_not_a_point", "[track]\nclosed = false\npoints = [[0, 0], [1, 0], [2, 0], \"x\"]\n", true,
                     Where::segment, 2},
        RefusedTrack{"too_long", "[track]\nclosed = false\nsegments = [{ straight = 15000 }, { straight = 15000 }]\n",
                     true, Where::segment, 1},
        RefusedTrack{"fault_outside_the_track",
                     "[track]\nclosed = false\nsegments = [{ straight = 1 }]\n[robot]\naxle_track = -1\n", true,
                     Where::elsewhere, 1}),
    [](const auto& test) { return std::string(test.param.name); });
