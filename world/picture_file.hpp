#pragma once

// Pictures as floors: a PNG, or an SVG drawn to pixels once, read into the
// grays a camera sees. Both are read whole, bounded, before anything else is
// allocated for them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "picture.hpp"

namespace sim {

inline constexpr std::size_t MOST_PICTURE_FILE_BYTES = 64 << 20;
// [px] of the picture (drawn, for an SVG): 64 MiB of grays, a 8 m x 8 m mat at 1 mm.
inline constexpr std::int64_t MOST_PICTURE_PIXELS = 1 << 26;

// Where a picture lies on the floor and how large it is: one of `pixel` (a
// PNG's pixel side) or `size` (the picture's width and height); an SVG
// without `size` takes its own, where given in mm, cm, in, pt or pc, and is
// drawn with pixels of `pixel` (1 mm if 0).
struct PicturePlace {
    double pixel = 0.0;  // [m] 0: not given
    Vec2 size;           // [m] 0 x 0: not given
    Vec2 low;            // [m] the picture's lower-left corner on the floor
};

// The picture from the bytes of the file `name` (told PNG or SVG by its first
// bytes, not its name); null with `why` set where it cannot be read or would
// be too large. Transparent parts show white paper. Colours become the gray
// a monochrome camera sees (their luminance).
std::shared_ptr<const Picture> read_picture(const std::string& bytes, const PicturePlace& place, std::string& why);

// The name a run's copy of the picture file `bytes` takes beside its world.toml.
const char* floor_picture_name(const std::string& bytes);

}  // namespace sim
