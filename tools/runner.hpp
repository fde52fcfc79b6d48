#pragma once

// Running the plan: each run a controller process on the simulated robot,
// `jobs` at a time, then its files completed (line-sim.json, pages, manifest).

#include <chrono>
#include <csignal>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "controller_file.hpp"
#include "live_run.hpp"
#include "run_folder.hpp"
#include "run_plan.hpp"
#include "run_summary.hpp"
#include "settings.hpp"

namespace line_sim {

struct Run {
    PlannedRun plan;
    // The world as run (world.toml) and as read: held while the run goes,
    // let go once its files are done, so that a sweep's memory does not grow
    // with a world's size times its runs.
    std::string text;
    std::optional<sim::WorldSettings> world;
    RunFolder run_folder;
    std::string folder;  // run_folder's path
    pid_t pid = 0;       // the controller's guard (see start_guarded_child)
    int record_fd = -1;  // the robot's end record comes through it
    std::string record;  // what came: the end reason's word, and a failure's line
    std::chrono::steady_clock::time_point started;
    bool stopped = false;    // told to stop by line-sim
    bool timed_out = false;  // killed by line-sim for passing its world's wall-clock limit
    std::optional<std::chrono::steady_clock::time_point> over;  // when its summary appeared
    std::optional<sim::RunSummary> summary;                     // the robot's, or worked out from its trace
    sim::LineSimFacts facts;             // line-sim's own: the controller, how it ended, what went wrong (error)
    std::unique_ptr<LiveRunFiles> live;  // its picture and replay, made while it runs
};

struct Controller {
    std::string given;  // the path as the person gave it
    std::filesystem::path path;
    std::vector<std::string> arguments;
    HeldController* held = nullptr;        // the file that runs, and its hash
    std::filesystem::path library;         // the simulated robot's libController.so
    bool preload = false;                  // its run path would win over LD_LIBRARY_PATH
    std::filesystem::path python_modules;  // the folder of robot_interface.py, for a Python controller
    bool own = false;                      // the project's line_follower: its replays draw how it reads each image
};

// The controller's child as a run starts it, in `folder` (its standard
// output and error go to the folder's files): the platform's library first on
// the library path, a script run by PYTHON from a sealed copy of what was
// hashed (`script` gets its descriptor, -1 if none: the caller closes it once
// the child has started), and its parameters as PARAM_VARIABLE + NAME. The
// platform's own variables are the caller's to add. `facts` gets the
// interpreter and the hash.
ChildSpec controller_child(Controller& controller, const std::string& folder, sim::LineSimFacts& facts, int& script);

// Runs `count` runs, `jobs` at a time, each made by `prepare` (given its
// number, 0 to count - 1) just before it starts, so that a run's folder is
// made and its world held only once it goes; a run that `prepare` leaves
// with an error is not started. Returns the runs made, in order. With
// `progress`, one overall line and a line a running run on standard error,
// redrawn in place. Stops the runs (SIGTERM, then a kill after a grace
// period) once `interrupted` is set, and starts no more.
std::deque<Run> run_all(std::size_t count, const std::function<Run(std::size_t)>& prepare, Controller& controller,
                        unsigned jobs, bool progress, const volatile std::sig_atomic_t& interrupted);

// A run that ended as a run should: the controller's status 0, every file
// written, and a normal end reason.
bool ended_normally(const Run& run);

}  // namespace line_sim
