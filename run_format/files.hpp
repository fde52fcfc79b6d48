#pragma once

// Writing a run's files so that each is complete or absent: written under a
// temporary name in the same folder, every write checked, then renamed over
// the final name. The rename replaces a link at the final name instead of
// writing through it, and the temporary name is never followed as a link.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

// A file that could not be written: what() is one line naming it and why.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The temporary name a file is written under until it is complete.
std::string part_name(const std::string& path);

// Opens `path`'s temporary name for writing; throws FileError.
std::FILE* open_part(const std::string& path);
// Closes a file opened by open_part, checking that everything reached it,
// and gives it its final name; throws FileError (and removes the part).
void close_part(std::FILE* file, const std::string& path);

// Writes `text` to `path` whole, or throws FileError and leaves nothing.
void write_file(const std::string& path, std::string_view text);

// "<path>: cannot be written (<reason of errno>)".
[[noreturn]] void throw_file_error(const std::string& path);

}  // namespace sim
