// The simulated robot's recorder: a run's trace, frames, snapshots and summary, written on a thread of its own.

#include "run_files.hpp"

#include <png.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "file_names.hpp"
#include "quiet_thread.hpp"
#include "run_summary.hpp"

namespace sim {
namespace {

// Snapshots of the robot leaving the line, at most: a robot that weaves
// across the edge should not fill the folder.
constexpr int MOST_OFF_LINE_SNAPSHOTS = 20;
constexpr double FLUSH_PERIOD = 0.25;  // [s] of wall time between trace flushes
// [bytes] of the trace's and the frames' buffers: a write every thirty or so
// steps, which line-sim's reading thread follows closely. With 64 KiB (a
// write every few hundred steps) more is left to read once the run ends, and
// a 120 s run through line-sim took 1 ms longer; with 2 KiB, 0.5 ms longer.
constexpr std::size_t FILE_BUFFER = 1 << 12;
// Steps whose rows and frames are handed to the writing thread at once: a
// wake-up of the thread every fifth of a millisecond or so of a run at full
// speed. Waking it costs the run: with 64 steps a 120 s run through line-sim
// took 0.2 to 0.3 ms longer; with 256, line-sim's reading fell behind and
// it took 0.2 to 0.5 ms longer.
constexpr std::size_t HAND_OVER_STEPS = 128;
// Steps handed over and not yet taken by the writing thread, at the most:
// a run faster than its disk waits for it, rather than filling the memory.
constexpr std::size_t MOST_WAITING_STEPS = 32 * HAND_OVER_STEPS;

}  // namespace

double snapshot_period(double duration) {
    double period = SNAPSHOT_PERIOD;
    while (duration / period > MOST_SNAPSHOTS) period *= 2;
    return period;
}

std::string snapshot_name(const std::string& label, double time, double duration) {
    int digits = 3;
    for (double d = 1000; d <= duration + 1; d *= 10) ++digits;
    char text[64];
    std::snprintf(text, sizeof text, "%0*.3fs", digits + 4, time);
    return "camera-" + label + text + ".png";
}

namespace {

// The image's rows through `png`, with the settings every PNG of a run is written with.
void encode_png(png_structp png, png_infop info, std::int32_t width, std::int32_t height, const std::uint8_t* rgb) {
    // A camera image is a few runs of a few grays: the fastest settings
    // leave a snapshot a few hundred bytes still, at a fraction of the work;
    // the least memory for matching (512 entries, not 32,768 set up for each
    // image) takes a third of the time again.
    png_set_compression_level(png, 1);
    png_set_compression_mem_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::int32_t row = 0; row < height; ++row) {
        png_write_row(png, rgb + 3 * static_cast<std::size_t>(row) * static_cast<std::size_t>(width));
    }
    png_write_end(png, nullptr);
}

// libpng's writer into a string; a failure to grow it is libpng's error, not
// an exception through its C frames.
extern "C" void append_png(png_structp png, png_bytep bytes, png_size_t size) {
    try {
        static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(bytes), size);
    } catch (const std::bad_alloc&) {
        png_error(png, "out of memory");
    }
}
extern "C" void flush_nothing(png_structp) {}

}  // namespace

void write_png(const std::string& path, std::int32_t width, std::int32_t height, const std::uint8_t* rgb) {
    std::FILE* file = open_part(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // libpng reports errors by longjmp; nothing here needs unwinding past it.
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        std::remove(part_name(path).c_str());
        throw FileError(path + ": cannot be written (libpng failed)");
    }
    png_init_io(png, file);
    encode_png(png, info, width, height, rgb);
    png_destroy_write_struct(&png, &info);
    close_part(file, path);
}

std::string png_bytes(std::int32_t width, std::int32_t height, const std::uint8_t* rgb) {
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("a camera image cannot be made a PNG (libpng failed)");
    }
    png_set_write_fn(png, &bytes, append_png, flush_nothing);
    encode_png(png, info, width, height, rgb);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

