#pragma once

// What line-sim checks of a controller before any run starts, and how it
// names the build that ran.

#include <string>

namespace line_sim {

// Empty if `path` is an executable ELF file that needs libController.so,
// else why it cannot be run on the simulated robot.
std::string controller_problem(const std::string& path);

// The SHA-256 of the file's bytes, in hex; empty if it cannot be read.
std::string file_sha256(const std::string& path);

}  // namespace line_sim
