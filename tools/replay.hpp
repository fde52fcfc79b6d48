#pragma once

// replay.html: a run to watch in a browser, one self-contained page in the
// run's folder (tools/replay/replay.html is the page; the run's data goes
// inside it).

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <nlohmann/json.hpp>

#include "settings.hpp"
#include "trace.hpp"
#include "track.hpp"

namespace line_sim {

// Steps a replay holds at the most. A longer run keeps every k-th step (trace
// row and camera frame), k the smallest whole number that brings it within
// this: runs of up to 17 minutes keep every step, a one-hour run every 4th.
inline constexpr std::int64_t MOST_REPLAY_STEPS = 32768;

class PageFile;

// `run_folder`/replay.html being made, a trace row at a time, keeping every
// `stride`-th step; the camera frames are read from `frames` (positioned at
// the start of the run's frames file, and outliving this) as the rows need
// them. The page is absent until commit(), which puts the run's `summary` in.
// `own_controller`: the run's controller is the project's own line_follower,
// whose reading of each image (its scanned row, dark pixels, mean column and
// the command they give) the page then draws; for any other it draws that
// only when asked, as what the default controller would read.
class ReplayPage {
public:
    ReplayPage(const std::filesystem::path& run_folder, const sim::WorldSettings& world, std::int64_t stride,
               std::istream& frames, bool own_controller);
    ~ReplayPage();
    ReplayPage(const ReplayPage&) = delete;
    ReplayPage& operator=(const ReplayPage&) = delete;

    void add(const sim::TraceRow& row);
    // After the last row: all but the summary (`track` is the world's, laid).
    void end(const sim::Track& track);
    // After end().
    void commit(const nlohmann::json& summary);

private:
    class TracePacker;
    class FramePacker;
    sim::WorldSettings world_;
    std::int64_t stride_, rows_ = 0;
    bool own_controller_;
    nlohmann::json settings_;
    std::unique_ptr<PageFile> page_;
    std::unique_ptr<TracePacker> trace_;
    std::unique_ptr<FramePacker> frames_;
};

// Writes `run_folder`/replay.html from the run's trace.csv and
// camera-frames.bin, read as streams (a run of any length takes the same
// memory), with `world` as run and the run's `summary`; `own_controller` as
// for ReplayPage. The page is complete or absent; a failure throws
// std::runtime_error naming the file.
void write_replay(const std::filesystem::path& run_folder, const sim::WorldSettings& world,
                  const nlohmann::json& summary, bool own_controller);

}  // namespace line_sim