RunFiles::RunFiles(std::string folder, double duration, std::vector<double> frame_times)
    : folder_(std::move(folder)),
      duration_(duration),
      period_(snapshot_period(duration)),
      frame_times_(std::move(frame_times)) {
    std::sort(frame_times_.begin(), frame_times_.end(), std::greater<>());
    trace_ = open_part(folder_ + "/" + sim::TRACE_FILE);
    // Buffers of our own size: given none, the C library takes the file
    // system's block size, whatever size is asked for.
    trace_buffer_.resize(FILE_BUFFER);
    std::setvbuf(trace_, trace_buffer_.data(), _IOFBF, FILE_BUFFER);
    const std::string header = trace_header() + "\n";
    write(trace_, sim::TRACE_FILE, header.data(), header.size());
    last_flush_ = wall_now();
    pending_.rows.reserve(TRACE_COLUMN_COUNT * HAND_OVER_STEPS);
    try {
        writer_ = quiet_thread(&RunFiles::write_handed, this);
    } catch (...) {
        std::fclose(trace_);
        throw;
    }
    // On a processor other than the run's, where there is one: the
    // scheduler wakes a thread where its waker runs, and there the two took
    // turns, the run no faster than before while the other processor idled.
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1) {
        const int here = sched_getcpu();
        if (here >= 0) CPU_CLR(static_cast<std::size_t>(here), &cpus);
        pthread_setaffinity_np(writer_.native_handle(), sizeof cpus, &cpus);
    }
}

void RunFiles::Batch::clear() {
    rows.clear();
    frames.clear();
    snapshots.clear();
    flush = false;
}

void RunFiles::hand_over() {
    {
        std::unique_lock lock(mutex_);
        written_cv_.wait(lock,
                         [this] { return handed_.rows.size() < TRACE_COLUMN_COUNT * MOST_WAITING_STEPS || error_; });
        if (error_) throw *error_;
        if (handed_.empty()) {
            std::swap(handed_, pending_);  // pending_ takes the emptied buffers the thread gave back
        } else {
            // The thread is still at the last batch: this one waits behind it.
            handed_.rows.insert(handed_.rows.end(), pending_.rows.begin(), pending_.rows.end());
            handed_.frames += pending_.frames;
            std::move(pending_.snapshots.begin(), pending_.snapshots.end(), std::back_inserter(handed_.snapshots));
            handed_.flush = handed_.flush || pending_.flush;
        }
    }
    pending_.clear();
    handed_cv_.notify_one();
}

void RunFiles::write_handed() {
    Batch batch;
    std::unique_lock lock(mutex_);
    for (;;) {
        handed_cv_.wait(lock, [this] { return !handed_.empty() || stopping_; });
        if (handed_.empty()) return;  // stopping, and all written
        std::swap(batch, handed_);
        writing_ = true;
        const bool failed = error_.has_value();
        lock.unlock();
        std::optional<FileError> error;
        try {
            if (!failed) write_batch(batch);
        } catch (const FileError& e) {
            error = e;
        }
        batch.clear();
        lock.lock();
        if (error && !error_) error_ = std::move(error);
        writing_ = false;
        written_cv_.notify_all();
    }
}

void RunFiles::write_batch(const Batch& batch) {
    // Each number in its shortest form that reads back as the same double, so
    // that the trace reproduces the summary exactly.
    char row[32 * TRACE_COLUMN_COUNT];
    for (std::size_t i = 0; i < batch.rows.size(); i += TRACE_COLUMN_COUNT) {
        const char* end = write_trace_row(row, batch.rows.data() + i);
        write(trace_, sim::TRACE_FILE, row, static_cast<std::size_t>(end - row));
    }
    if (!batch.frames.empty()) write(frames_, FRAMES_FILE, batch.frames.data(), batch.frames.size());
    for (const Snapshot& snapshot : batch.snapshots) {
        write_png(folder_ + "/" + snapshot.name, snapshot.width, snapshot.height, snapshot.rgb.data());
    }
    if (batch.flush) {
        if (std::fflush(trace_) != 0) throw_file_error(folder_ + "/" + sim::TRACE_FILE);
        if (frames_ != nullptr && std::fflush(frames_) != 0) throw_file_error(folder_ + "/" + FRAMES_FILE);
    }
}

void RunFiles::stop_writing() noexcept {
    if (!writer_.joinable()) return;
    try {
        hand_over();
    } catch (const FileError&) {  // kept in error_
    }
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    handed_cv_.notify_one();
    writer_.join();
}

void RunFiles::write(std::FILE* file, const char* name, const char* bytes, std::size_t size) {
    if (std::fwrite(bytes, 1, size, file) != size) throw_file_error(folder_ + "/" + name);
}

RunFiles::~RunFiles() {
    stop_writing();
    if (trace_ != nullptr) std::fclose(trace_);
    if (frames_ != nullptr) std::fclose(frames_);
}

