// Fuzz target: the world reader. Any text gives a world or one WorldError
// line naming the world, nothing else. A world it gives is built whole (its
// track with the track's grid, the floor, the camera) and run for one step,
// which renders frames and queries the track, so that the memory and the
// geometry of any world the reader lets through are exercised.
#include <algorithm>
#include <exception>
#include <string>
#include <string_view>

#include "run_one.hpp"
#include "simulation.hpp"
#include "world_file.hpp"

namespace {

const std::string SOURCE = "fuzz.toml";

}  // namespace

int run_one(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::WorldSettings world;
    try {
        world = sim::parse_world(text, SOURCE);
    } catch (const sim::WorldError& error) {
        const std::string_view line = error.what();
        const std::string start = "world " + SOURCE + ": ";
        const bool control =
            std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
        if (!line.starts_with(start) || line.size() == start.size() || control) {
            fail("not one line naming the world: \"" + std::string(line) + "\"");
        }
        return 0;
    } catch (const std::exception& error) {
        fail(std::string("parse_world threw another exception than WorldError: ") + error.what());
    }
    sim::Simulation simulation(world);
    simulation.enable_camera(32);  // renders the first frame
    simulation.set_wheel_speeds(4.0, 3.0);
    // Moves and measures against the track; a step short of the next sampling
    // instant renders no second frame, which would only double the cost.
    simulation.step(31);
    return 0;
}
