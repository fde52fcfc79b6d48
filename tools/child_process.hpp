#pragma once

// Child processes: started with a given environment and their standard
// output and error going to files, tied to the process that started them so
// that they never outlive it, and stopped with a grace period, then killed.

#include <sys/types.h>

#include <string>
#include <vector>

namespace line_sim {

struct ChildSpec {
    std::string program;                 // a path; not looked up in PATH
    std::vector<std::string> arguments;  // after the program's name
    std::vector<std::string> environment;  // NAME=VALUE, the whole environment
    std::string output_path, error_path;   // standard output and error, created or truncated
    std::string directory;                 // to start in; empty: this one
};

// The environment of this process, less the variables whose names start with
// one of `dropped` (each given with its '=' where it is a whole name).
std::vector<std::string> environment_without(const std::vector<std::string>& dropped);

// Starts the child in a process group of its own (its pid); it is killed
// (SIGKILL) if this process dies first, by whatever means. Returns its pid, or -1 (errno set) if it could not be
// started; a program that cannot be executed ends the child with status 127.
pid_t start_child(const ChildSpec& child);

// The child's exit status, or 128 + the signal that ended it, from a wait status.
int exit_status_of(int wait_status);

}  // namespace line_sim
