// The world file's reader: TOML checked key by key into the engine's settings.

#include "world_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numbers>
#include <set>
#include <sstream>

#include "checked_toml.hpp"
#include "did_you_mean.hpp"
#include "motors.hpp"
#include "picture.hpp"
#include "picture_file.hpp"
#include "track.hpp"

namespace sim {

const std::string_view DEFAULT_WORLD = R"(# An oval: two 0.6 m straights joined by half turns of 0.25 m radius.
name = "oval"
[run]
duration = 120.0
seed = 1
[track]
line_width = 0.018
closed = true
start = [0.0, 0.0]
heading = 0.0
segments = [
  { straight = 0.6 },
  { arc = 0.25, angle = 180.0 },
  { straight = 0.6 },
  { arc = 0.25, angle = 180.0 },
]
)";

namespace {

constexpr double DEGREE = std::numbers::pi / 180.0;

using TableReader = CheckedTable<WorldError>;

// [rad] A sharp turn of the centre line in place, { turn = deg }: it turns
// the next piece's start (SegmentSettings::corner).
double read_turn(TableReader& track, const toml::table& table, const std::string& key) {
    if (table.contains("straight") || table.contains("arc")) {
        track.fail(key, "a turn = deg on its own, without straight or arc");
    }
    TableReader reader(table, track.prefix() + key + ".", track.source());
    if (table.contains("gap")) reader.fail("gap", "no gap with a turn (a turn has no length)");
    const double turn =
        reader.number("turn", 0, "a non-zero turn in degrees, positive to the left, at most 180 either way",
                      [](double v) { return v != 0.0 && std::abs(v) <= 180; }) *
        DEGREE;
    reader.finish();
    return turn;
}

SegmentSettings read_segment(TableReader& track, const toml::node& node, const std::string& key) {
    const toml::table* table = node.as_table();
    if (table == nullptr) track.fail(key, "a table { straight = m }, { arc = m, angle = deg } or { turn = deg }");
    if (table->contains("straight") == table->contains("arc")) {
        track.fail(key, "exactly one of straight = m or arc = m");
    }
    TableReader reader(*table, track.prefix() + key + ".", track.source());
    SegmentSettings segment;
    if (table->contains("straight")) {
        segment.length = reader.positive("straight", 0, "(length in m)", MOST_TRACK_LENGTH);
    } else {
        segment.radius = reader.positive("arc", 0, "(radius in m)", MOST_RADIUS);
        if (!table->contains("angle")) reader.fail("angle", "a turn in degrees with the arc");
        segment.angle =
            reader.number("angle", 0, "a non-zero turn in degrees, positive to the left, at most 3600 either way",
                          [](double v) { return v != 0.0 && std::abs(v) <= MOST_ARC_TURN; }) *
            DEGREE;
        segment.length = segment.radius * std::abs(segment.angle);
    }
    segment.gap = reader.boolean("gap", false);
    reader.finish();
    return segment;
}

// Fills the track's shape from segments (with start and heading) or points.
// Returns [rad] the turn after the last piece, on a closed track: it is then
// the first piece's corner, and `heading` is what the last piece's end must
// head for the track to close (the file's heading less that turn).
double read_shape(TableReader& reader, TrackSettings& track) {
    const toml::node* segments = reader.find("segments");
    const toml::node* points = reader.find("points");
    if ((segments == nullptr) == (points == nullptr)) {
        reader.fail("segments", "either segments = [...] or points = [[x, y], ...], one of the two");
    }
    if (segments != nullptr) {
        if (const toml::node* start = reader.find("start")) track.start = reader.point(*start, "start");
        track.heading = reader.number("heading", 0.0, "a direction in degrees") * DEGREE;
        const toml::array* list = segments->as_array();
        if (list == nullptr || list->empty() || list->size() > MOST_SEGMENTS) {
            reader.fail("segments", "a non-empty array of at most 100000 segments");
        }
        double turn = 0.0;  // [rad] turned in place since the last piece
        std::string turn_key;
        for (std::size_t i = 0; i < list->size(); ++i) {
            const std::string key = "segments[" + std::to_string(i) + "]";
            const toml::table* table = (*list)[i].as_table();
            if (table != nullptr && table->contains("turn")) {
                // Turns in a row are one turn, their sum.
                turn = std::remainder(turn + read_turn(reader, *table, key), 2 * std::numbers::pi);
                turn_key = key;
                continue;
            }
            track.segments.push_back(read_segment(reader, (*list)[i], key));
            track.segments.back().corner = turn;
            track.segments.back().mitre = turn != 0.0;
            turn = 0.0;
        }
        if (track.segments.empty()) reader.fail("segments", "at least one straight or arc, not turns alone");
        if (turn != 0.0) {
            if (!track.closed) reader.fail(turn_key, "a straight or an arc after the turn (an open track ends there)");
            // On a closed track the last turn is one with the first piece's corner, at the start.
            track.heading -= turn;
            track.segments.front().corner = std::remainder(track.segments.front().corner + turn, 2 * std::numbers::pi);
            track.segments.front().mitre = true;
        }
        return turn;
    }
    if (reader.find("start") != nullptr) reader.fail("start", "no start with points (the first point is the start)");
    if (reader.find("heading") != nullptr) reader.fail("heading", "no heading with points (the first two set it)");
    const toml::array* list = points->as_array();
    if (list == nullptr || list->size() < 2 || list->size() > MOST_SEGMENTS + 1) {
        reader.fail("points", "an array of 2 to 100001 points [x, y] in m");
    }
    std::vector<Vec2> p;
    // On a fault, the first `n` points, up to the first that does not move on,
    // are laid: what a picture of the refused track can draw.
    const auto lay_before = [&](std::size_t n) {
        std::size_t apart = std::min<std::size_t>(n, 1);
        while (apart < n && std::hypot(p[apart].x - p[apart - 1].x, p[apart].y - p[apart - 1].y) > 0) ++apart;
        if (apart >= 2) set_polyline(track, {p.begin(), p.begin() + static_cast<std::ptrdiff_t>(apart)});
    };
    for (std::size_t i = 0; i < list->size(); ++i) {
        try {
            p.push_back(reader.point((*list)[i], "points[" + std::to_string(i) + "]"));
        } catch (const WorldError&) {
            lay_before(p.size());
            throw;
        }
    }
    for (std::size_t i = 1; i < p.size(); ++i) {
        if (!(std::hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y) > 0)) {
            lay_before(i);
            reader.fail("points[" + std::to_string(i) + "]", "a point apart from the one before");
        }
    }
    set_polyline(track, p);
    return 0.0;
}

