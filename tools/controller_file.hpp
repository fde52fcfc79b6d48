#pragma once

// What line-sim checks of a controller before any run starts, and how it
// names the build that ran.

#include <string>
#include <string_view>

namespace line_sim {

// What line-sim needs to know of a controller's file, read once (a
// controller may be tens of megabytes).
struct ControllerFile {
    // Empty if the file is an executable ELF file that needs
    // libController.so, else why it cannot be run on the simulated robot.
    std::string problem;
    // The program's own run path comes before LD_LIBRARY_PATH (an old
    // DT_RPATH), so that only LD_PRELOAD makes it load another libController.so.
    bool old_rpath = false;
    std::string sha256;  // of the file's bytes, in hex
};
ControllerFile inspect_controller(const std::string& path);

// The SHA-256 of the file's bytes, in hex; empty if it cannot be read.
std::string file_sha256(const std::string& path);
// The SHA-256 of `bytes`, in hex.
std::string sha256(std::string_view bytes);

}  // namespace line_sim
