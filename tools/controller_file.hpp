#pragma once

// What line-sim checks of a controller before any run starts, and how it
// names the build that ran.

#include <string>

namespace line_sim {

// Empty if `path` is an executable ELF file that needs libController.so,
// else why it cannot be run on the simulated robot.
std::string controller_problem(const std::string& path);

// Whether the program's own run path comes before LD_LIBRARY_PATH (an old
// DT_RPATH), so that only LD_PRELOAD makes it load another libController.so.
bool library_path_overridden(const std::string& path);

// The SHA-256 of the file's bytes, in hex; empty if it cannot be read.
std::string file_sha256(const std::string& path);
// The SHA-256 of `bytes`, in hex.
std::string sha256(std::string bytes);

}  // namespace line_sim