// What the track would cost, checked before it is laid: its length and the
// number of pieces its arcs are cut into.
void check_size(TableReader& reader, const TrackSettings& track, bool polyline) {
    double length = 0.0;     // [m]
    std::size_t pieces = 0;  // each arc of at most 3600 deg gives at most 40
    for (const SegmentSettings& s : track.segments) {
        length += s.length;
        pieces += pieces_of(s);
    }
    const std::string key = polyline ? "points" : "segments";
    if (!(length <= MOST_TRACK_LENGTH)) {
        std::ostringstream text;
        text << "a track at most " << MOST_TRACK_LENGTH << " m long (it is " << length << " m)";
        reader.fail(key, text.str());
    }
    if (pieces > MOST_PIECES) {
        reader.fail(key, "arcs that turn at most 18000000 deg in all (at most 200000 quarter turns)");
    }
}

// The segments that, added at the end, would close the track: a turn to face
// the start, a straight to it and a turn to the start's heading, each left
// out where it is nothing. `end` and `heading` are the file's: the end's
// heading after the last turn, and the heading the file starts with.
std::string closing_segments(Vec2 start, double heading, const Pose& end, bool& straight_on) {
    const double dx = start.x - end.x, dy = start.y - end.y, distance = std::hypot(dx, dy);  // [m]
    const double face = distance > CLOSURE_TOLERANCE                                         // [rad]
                            ? std::remainder(std::atan2(dy, dx) - end.heading, 2 * std::numbers::pi)
                            : 0.0;
    // A straight along the end's heading passes this near the start: near enough, no turn first.
    straight_on = std::cos(face) > 0 && distance * std::abs(std::sin(face)) <= CLOSURE_TOLERANCE / 4;
    const double along = straight_on ? end.heading : end.heading + face;
    const double last = std::remainder(heading - along, 2 * std::numbers::pi);  // [rad]
    // Digits enough that the numbers as printed close the track within CLOSURE_TOLERANCE.
    std::ostringstream text;
    text.precision(12);
    const char* separator = "";
    if (!straight_on) {
        text << "{ turn = " << face / DEGREE << " }";
        separator = ", ";
    }
    if (distance > CLOSURE_TOLERANCE) {
        text << separator << "{ straight = " << distance << " }";
        separator = ", ";
    }
    if (std::abs(last) > CLOSURE_TOLERANCE / 4) text << separator << "{ turn = " << last / DEGREE << " }";
    return text.str();
}

