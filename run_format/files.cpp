// Files written whole or not at all: under a temporary name, renamed once complete.

#include "files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

std::string part_name(const std::string& path) { return path + ".part"; }

void throw_file_error(const std::string& path) {
    throw FileError(path + ": cannot be written (" + std::strerror(errno) + ")");
}

std::FILE* open_part(const std::string& path) {
    const std::string part = part_name(path);
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw_file_error(path);
    std::FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        ::close(fd);
        throw_file_error(path);
    }
    return file;
}

void close_part(std::FILE* file, const std::string& path) {
    const std::string part = part_name(path);
    int error = 0;
    // A write that failed earlier leaves the error flag, and usually its errno.
    if (std::fflush(file) != 0 || std::ferror(file) != 0) error = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(part.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        std::remove(part.c_str());
        errno = error;
        throw_file_error(path);
    }
}

void write_file(const std::string& path, std::string_view text) {
    std::FILE* file = open_part(path);
    std::fwrite(text.data(), 1, text.size(), file);
    close_part(file, path);
}

}  // namespace sim
