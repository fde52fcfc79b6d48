#pragma once

// World files: TOML descriptions of a track, the robot, its camera and the
// run. Every key has a default but the track's shape; unknown keys are errors,
// since a misspelt key silently ignored would run another experiment than the
// one written down.

#include <stdexcept>
#include <string>
#include <string_view>

#include "settings.hpp"

namespace sim {

// One line naming the file, the key and what was expected.
class WorldError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `source` names the text in error messages.
WorldSettings parse_world(std::string_view text, const std::string& source);
WorldSettings load_world_file(const std::string& path);

// The world used when none is named: an oval of two straights and two half turns.
extern const std::string_view DEFAULT_WORLD;

}  // namespace sim