// `shape_read`, if given, is set once the shape is read whole: a fault after
// that is the closing's alone.
// On a picture floor the line is the picture's, and a centre line (for the
// figures) may be left out: the track then gives only where the robot starts.
void read_track(TableReader& reader, TrackSettings& track, bool& polyline, bool* shape_read = nullptr,
                bool picture_floor = false) {
    if (picture_floor && reader.find("segments") == nullptr && reader.find("points") == nullptr) {
        for (const char* key : {"closed", "line_width"}) {
            if (reader.find(key) != nullptr)
                reader.fail(key, std::string("no ") + key + " without a centre line (segments or points)");
        }
        const toml::node* start = reader.find("start");
        if (start == nullptr) {
            reader.fail("start",
                        "a start [x, y] in m: where the robot starts on a picture floor without segments or points");
        }
        track.start = reader.point(*start, "start");
        track.heading = reader.number("heading", 0.0, "a direction in degrees") * DEGREE;
        track.closed = false;
        if (shape_read != nullptr) *shape_read = true;
        return;
    }
    track.line_width = reader.positive("line_width", track.line_width, "(width in m)", MOST_LINE_WIDTH);
    track.closed = reader.boolean("closed", track.closed);
    polyline = reader.find("points") != nullptr;
    const double end_turn = read_shape(reader, track);
    check_size(reader, track, polyline);
    if (!track.closed) return;
    if (shape_read != nullptr) *shape_read = true;
    const Pose end = track_end(track);
    const double miss = std::hypot(end.x - track.start.x, end.y - track.start.y);
    const double turn = std::abs(std::remainder(end.heading - track.heading, 2 * std::numbers::pi));
    if (polyline && miss > CLOSURE_TOLERANCE) {
        std::ostringstream text;
        text << "a centre line that ends where it starts, as closed = true says (it ends " << miss
             << " m away; a last point ";
        text.precision(12);
        text << "[" << track.start.x << ", " << track.start.y << "] would close it)";
        reader.fail("points", text.str());
    }
    if (polyline || (miss <= CLOSURE_TOLERANCE && turn <= CLOSURE_TOLERANCE)) return;
    bool straight_on = false;
    const std::string closing =
        closing_segments(track.start, track.heading + end_turn, {end.x, end.y, end.heading + end_turn}, straight_on);
    std::ostringstream text;
    if (miss > CLOSURE_TOLERANCE) {
        text << "a centre line that ends where it starts, as closed = true says (it ends " << miss << " m away";
        if (straight_on) {
            text << "; " << closing << " at the end would close it)";
        } else {
            text << ", not heading for its start: no straight and turn alone would close it, but " << closing
                 << " at the end would)";
        }
    } else {
        text << "a centre line that ends heading as it starts, as closed = true says (it is " << turn / DEGREE
             << " deg off; " << closing << " at the end would close it)";
    }
    reader.fail("segments", text.str());
}

// The robot's departures from an ideal one, each off at 0.
void read_motors(TableReader& r, RobotSettings& robot) {
    const auto at_least_zero = [](double v) { return v >= 0; };
    robot.max_wheel_speed =
        r.number("max_wheel_speed", 0.0, "a top wheel speed of 0 (none) or more in rad/s", at_least_zero);
    if (robot.max_wheel_speed > MOST_WHEEL_SPEED)
        r.fail("max_wheel_speed", "a top wheel speed of 0 (none) to 10000 rad/s");
    robot.motor_time_constant =
        r.number("motor_time_constant", 0.0, "a time constant of 0 (none) or more in s", at_least_zero);
    // [s] Beyond it the lag's closed form could overflow at MOST_WHEEL_SPEED.
    constexpr double MOST_TIME_CONSTANT = 1000.0;
    if (robot.motor_time_constant > MOST_TIME_CONSTANT)
        r.fail("motor_time_constant", "a time constant of 0 (none) to 1000 s");
    robot.max_wheel_acceleration = r.number("max_wheel_acceleration", 0.0,
                                            "a wheel acceleration limit of 0 (none) or more in rad/s^2", at_least_zero);
    robot.wheel_radius_error =
        r.number("wheel_radius_error", 0.0, "a fraction from -0.5 to 0.5", [](double v) { return std::abs(v) <= 0.5; });
    robot.wheel_speed_noise =
        r.number("wheel_speed_noise", 0.0, "a fraction from 0 to 0.5", [](double v) { return v >= 0 && v <= 0.5; });
}

