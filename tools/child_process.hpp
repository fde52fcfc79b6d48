#pragma once

// Child processes: started with a given environment and their standard
// output and error going to files, tied to the process that started them so
// that they never outlive it, and stopped with a grace period, then killed.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace line_sim {

struct ChildSpec {
    std::string program;                   // a path; not looked up in PATH
    std::vector<std::string> arguments;    // after the program's name
    std::vector<std::string> environment;  // NAME=VALUE, the whole environment
    std::string output_path, error_path;   // standard output and error, created or truncated
    std::string directory;                 // to start in; empty: this one
    // With it, the program run is this open file (`program` is then only its
    // name, argv[0]): what was checked and hashed, whatever is at its path now.
    int program_fd = -1;
    // With it, `program` is an interpreter, run by its path, and program_fd
    // the script it reads from descriptor RECORD_FD + 1, left open for it.
    bool interpreted = false;
    // With program_fd, a guarded child's guard checks once the program has
    // started that the file holds these bytes, and says which in the record.
    const std::string* program_bytes = nullptr;
};

// The environment of this process, less the variables whose names start with
// one of `dropped` (each given with its '=' where it is a whole name).
std::vector<std::string> environment_without(const std::vector<std::string>& dropped);

// Starts the child in a process group of its own (its pid); it is killed
// (SIGKILL) if this process dies first, by whatever means. Returns its pid, or -1 (errno set) if it could not be
// started; a program that cannot be executed ends the child with status 127.
pid_t start_child(const ChildSpec& child);

// [bytes] of each of a guarded child's standard output and error kept in its
// file: the first MOST_OUTPUT_HEAD and the last MOST_OUTPUT_TAIL, with a line
// between them saying how much was cut.
inline constexpr std::size_t MOST_OUTPUT_HEAD = std::size_t{1} << 20;
inline constexpr std::size_t MOST_OUTPUT_TAIL = std::size_t{1} << 20;
// The descriptor a guarded child finds its record channel on (see below).
inline constexpr int RECORD_FD = 3;

// A child that cannot leave anything behind, whatever it does: it runs under
// a guard, a process of ours that is a subreaper (every process the child
// starts, in whatever session or group, becomes the guard's when its own
// parent ends), and the guard kills every one of them as soon as the child
// ends, is killed, or this process dies. The guard copies the child's
// standard output and error into their files, bounded as said above, and
// ends with the child's exit status (128 + the signal that ended it); each
// file is written under its name + ".part" and renamed once whole, or keeps
// that name if it could not be written whole. The child also gets, as
// descriptor RECORD_FD, the writing end of a pipe whose reading end this
// process keeps (record_fd), for a short record that must reach this process
// even when no file can be written; where the child was given program_bytes,
// the guard puts a line "exec same" or "exec changed" there first.
struct GuardedChild {
    pid_t guard = -1;    // -1 (errno set) if it could not be started
    int record_fd = -1;  // the reading end, non-blocking; this process closes it
};
GuardedChild start_guarded_child(const ChildSpec& child);
// Asks the guard to stop the child: SIGTERM to the child's process group.
void stop_guarded_child(pid_t guard);
// Asks the guard to kill the child and everything it started, at once.
void kill_guarded_child(pid_t guard);

// The child's exit status, or 128 + the signal that ended it, from a wait status.
int exit_status_of(int wait_status);

}  // namespace line_sim
