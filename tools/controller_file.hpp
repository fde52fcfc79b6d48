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
    // libController.so, or a Python script (its name ends in .py) with
    // PYTHON there to run it; else why it cannot be run on the simulated robot.
    std::string problem;
    bool python = false;
    // The program's own run path comes before LD_LIBRARY_PATH (an old
    // DT_RPATH), so that only LD_PRELOAD makes it load another libController.so.
    bool old_rpath = false;
    std::string sha256;  // of the file's bytes, in hex
};
ControllerFile inspect_controller(const std::string& path);

// The interpreter of Python controllers: Debian's, whatever PATH says.
inline constexpr const char* PYTHON = "/usr/bin/python3";

// A controller's file held open from the moment its hash is taken, so that
// every run executes that file (through the descriptor), whatever is put at
// its path during a sweep; and rehashed before a run should the file itself
// have been written since.
class HeldController {
public:
    // Opens `path` and inspects it through the descriptor: what the check
    // and the hash read is what runs.
    explicit HeldController(const std::string& path);
    ~HeldController();
    HeldController(const HeldController&) = delete;
    HeldController& operator=(const HeldController&) = delete;

    const ControllerFile& file() const { return file_; }
    int fd() const { return fd_; }
    // What the file held when sha256_now() last hashed it.
    const std::string& bytes() const { return bytes_; }
    // The hash of what the file holds now: the one taken before, unless it
    // has been written since (then read again).
    const std::string& sha256_now();

private:
    int fd_ = -1;
    ControllerFile file_;
    std::string bytes_;
    long long seen_[4] = {};  // size, and the times of the last change, as hashed
};

// The SHA-256 of the file's bytes, in hex; empty if it cannot be read.
std::string file_sha256(const std::string& path);
// The SHA-256 of `bytes`, in hex.
std::string sha256(std::string_view bytes);

}  // namespace line_sim
