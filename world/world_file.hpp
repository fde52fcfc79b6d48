#pragma once

// World files: TOML descriptions of a track, the robot, its camera and the
// run. Every key has a default but the track's shape; unknown keys are errors,
// since a misspelt key silently ignored would run another experiment than the
// one written down.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "settings.hpp"

namespace sim {

// One line naming the file, the key and what was expected.
class WorldError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    static constexpr const char* KIND = "world";  // the word its lines start with
};

// What a world may ask for. No real track comes near these; beyond them a
// world is refused before anything that depends on them is allocated, so
// that the cost of a world stays in proportion to what it draws.
inline constexpr std::size_t MOST_WORLD_BYTES = 16 << 20;  // of the file
inline constexpr int MOST_NESTING = 64;                    // tables, arrays and dotted key parts inside each other
inline constexpr std::size_t MOST_NAME_BYTES = 200;        // of the world's name
inline constexpr std::size_t MOST_SEGMENTS = 100000;       // segments or points
inline constexpr std::size_t MOST_PIECES = 200000;         // arcs cut into quarter turns
inline constexpr double MOST_TRACK_LENGTH = 20000.0;       // [m]
inline constexpr double MOST_COORDINATE = 1e6;             // [m] of a start or a point, either way
inline constexpr double MOST_RADIUS = 1e6;                 // [m]
inline constexpr double MOST_ARC_TURN = 3600.0;            // [deg] of one arc, either way
inline constexpr double MOST_LINE_WIDTH = 1.0;             // [m]
inline constexpr double MOST_MARGIN = 100.0;               // [m]
inline constexpr double MOST_DURATION = 1e7;               // [s] of simulated time
inline constexpr std::int64_t MOST_PIXELS = 1 << 22;       // of the camera image, width x height
inline constexpr double MOST_WALL_TIME_LIMIT = 1e7;  // [s] of wall-clock time, the most run.wall_time_limit allows
// With the motors' MOST_WHEEL_SPEED and MOST_DURATION, these keep every pose
// finite: at most 2.25e5 m/s and 4.5e8 rad/s for at most 1e7 s.
inline constexpr double MOST_WHEEL_RADIUS = 10.0;  // [m]
inline constexpr double LEAST_AXLE_TRACK = 0.001;  // [m]
inline constexpr double MOST_AXLE_TRACK = 100.0;   // [m]

// Whether `text` may be a world's name: valid UTF-8 (shortest forms, no
// surrogates, nothing past U+10FFFF) without a character that would change
// how the text around it is shown or read: the C0 and C1 controls and DEL,
// the line and paragraph separators (U+2028, U+2029), the marks that turn
// text right to left (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to
// U+2069), and the noncharacters (U+FDD0 to U+FDEF, and the last two code
// points of every plane), which an XML file may not hold.
bool printable_name(std::string_view text);

// `source` names the text in error messages.
WorldSettings parse_world(std::string_view text, const std::string& source);
// What can be drawn of a refused world: its track as far as it reads, laid
// as an open line, and where it went wrong.
struct TrackFault {
    enum class Where {
        segment,   // at a segment or point (or past the limits): `track` holds the ones before it
        closing,   // only the closing check failed: `track` is the whole centre line
        elsewhere  // the track reads whole; the fault is in another key
    };
    TrackSettings track;  // at least one segment, within the limits of an accepted track
    Where where = Where::segment;
};
// As parse_world; where it throws WorldError, `fault` is first set to what
// can be drawn of the track, if any of it reads (none: not TOML, no track).
WorldSettings parse_world(std::string_view text, const std::string& source, std::optional<TrackFault>& fault);
// Reads regular files only (a FIFO or a device would hang or never end), of
// at most MOST_WORLD_BYTES.
WorldSettings load_world_file(const std::string& path);
// The file's text, checked as load_world_file checks it; throws WorldError.
std::string read_world_text(const std::string& path);

// The world used when none is named: an oval of two straights and two half turns.
extern const std::string_view DEFAULT_WORLD;

}  // namespace sim
