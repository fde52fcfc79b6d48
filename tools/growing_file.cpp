// A file another process may still be writing, read as it grows.

#include "growing_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace line_sim {

void WriterEnded::set() {
    {
        const std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

bool WriterEnded::is_set() const {
    const std::lock_guard lock(mutex_);
    return set_;
}

void WriterEnded::wait(std::chrono::microseconds time) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, time, [this] { return set_; });
}

GrowingFile::GrowingFile(std::vector<std::string> names, const WriterEnded& ended)
    : names_(std::move(names)), ended_(ended) {}

GrowingFile::~GrowingFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool GrowingFile::has_last_name() const {
    struct stat open {
    }, named{};
    return names_.size() > 1 && ::fstat(fd_, &open) == 0 && ::stat(names_.back().c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

GrowingFile::int_type GrowingFile::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    // From a fraction of a millisecond (the robot writes a buffer every few
    // milliseconds at full speed) up to a few hundredths of a second (a run
    // going in real time writes a buffer a second or so).
    constexpr auto FIRST_WAIT = std::chrono::microseconds(200), LONGEST_WAIT = std::chrono::microseconds(20000);
    for (auto wait = FIRST_WAIT;; wait = std::min(2 * wait, LONGEST_WAIT)) {
        // Looked at before reading: a writer that had ended by then has written all it will.
        const bool writer_ended = ended_.is_set();
        for (std::size_t i = 0; fd_ < 0 && i < names_.size(); ++i) {
            // Not waiting in open for a writer, should a name be a pipe.
            fd_ = ::open(names_[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            struct stat status {};
            if (fd_ >= 0 && (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))) {
                ::close(fd_);
                fd_ = -1;
                failed_ = true;  // not a file the robot wrote
                return traits_type::eof();
            }
        }
        // So has one that had given the file its last name, which it does
        // once it has written all of it: the files are then complete a
        // millisecond or so before the controller's process has ended.
        const bool ended = writer_ended || (fd_ >= 0 && has_last_name());
        if (fd_ >= 0) {
            const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
            if (got > 0) {
                setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
                return traits_type::to_int_type(buffer_[0]);
            }
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                failed_ = true;
                return traits_type::eof();
            }
        }
        if (ended) return traits_type::eof();
        ended_.wait(wait);
    }
}

}  // namespace line_sim
