#pragma once

// Where line-sim and line-robot find what they start: beside their own
// executable as installed, or in the build and source trees.

#include <filesystem>
#include <stdexcept>

namespace line_sim {

inline std::filesystem::path own_folder() { return std::filesystem::canonical("/proc/self/exe").parent_path(); }

// The Python module robot_interface: installed beside the executable, or the source tree's.
inline std::filesystem::path python_modules() {
    const std::filesystem::path installed = own_folder() / ".." / "share" / "line_follower" / "python";
    if (std::filesystem::is_regular_file(installed / "robot_interface.py"))
        return std::filesystem::canonical(installed);
    return LINE_SIM_SOURCE_PYTHON;
}

// A platform's libController.so in `subfolder` of the library folder: installed, or the build tree's.
inline std::filesystem::path platform_library(const std::filesystem::path& subfolder, const char* which) {
    for (const std::filesystem::path& dir :
         {own_folder() / ".." / LINE_SIM_INSTALL_LIBDIR, own_folder() / ".." / "lib"}) {
        if (std::filesystem::is_regular_file(dir / subfolder / "libController.so"))
            return std::filesystem::canonical(dir / subfolder / "libController.so");
    }
    throw std::runtime_error(std::string("cannot find the ") + which + "'s libController.so beside " +
                             own_folder().string());
}

// The simulated robot's library, the one a controller finds by default.
inline std::filesystem::path simulated_library() { return platform_library("", "simulated robot"); }
// The real robot's, apart in line_follower/robot/ (robot/ in the build tree).
inline std::filesystem::path robot_library() {
    try {
        return platform_library("line_follower/robot", "real robot");
    } catch (const std::runtime_error&) {
        return platform_library("robot", "real robot");
    }
}

}  // namespace line_sim