// What a real camera adds to the ideal image, each off at its default.
void read_optics(TableReader& c, CameraSettings& camera) {
    // [s] At the fastest sampling (1 ms) the camera keeps a pose, not an image,
    // for each frame in flight: a few kilobytes at most.
    constexpr double MOST_LATENCY = 10.0;
    // Sub-pixels the finer camera may draw: four times the largest image (48 MiB).
    constexpr std::int64_t MOST_SAMPLES = 4 * MOST_PIXELS;
    camera.latency =
        c.number("latency", 0.0, "a delay from 0 to 10 s", [](double v) { return v >= 0 && v <= MOST_LATENCY; });
    if (const toml::node* antialias = c.find("antialias")) {
        // true: 4 x 4 sub-pixels, fine enough that a pixel's gray is off by at most 1/32 of the contrast.
        const std::optional<std::int64_t> factor = antialias->is_boolean()
                                                       ? std::optional<std::int64_t>(*antialias->value<bool>() ? 4 : 1)
                                                       : antialias->value_exact<std::int64_t>();
        if (!factor || *factor < 1 || *factor > 16 ||
            std::int64_t{camera.width} * camera.height * *factor * *factor > MOST_SAMPLES) {
            c.fail("antialias",
                   "true, false, or sub-pixels a side from 1 to 16 (width x height x factor^2 at most 16777216)");
        }
        camera.antialias = static_cast<std::int32_t>(*factor);
    }
    camera.exposure_gain =
        c.number("exposure_gain", 1.0, "a gain above 0 and at most 10", [](double v) { return v > 0 && v <= 10; });
    camera.vignetting = c.number("vignetting", 0.0, "a fraction from 0 to 1 darker at the corners",
                                 [](double v) { return v >= 0 && v <= 1; });
}

// A floor from a picture: the file, read once, where it lies and how large
// it is. The drawn floor's keys have no meaning with it.
void read_picture_floor(TableReader& f, const toml::table& floor, const std::filesystem::path& folder,
                        FloorSettings& settings) {
    for (const char* key : {"gray", "line_gray", "margin", "floor_gray_variation", "line_gray_variation"}) {
        if (floor.contains(key)) f.fail(key, std::string("no ") + key + " with image (the picture is the floor)");
    }
    const toml::node* name = f.find("image");
    settings.image = name->value<std::string>().value_or("");
    if (!name->is_string() || settings.image.empty() || settings.image.size() > 4096 ||
        settings.image.find('\0') != std::string::npos) {
        f.fail("image", "the path of a PNG or SVG file, relative to the world file's folder");
    }
    PicturePlace place;
    place.pixel = f.positive("pixel_size", 0.0, "(side of a picture's pixel in m)", 1.0);
    if (const toml::node* size = f.find("size")) {
        place.size = f.point(*size, "size");
        if (!(place.size.x > 0 && place.size.y > 0)) f.fail("size", "a size [width, height] in m, both positive");
    }
    if (const toml::node* origin = f.find("origin")) place.low = f.point(*origin, "origin");
    const std::filesystem::path path = folder / settings.image;
    const std::string shown = printable(path.string());
    std::string why;
    auto bytes = std::make_shared<const std::string>(
        read_regular_text(path.string(), MOST_PICTURE_FILE_BYTES, why, "PNG or SVG file"));
    if (why.rfind("expected ", 0) == 0) f.fail("image", why.substr(9) + " (" + shown + ")");
    if (!why.empty()) f.fail("image", "a readable PNG or SVG file of at most 64 MiB (" + shown + ": " + why + ")");
    settings.picture = read_picture(*bytes, place, why);
    if (!why.empty()) f.fail("image", why + " (" + shown + ")");
    const Vec2 high = settings.picture->high();
    if (std::abs(high.x) > MOST_COORDINATE || std::abs(high.y) > MOST_COORDINATE) {
        f.fail("origin", "a picture lying within 1e+06 m of the origin either way");
    }
    settings.image_file = std::move(bytes);
}