void RunFiles::started(const Simulation& simulation) {
    const Camera& camera = simulation.camera();
    frames_ = open_part(folder_ + "/" + FRAMES_FILE);
    frames_buffer_.resize(FILE_BUFFER);
    std::setvbuf(frames_, frames_buffer_.data(), _IOFBF, FILE_BUFFER);
    encoder_.emplace(camera.width(), camera.height());
    pending_.frames += frames_header({camera.width(), camera.height(), simulation.metrics().steps});
    encoder_->encode(camera.image(), pending_.frames);
    encoded_render_ = camera.renders();
    snapshot(simulation, "");
    hand_over();
}

void RunFiles::stepped(const Simulation& simulation) {
    const Pose& pose = simulation.pose();
    const Metrics& metrics = simulation.metrics();
    pending_.rows.insert(pending_.rows.end(), {simulation.time(), pose.x, pose.y, pose.heading, simulation.left_speed(),
                                               simulation.right_speed(), metrics.lateral_error, metrics.progress,
                                               simulation.left_command(), simulation.right_command()});
    if (encoder_) {
        // The rows the camera left as they were need no comparing (most of
        // them: a row's line moves a pixel every few steps), where the frame
        // encoded last is the one its last render began from.
        const Camera& camera = simulation.camera();
        const std::uint8_t* kept = camera.renders() == encoded_render_ + 1 ? camera.rows_kept() : nullptr;
        encoded_render_ = camera.renders();
        encoder_->encode(camera.image(), pending_.frames, kept);
    }
    if (const double now = wall_now(); now - last_flush_ > FLUSH_PERIOD) {
        pending_.flush = true;
        last_flush_ = now;
    }

    if (simulation.time() >= period_ * static_cast<double>(next_snapshot_)) {
        snapshot(simulation, "");
        next_snapshot_ = static_cast<std::int64_t>(std::floor(simulation.time() / period_)) + 1;
    }
    const bool off_line = metrics.off_line_streak > 0;
    if (off_line && !was_off_line_ && off_line_snapshots_ < MOST_OFF_LINE_SNAPSHOTS) {
        snapshot(simulation, "off-line-");
        ++off_line_snapshots_;
    }
    was_off_line_ = off_line;
    bool frame_saved = false;
    while (!frame_times_.empty() && simulation.time() >= frame_times_.back()) {
        if (!frame_saved) snapshot(simulation, "frame-");
        frame_saved = true;
        frame_times_.pop_back();
    }
    if (pending_.rows.size() >= TRACE_COLUMN_COUNT * HAND_OVER_STEPS || pending_.flush) hand_over();
}

void RunFiles::flush() {
    // From a signal handler, as the controller crashes: not waiting on a
    // lock its thread may hold, nor for long on the writing thread, nor for
    // itself, should the crash be its own.
    if (writer_.joinable() && std::this_thread::get_id() != writer_.get_id()) {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            lock.unlock();
            try {
                hand_over();
            } catch (const FileError&) {  // nothing more can be written
            }
            lock.lock();
            written_cv_.wait_for(lock, std::chrono::seconds(2), [this] { return handed_.empty() && !writing_; });
        }
    }
    if (trace_ != nullptr) std::fflush(trace_);
    if (frames_ != nullptr) std::fflush(frames_);
}

void RunFiles::finished(const Simulation& simulation, double wall_seconds, EndReason end_reason) {
    // The summary is written even when the trace cannot be: it says why.
    std::optional<FileError> failed;
    stop_writing();
    if (error_) {
        failed = error_;
        end_reason = EndReason::files_not_written;
    }
    try {
        close_part(std::exchange(trace_, nullptr), folder_ + "/" + sim::TRACE_FILE);
        if (frames_ != nullptr) close_part(std::exchange(frames_, nullptr), folder_ + "/" + FRAMES_FILE);
    } catch (const FileError& error) {
        if (!failed) failed = error;
        end_reason = EndReason::files_not_written;
    }
    const RunSummary summary =
        summarise(simulation.world(), simulation.time(), wall_seconds, simulation.metrics(), end_reason);
    write_file(folder_ + "/" + sim::SUMMARY_FILE, to_json(summary).dump(2) + "\n");
    if (failed) throw *failed;
}

void RunFiles::snapshot(const Simulation& simulation, const std::string& label) {
    const Camera& camera = simulation.camera();
    const std::uint8_t* image = camera.image();
    pending_.snapshots.push_back({snapshot_name(label, simulation.time(), duration_),
                                  camera.width(),
                                  camera.height(),
                                  {image, image + 3 * static_cast<std::size_t>(camera.width() * camera.height())}});
}

}  // namespace sim
