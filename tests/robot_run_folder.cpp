// Leaves a hand-made robot's run and its replay.html in FOLDER, for
// browser_test.py: 1500 steps (48 s) of the default law's commands.

#include "robot_run_folder.hpp"

#include <exception>
#include <filesystem>
#include <iostream>

#include "replay.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: robot_run_folder FOLDER\n";
        return 2;
    }
    try {
        std::filesystem::create_directories(argv[1]);
        const test_support::RobotRun run = test_support::write_robot_run(argv[1], 1500);
        line_sim::write_robot_replay(argv[1], run.summary, true);
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
