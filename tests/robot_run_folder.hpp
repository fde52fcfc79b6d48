#pragma once

// A real robot's run folder written by hand, as its platform leaves one:
// frames of a dark line wandering across a lit floor, the default law's
// command for each (set after a frame, in force over the next step), and
// step timings with an overrun now and then.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "file_names.hpp"
#include "frame_codec.hpp"
#include "line_tracking.hpp"
#include "robot_run.hpp"

namespace test_support {

struct RobotRun {
    std::vector<std::vector<std::uint8_t>> frames;  // as in the file: at switch-on, then after each step
    std::vector<sim::RobotTraceRow> rows;           // after each step
    nlohmann::json summary;
};

inline RobotRun write_robot_run(const std::string& folder, int steps, std::int32_t width = 64,
                                std::int32_t height = 48) {
    RobotRun run;
    sim::FrameEncoder encoder(width, height);
    std::string frames = sim::frames_header({width, height, 0}), trace = sim::robot_trace_header() + "\n";
    sim::SpreadCounter ages, lates;
    line_tracking::WheelSpeeds command{0.0, 0.0};  // [rad/s] in force
    double overruns = 0.0;
    for (int k = 0; k <= steps; ++k) {
        if (k > 0) {
            const double late = k % 37 == 0 ? 0.045 : 0.0004 * (k % 3);  // [s]
            overruns += late > 0.032;
            const sim::RobotTraceRow row{0.032 * k, command.left, command.right, 0.003 + 0.001 * (k % 5),
                                         late,      overruns};
            run.rows.push_back(row);
            char text[32 * sim::ROBOT_TRACE_COLUMN_COUNT];
            trace.append(text, sim::write_robot_trace_row(text, row));
            ages.add(row.frame_age);
            lates.add(late);
        }
        const double centre = width * (0.5 + 0.3 * std::sin(0.07 * k));  // [px] the line's
        std::vector<std::uint8_t> image(3 * static_cast<std::size_t>(width * height));
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                const auto gray = static_cast<std::uint8_t>(std::abs(x + 0.5 - centre) < 3 ? 10 : 150 + y + x / 16 * 8);
                std::fill_n(image.begin() + 3 * (y * width + x), 3, gray);
            }
        }
        encoder.encode(image.data(), frames);
        run.frames.push_back(image);
        if (const auto speeds = line_tracking::compute_wheel_speeds(
                line_tracking::scan_dark_pixels({width, height, image.data()}), width)) {
            command = *speeds;
        }
    }
    sim::RobotSummary summary;
    summary.robot = "hand-made";
    summary.mode = "footage";
    summary.end_reason = "footage_ended";
    summary.steps = steps;
    summary.time_s = run.rows.empty() ? 0.0 : run.rows.back().t - run.rows.front().t;
    summary.overruns = static_cast<std::int64_t>(overruns);
    summary.frame_age = ages.spread();
    summary.late = lates.spread();
    summary.camera_width = width;
    summary.camera_height = height;
    run.summary = sim::to_json(summary);
    std::ofstream(folder + "/" + sim::FRAMES_FILE, std::ios::binary) << frames;
    std::ofstream(folder + "/" + sim::TRACE_FILE, std::ios::binary) << trace;
    std::ofstream(folder + "/" + sim::SUMMARY_FILE, std::ios::binary) << run.summary.dump(2) << '\n';
    return run;
}

}  // namespace test_support
