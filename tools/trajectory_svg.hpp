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

// The parts of a picture of the track, shared by trajectory.svg and the
// preview of a world (line-sim show): the frame, the track, the start and a
// scale bar, each drawn the same in both.
inline constexpr double TRACK_VIEW_WIDTH = 900;  // [px] of the drawing
inline constexpr double TRACK_VIEW_MARGIN = 40;  // [px] round it

// What of the floor is drawn and where it falls in the picture: the box
// round the points included, a little floor round it, TRACK_VIEW_WIDTH px
// wide, y up on the floor and down on screen.
class TrackView {
public:
    explicit TrackView(sim::Vec2 first) : low_(first), high_(first) {}
    void include(double x, double y);  // [m] a point to show
    // Fixes the frame, with floor round the points for a line `line_width` [m] wide.
    void fit(double line_width);
    double px(double x) const { return TRACK_VIEW_MARGIN + (x - low_.x) * scale_; }  // [px] of x [m]
    double py(double y) const { return TRACK_VIEW_MARGIN + (high_.y - y) * scale_; }
    double scale() const { return scale_; }    // [px/m]
    double height() const { return height_; }  // [px] of the drawing

private:
    sim::Vec2 low_, high_;
    double scale_ = 1.0, height_ = 0.0;
};

// The picture's start: the XML declaration, the <svg> with a viewBox of the
// drawing and `below` [px] under it, its <title> (markup: escaped already),
// the white ground and the floor. Sets the stream's precision to 6.
void write_svg_head(std::ostream& svg, const TrackView& view, double below, const std::string& title_markup);
// The line at its real width, one path a drawn stretch (centre_line_strokes),
// its corners mitred where a taped corner is, else rounded.
void write_track(std::ostream& svg, const TrackView& view, const std::vector<std::vector<sim::Vec2>>& strokes,
                 const sim::TrackSettings& track);
// A picture floor's file as a data: URI, or "" where the world has none or
// it is too large to go in a page (MOST_EMBEDDED_PICTURE_BYTES: a photograph
// of a hall may be).
inline constexpr std::size_t MOST_EMBEDDED_PICTURE_BYTES = 8 << 20;
std::string floor_picture_uri(const sim::FloorSettings& floor);
// Includes the picture floor's box in the view, where floor_picture_uri has one.
void include_floor_picture(TrackView& view, const sim::FloorSettings& floor);
// The picture floor, where floor_picture_uri has one, on white paper (its
// transparent parts), and then opens a faint group for the centre line over
// it (the figures' line, not drawn on the floor): close_floor_picture closes it.
void write_floor_picture(std::ostream& svg, const TrackView& view, const sim::FloorSettings& floor);
void close_floor_picture(std::ostream& svg, const sim::FloorSettings& floor);
// The start: a circle, labelled.
void write_start(std::ostream& svg, const TrackView& view, sim::Vec2 start);
// A scale bar in centimetres under the drawing's left edge, at `base` [px] from the top.
void write_scale_bar(std::ostream& svg, const TrackView& view, double base);

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