WorldSettings read_world(const toml::table& root, const std::string& source, const std::string& default_name,
                         const std::filesystem::path& folder) {
    WorldSettings world;
    TableReader top(root, "", source);
    world.name = default_name;
    if (const toml::node* name = top.find("name")) {
        // The name is printed, becomes a folder name and goes into pictures
        // and pages: printable_name says what it may not hold.
        const std::string text = name->value<std::string>().value_or("");
        if (!name->is_string() || text.empty() || text.size() > MOST_NAME_BYTES || !printable_name(text)) {
            top.fail("name", "a non-empty string of at most 200 bytes without control characters");
        }
        world.name = text;
    }
    if (const toml::table* run = top.table("run")) {
        TableReader r(*run, "run.", source);
        world.run.duration = r.positive("duration", world.run.duration, "(simulated time in s)", MOST_DURATION);
        world.run.seed = static_cast<std::uint64_t>(r.integer("seed", 1, 0, INT64_MAX));
        world.run.off_line_limit = r.positive("off_line_limit", world.run.off_line_limit, "(time in s)");
        world.run.off_line_distance = r.positive("off_line_distance", world.run.off_line_distance, "(distance in m)");
        world.run.wall_time_limit =
            r.positive("wall_time_limit", world.run.wall_time_limit, "(wall-clock time in s)", MOST_WALL_TIME_LIMIT);
        r.finish();
    }
    const toml::table* track = top.table("track");
    if (track == nullptr) top.fail("track", "a [track] table with segments or points");
    TableReader t(*track, "track.", source);
    bool polyline = false;
    const toml::table* floor_table = root.get_as<toml::table>("floor");
    read_track(t, world.track, polyline, nullptr, floor_table != nullptr && floor_table->contains("image"));
    t.finish();
    if (const toml::table* robot = top.table("robot")) {
        TableReader r(*robot, "robot.", source);
        world.robot.wheel_radius =
            r.positive("wheel_radius", world.robot.wheel_radius, "(radius in m)", MOST_WHEEL_RADIUS);
        world.robot.axle_track =
            r.positive("axle_track", world.robot.axle_track, "(distance between the wheels in m)", MOST_AXLE_TRACK);
        if (world.robot.axle_track < LEAST_AXLE_TRACK)
            r.fail("axle_track", "a distance between the wheels of 0.001 to 100 m");
        read_motors(r, world.robot);
        r.finish();
    }
    if (const toml::table* camera = top.table("camera")) {
        TableReader c(*camera, "camera.", source);
        CameraSettings& s = world.camera;
        s.width = static_cast<std::int32_t>(c.integer("width", s.width, 1, 8192));
        s.height = static_cast<std::int32_t>(c.integer("height", s.height, 1, 8192));
        if (std::int64_t{s.width} * s.height > MOST_PIXELS)
            c.fail("height", "an image of at most 4194304 pixels (width x height)");
        s.field_of_view = c.number("field_of_view", s.field_of_view / DEGREE, "an angle above 0 and below 180 deg",
                                   [](double v) { return v > 0 && v < 180; }) *
                          DEGREE;
        s.mount_forward =
            c.number("mount_forward", s.mount_forward, "a distance ahead of the axle in m, at most 10 m either way",
                     [](double v) { return std::abs(v) <= 10; });
        s.mount_height = c.positive("mount_height", s.mount_height, "(height above the floor in m)", 10.0);
        s.pitch = c.number("pitch", s.pitch / DEGREE, "an angle above 0 and at most 90 deg below the horizontal",
                           [](double v) { return v > 0 && v <= 90; }) *
                  DEGREE;
        s.noise = c.number("noise", s.noise, "a pixel noise amplitude from 0 to 255 gray levels",
                           [](double v) { return v >= 0 && v <= 255; });
        read_optics(c, s);
        c.finish();
    }
    if (const toml::table* floor = top.table("floor")) {
        TableReader f(*floor, "floor.", source);
        if (floor->contains("image")) {
            read_picture_floor(f, *floor, folder, world.floor);
            // A robot set down off the picture is off the floor before its first step.
            const Picture& picture = *world.floor.picture;
            const Vec2 start = world.track.start, high = picture.high();
            if (!(start.x >= picture.low.x && start.y >= picture.low.y && start.x <= high.x && start.y <= high.y)) {
                std::ostringstream where;
                where << "a start on the picture floor, from [" << picture.low.x << ", " << picture.low.y << "] to ["
                      << high.x << ", " << high.y << "] m";
                TableReader(*track, "track.", source).fail("start", where.str());
            }
        }
        FloorSettings& s = world.floor;
        s.floor_gray = static_cast<std::uint8_t>(f.integer("gray", s.floor_gray, 0, 255));
        s.line_gray = static_cast<std::uint8_t>(f.integer("line_gray", s.line_gray, 0, 255));
        s.outside_gray = static_cast<std::uint8_t>(f.integer("outside_gray", s.outside_gray, 0, 255));
        s.margin = f.positive("margin", s.margin, "(floor around the track in m)", MOST_MARGIN);
        s.floor_gray_variation = f.number("floor_gray_variation", 0.0, "a gray variation from 0 to 255 gray levels",
                                          [](double v) { return v >= 0 && v <= 255; });
        s.line_gray_variation = f.number("line_gray_variation", 0.0, "a gray variation from 0 to 255 gray levels",
                                         [](double v) { return v >= 0 && v <= 255; });
        f.finish();
    }
    top.finish();
    return world;
}

}  // namespace

