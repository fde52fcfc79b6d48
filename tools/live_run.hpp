#pragma once

// A run's trajectory.svg and replay.html made while the run goes. A thread
// reads the trace and the camera frames as the simulated robot writes them
// and packs them for the replay, so that once the controller ends little is
// left to do (on a machine of two cores or more, that work costs the run
// little time). A run longer than the picture and the replay keep every
// step of is left to be drawn from its files afterwards.

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "growing_file.hpp"
#include "page_file.hpp"
#include "replay.hpp"
#include "trace.hpp"

namespace line_sim {

class LiveRunFiles {
public:
    // Starts reading `folder`'s trace and frames, for a run of `world`
    // (`own_controller` as for ReplayPage).
    LiveRunFiles(std::string folder, const sim::WorldSettings& world, bool own_controller);
    // Stops reading (at the end of what is written by then) if finish() did not.
    ~LiveRunFiles();
    LiveRunFiles(const LiveRunFiles&) = delete;
    LiveRunFiles& operator=(const LiveRunFiles&) = delete;

    // The robot writes no more: what is left is read at once.
    void writer_ended() { ended_.set(); }

    // Once the robot writes no more: reads what is left and writes
    // trajectory.svg and replay.html (with the run's `summary`). False where
    // they are to be made from the run's files instead (a run too long, or
    // anything that went wrong: the same work done again then says what).
    bool finish(const nlohmann::json& summary);

private:
    void follow();
    void stop();

    std::string folder_;
    sim::WorldSettings world_;
    bool own_controller_;
    WriterEnded ended_;
    GrowingFile trace_file_, frames_file_;
    std::istream frames_;
    std::vector<sim::TraceRow> rows_;  // for the picture, once the run is over
    std::unique_ptr<ReplayPage> page_;
    std::unique_ptr<PageFile> picture_;  // trajectory.svg, drawn once the run is over
    bool given_up_ = false;
    std::thread thread_;  // last: started once the rest is there
};

}  // namespace line_sim
