#pragma once

// Every file name of a run and of a line-sim call, in one place: what a
// platform writes into a run's folder, what line-sim adds, and what it writes
// at the top of --out. Each is written whole or not at all (files.hpp).

namespace sim {

// A run's folder, as the platform records it (LINE_SIM_OUTPUT).
inline constexpr const char* TRACE_FILE = "trace.csv";           // a row a step (trace.hpp)
inline constexpr const char* FRAMES_FILE = "camera-frames.bin";  // every camera frame (frame_codec.hpp)
inline constexpr const char* SUMMARY_FILE = "summary.json";      // the run's figures (run_summary.hpp)
// ... and as line-sim completes it.
inline constexpr const char* LINE_SIM_FILE = "line-sim.json";  // what line-sim knows (run_summary.hpp)
inline constexpr const char* WORLD_FILE = "world.toml";        // the world as run
// A picture floor's file, copied beside it (floor_picture_name in picture_file.hpp).
inline constexpr const char* FLOOR_PNG_FILE = "floor.png";
inline constexpr const char* FLOOR_SVG_FILE = "floor.svg";
inline constexpr const char* REPORT_FILE = "report.txt";             // the controller's standard error
inline constexpr const char* OUTPUT_FILE = "controller-output.txt";  // its standard output
inline constexpr const char* REPLAY_FILE = "replay.html";
inline constexpr const char* TRAJECTORY_FILE = "trajectory.svg";
// Camera snapshots are camera-<label><time>s.png (snapshot_name in the recorder).

// The top of a call's --out folder.
inline constexpr const char* RESULTS_CSV = "results.csv";
inline constexpr const char* RESULTS_JSON = "results.json";
inline constexpr const char* SWEEP_FILE = "sweep.svg";
inline constexpr const char* INDEX_FILE = "index.html";

}  // namespace sim