bool printable_name(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0U; };
        const unsigned lead = byte(i);
        // The sequence's length, told by its lead byte.
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xc2 && lead <= 0xdf ? 2
                                   : lead >= 0xe0 && lead <= 0xef ? 3
                                   : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                                  : 0;
        if (length == 0) return false;  // a continuation byte, or a lead byte no valid sequence has
        char32_t c = length == 1 ? lead : lead & (0x7fU >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xc0) != 0x80) return false;  // cut short
            c = (c << 6) | (byte(i + k) & 0x3f);
        }
        constexpr char32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};  // below it, a sequence is an overlong form
        if (c < LEAST[length] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
        const bool control = c < 0x20 || (c >= 0x7f && c <= 0x9f);
        const bool separator = c == 0x2028 || c == 0x2029;
        const bool bidi =
            c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
        const bool noncharacter = (c >= 0xfdd0 && c <= 0xfdef) || (c & 0xfffe) == 0xfffe;
        if (control || separator || bidi || noncharacter) return false;
        i += length;
    }
    return true;
}

WorldSettings parse_world(std::string_view text, const std::string& given_source) {
    // The file's name may hold anything a file name may: shown escaped, as one line.
    const std::string source = printable(given_source);
    toml::table root;
    if (const auto problem = parse_problem(text, source, root)) throw WorldError("world " + source + ": " + *problem);
    std::string stem = source;
    if (const auto slash = stem.find_last_of('/'); slash != std::string::npos) stem = stem.substr(slash + 1);
    if (const auto dot = stem.find_last_of('.'); dot != std::string::npos && dot > 0) stem = stem.substr(0, dot);
    return read_world(root, source, stem, std::filesystem::path(given_source).parent_path());
}

std::string read_world_text(const std::string& path) {
    std::string why;
    std::string text = read_regular_text(path, MOST_WORLD_BYTES, why);
    if (!why.empty()) throw WorldError("world " + printable(path) + ": cannot be read (" + why + ")");
    return text;
}

WorldSettings load_world_file(const std::string& path) { return parse_world(read_world_text(path), path); }

namespace {

// The first segments of `track` within the limits check_size holds a track
// to: a refused track costs no more to draw than an accepted one.
void keep_within_limits(TrackSettings& track) {
    double length = 0.0;     // [m]
    std::size_t pieces = 0;  // as check_size counts them
    std::size_t kept = 0;
    for (const SegmentSettings& s : track.segments) {
        length += s.length;
        pieces += pieces_of(s);
        if (!(length <= MOST_TRACK_LENGTH) || pieces > MOST_PIECES) break;
        ++kept;
    }
    track.segments.resize(kept);
}

// The track of a refused world read again alone, as far as it reads; none
// where the text is not TOML, there is no [track] table or not a segment of it reads.
std::optional<TrackFault> read_refused_track(std::string_view text, const std::string& source) {
    toml::table root;
    if (parse_problem(text, source, root)) return std::nullopt;
    const toml::table* table = root.get_as<toml::table>("track");
    if (table == nullptr) return std::nullopt;
    TableReader reader(*table, "track.", source);
    TrackFault fault;
    bool polyline = false, closing = false;
    try {
        read_track(reader, fault.track, polyline, &closing);
        fault.where = TrackFault::Where::elsewhere;  // an unknown key of [track], or a fault in another table
    } catch (const WorldError&) {
        fault.where = closing ? TrackFault::Where::closing : TrackFault::Where::segment;
    }
    fault.track.closed = false;
    keep_within_limits(fault.track);
    if (fault.track.segments.empty()) return std::nullopt;
    return fault;
}

}  // namespace

WorldSettings parse_world(std::string_view text, const std::string& given_source, std::optional<TrackFault>& fault) {
    fault.reset();
    try {
        return parse_world(text, given_source);
    } catch (const WorldError&) {
        fault = read_refused_track(text, printable(given_source));
        throw;
    }
}

}  // namespace sim
