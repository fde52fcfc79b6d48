// Fuzz target: the world reader. Any text gives a world or one WorldError
// line naming the world, nothing else. A world it gives is built whole (its
// track with the track's grid, the floor, the camera) and run for one step,
// which renders frames and queries the track, so that the memory and the
// geometry of any world the reader lets through are exercised.
#include <algorithm>
#include <cmath>
#include <exception>
#include <numbers>
#include <string>
#include <string_view>

#include "run_one.hpp"
#include "simulation.hpp"
#include "world_file.hpp"

namespace {

const std::string SOURCE = "fuzz.toml";

// The world reader does not bound what a world may cost yet; it is to refuse
// worlds like these itself. Until it does, they are skipped here, or libFuzzer
// would spend its time on out-of-memory reports and time-outs that hide other
// findings. Remove this once the reader refuses them.
bool beyond_reader_limits(const sim::TrackSettings& track) {
    constexpr double MOST_LENGTH = 10e3;     // [m] of centre line
    constexpr double MOST_PIECES = 100e3;    // arcs are laid in pieces of a quarter turn at most
    constexpr double MOST_GRID_CELLS = 4e6;  // the track's grid lists each piece in the 0.1 m cells it may reach
    double length = 0.0, pieces = 0.0, cells = 0.0;
    for (const sim::SegmentSettings& segment : track.segments) {
        const double parts = std::max(1.0, std::ceil(std::abs(segment.angle) / (std::numbers::pi / 2)));
        const double side = (2 * segment.length / parts + 0.2) / 0.1 + 2;  // [cells] across a piece's box, at most
        length += segment.length;
        pieces += parts;
        cells += parts * side * side;
    }
    return !(length <= MOST_LENGTH && pieces <= MOST_PIECES && cells <= MOST_GRID_CELLS);
}

}  // namespace

int run_one(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::WorldSettings world;
    try {
        world = sim::parse_world(text, SOURCE);
    } catch (const sim::WorldError& error) {
        const std::string_view line = error.what();
        const std::string start = "world " + SOURCE + ": ";
        if (!line.starts_with(start) || line.size() == start.size() || line.find_first_of("\r\n") != line.npos) {
            fail("not one line naming the world: \"" + std::string(line) + "\"");
        }
        return 0;
    } catch (const std::exception& error) {
        fail(std::string("parse_world threw another exception than WorldError: ") + error.what());
    }
    if (beyond_reader_limits(world.track)) return 0;

    sim::Simulation simulation(world);
    simulation.enable_camera(32);  // renders the first frame
    simulation.set_wheel_speeds(4.0, 3.0);
    // Moves and measures against the track; a step short of the next sampling
    // instant renders no second frame, which would only double the cost.
    simulation.step(31);
    return 0;
}
