#pragma once

// A file that another process may still be writing, read as it grows: at the
// end of what is there so far, a read waits for more until told that the
// writer has ended, or until the file has its last name; only then is the
// end of the file its end. line-sim reads a run's trace and frames this way
// while the controller runs.

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

namespace line_sim {

// Set once the writer will write no more; wakes those waiting for more.
class WriterEnded {
public:
    void set();
    bool is_set() const;
    // Waits `time`, or less if set meanwhile.
    void wait(std::chrono::microseconds time) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool set_ = false;
};

class GrowingFile : public std::streambuf {
public:
    // `names`: the file's names, tried in turn until one opens (the name it is
    // written under, then the one it gets once complete, by a rename).
    // `ended` must outlive this.
    GrowingFile(std::vector<std::string> names, const WriterEnded& ended);
    ~GrowingFile() override;
    GrowingFile(const GrowingFile&) = delete;
    GrowingFile& operator=(const GrowingFile&) = delete;

    // The file could not be read as it was written (not a file, or a read
    // that failed): what was read may be short of what is there.
    bool failed() const { return failed_; }

protected:
    int_type underflow() override;

private:
    // The open file is the one under the last of its names.
    bool has_last_name() const;

    std::vector<std::string> names_;
    const WriterEnded& ended_;
    int fd_ = -1;
    bool failed_ = false;
    std::array<char, 1 << 16> buffer_{};
};

}  // namespace line_sim
