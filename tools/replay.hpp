#pragma once

// replay.html: a run to watch in a browser, one self-contained page in the
// run's folder (tools/replay/replay.html is the page; the run's data goes
// inside it).

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "robot_run.hpp"
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
// A real robot's page (the constructor without a world) takes the robot's
// trace rows and draws no track: its pose is not known.
class ReplayPage {
public:
    ReplayPage(const std::filesystem::path& run_folder, const sim::WorldSettings& world, std::int64_t stride,
               std::istream& frames, bool own_controller);
    ReplayPage(const std::filesystem::path& run_folder, std::int64_t stride, std::istream& frames, bool own_controller);
    ~ReplayPage();
    ReplayPage(const ReplayPage&) = delete;
    ReplayPage& operator=(const ReplayPage&) = delete;

    void add(const sim::TraceRow& row);       // a simulated run's page
    void add(const sim::RobotTraceRow& row);  // a robot's
    // After the last row: all but the summary (`track` is the world's, laid).
    void end(const sim::Track& track);
    void end();  // a robot's page
    // After end().
    void commit(const nlohmann::json& summary);

private:
    class TracePacker;
    class FramePacker;
    // Either kind's page: `world` a simulated run's, null for a robot's.
    ReplayPage(const std::filesystem::path& run_folder, const sim::WorldSettings* world, std::int64_t stride,
               std::istream& frames, bool own_controller);
    // The rows and frames packed, and what the page is told of them besides their own settings.
    void end_data(nlohmann::json settings);

    std::optional<sim::WorldSettings> world_;  // none for a robot's run
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

// The same for a real robot's run (robot_run.hpp): its trace.csv (a robot
// trace, else std::runtime_error naming it) and camera-frames.bin, with its
// `summary` (sim::RobotSummary's JSON, shown as it is).
void write_robot_replay(const std::filesystem::path& run_folder, const nlohmann::json& summary, bool own_controller);

}  // namespace line_sim
