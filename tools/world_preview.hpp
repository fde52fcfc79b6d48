#pragma once

// line-sim show: a picture of a world's track before any run, for someone
// preparing it, and the figures of the track.

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "settings.hpp"
#include "track.hpp"
#include "world_file.hpp"

namespace line_sim {

// What the preview says of a track.
struct TrackFigures {
    double length = 0.0;           // [m] along the centre line, gaps included
    double tightest_radius = 0.0;  // [m] of the tightest arc; 0: no arcs
    double sharpest_corner = 0.0;  // [rad] the sharpest sharp turn, either way; 0: none
    bool closed = false;
    bool centre_line = true;  // false: a picture floor's line alone, none of the above
};
// A closed track's turn from its end into its start counts as a corner
// (a point track's last corner); an open track's first heading does not.
TrackFigures track_figures(const sim::TrackSettings& settings, const sim::Track& track);
// The lines line-sim show prints: length, tightest turn, whether it closes.
std::vector<std::string> figure_lines(const TrackFigures& figures);

// The world's fault, for a refused world's picture.
struct PreviewFault {
    sim::TrackFault::Where where = sim::TrackFault::Where::segment;
    std::string error;  // the line line-sim prints
};

// The preview: the track as trajectory.svg draws it, the start with its
// heading, a scale bar; for a good world the robot to scale at the start,
// its camera's footprint on the floor and the camera's first image (as the
// run's first frame) turned as a person sees the floor. For a refused world
// (`fault` given, `world` holding the track as far as it reads and default
// settings for the rest) the track with the fault marked in red and the
// error as a caption, no robot or camera (their settings were not read).
void write_world_preview(std::ostream& svg, const sim::WorldSettings& world, const PreviewFault* fault);
// Into `path`, complete or absent; throws sim::FileError naming it.
void write_world_preview(const std::filesystem::path& path, const sim::WorldSettings& world, const PreviewFault* fault);

}  // namespace line_sim
