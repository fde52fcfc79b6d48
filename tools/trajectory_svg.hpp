#pragma once

// trajectory.svg: the track and the robot's path, drawn from a run's trace.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "page_file.hpp"
#include "trace.hpp"
#include "track.hpp"

namespace line_sim {

// Writes a coordinate [px] to a thousandth of a pixel, without trailing
// zeros (one too large for that as a stream would, to six digits); returns
// the end. At most 32 characters.
char* write_pixels(char* out, double v);

// The drawn centre line as polylines, one a stretch between gaps: straights
// by their ends, arcs by points a few millimetres apart.
std::vector<std::vector<sim::Vec2>> centre_line_strokes(const sim::Track& track);

// A picture of a run: the track at its real line width, the robot's path
// coloured by its distance from the centre line (with a legend), a scale bar,
// the start, and where the robot was off the line. The trace is read twice,
// row by row, and the path drawn with at most MOST_PATH_POINTS points (every
// k-th row), so that a day's run makes a picture of the usual size. It has a
// viewBox, so that it scales to the window or box it is shown in.
// The picture goes to its stream as it is drawn: what is held is the same
// however long the run.
inline constexpr std::int64_t MOST_PATH_POINTS = 20000;

// Rows given by `each_row`, which calls its argument with every row of the
// trace in order, each time it is called.
using EachRow = std::function<void(const std::function<void(const sim::TraceRow&)>&)>;
void write_trajectory_svg(std::ostream& svg, const sim::WorldSettings& world, const sim::Track& track,
                          const EachRow& each_row);
// Into `file`, not committed; throws sim::FileError naming it.
void write_trajectory_svg(PageFile& file, const sim::WorldSettings& world, const sim::Track& track,
                          const EachRow& each_row);
// `path` from the trace `trace_path`, complete or absent; throws sim::FileError naming it.
void write_trajectory_svg(const std::filesystem::path& path, const sim::WorldSettings& world, const sim::Track& track,
                          const std::string& trace_path);

// The picture as a string (tests).
std::string trajectory_svg(const sim::WorldSettings& world, const sim::Track& track, const std::string& trace_path);
std::string trajectory_svg(const sim::WorldSettings& world, const sim::Track& track, const EachRow& each_row);

}  // namespace line_sim
