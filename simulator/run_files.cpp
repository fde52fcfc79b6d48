#include "run_files.hpp"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

#include "run_summary.hpp"

namespace sim {
namespace {

// Snapshots of the robot leaving the line, at most: a robot that weaves
// across the edge should not fill the folder.
constexpr int MOST_OFF_LINE_SNAPSHOTS = 20;
constexpr double FLUSH_PERIOD = 0.25;  // [s] of wall time between trace flushes
constexpr std::size_t FILE_BUFFER = 1 << 16;  // [bytes] of the trace's and the frames' buffers
// A batch of steps handed to the writing thread: at most this many, or
// snapshots' images of at least this many bytes (at least one step).
constexpr std::size_t BATCH_STEPS = 64, BATCH_BYTES = 4 << 20;
// [s] a crashing controller waits for the steps handed over to be written.
constexpr auto CRASH_WAIT = std::chrono::seconds(2);
enum : std::uint8_t { SNAPSHOT_PERIODIC = 1, SNAPSHOT_OFF_LINE = 2, SNAPSHOT_FRAME = 4 };

double wall_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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
    // A camera image is a few runs of a few grays: the fastest settings
    // leave a snapshot a few hundred bytes still, at a fraction of the work.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::int32_t row = 0; row < height; ++row) {
        png_write_row(png, rgb + 3 * static_cast<std::size_t>(row) * static_cast<std::size_t>(width));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    close_part(file, path);
}

RunFiles::RunFiles(std::string folder, double duration, std::vector<double> frame_times)
    : folder_(std::move(folder)),
      duration_(duration),
      period_(snapshot_period(duration)),
      frame_times_(std::move(frame_times)),
      owner_(getpid()) {
    std::sort(frame_times_.begin(), frame_times_.end(), std::greater<>());
    trace_ = open_part(folder_ + "/trace.csv");
    // Larger buffers than stdio's 4 KiB: a write call every few hundred steps, not every fifty.
    std::setvbuf(trace_, nullptr, _IOFBF, FILE_BUFFER);
    const std::string header = std::string(TRACE_HEADER) + "\n";
    write(trace_, "trace.csv", header.data(), header.size());
    last_flush_ = last_hand_over_ = wall_now();
    try {
        writer_ = std::thread(&RunFiles::write_handed_batches, this);
    } catch (const std::system_error&) {
        // No thread to spare: the steps are written as they come.
    }
}

RunFiles::~RunFiles() {
    // A forked copy leaves the files and the thread to the process that made them.
    if (!threaded() && writer_.joinable()) {
        writer_.detach();
        return;
    }
    // Not finished (the process is ending): the steps go to the files, as far as they can.
    written();
    if (writer_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        writer_.join();
    }
    if (trace_ != nullptr) std::fclose(trace_);
    if (frames_ != nullptr) std::fclose(frames_);
}

bool RunFiles::threaded() const { return writer_.joinable() && getpid() == owner_; }

void RunFiles::write(std::FILE* file, const char* name, const char* bytes, std::size_t size) {
    if (std::fwrite(bytes, 1, size, file) != size) throw_file_error(folder_ + "/" + name);
}

void RunFiles::throw_failure() {
    if (!failed_.load(std::memory_order_acquire)) return;
    std::exception_ptr failure;
    {
        const std::lock_guard lock(mutex_);
        failure = failure_;
    }
    std::rethrow_exception(failure);
}

void RunFiles::started(const Simulation& simulation) {
    written();
    throw_failure();
    const Camera& camera = simulation.camera();
    if (width_ == 0) {
        width_ = camera.width();
        height_ = camera.height();
    }
    frames_ = open_part(folder_ + "/" + FRAMES_FILE);
    std::setvbuf(frames_, nullptr, _IOFBF, FILE_BUFFER);
    encoder_.emplace(camera.width(), camera.height());
    std::string first = frames_header({camera.width(), camera.height(), simulation.metrics().steps});
    encoder_->encode(camera.image(), first);
    write(frames_, FRAMES_FILE, first.data(), first.size());
    snapshot(simulation.time(), camera.image(), "");
}

void RunFiles::stepped(const Simulation& simulation) {
    const Pose& pose = simulation.pose();
    const Metrics& metrics = simulation.metrics();
    const double time = simulation.time();
    if (filling_.count == filling_.steps.size()) filling_.steps.emplace_back();
    Step& step = filling_.steps[filling_.count++];
    step = Step{{time, pose.x, pose.y, pose.heading, simulation.left_speed(), simulation.right_speed(),
                 metrics.lateral_error, metrics.progress},
                std::move(step.frame_code), std::move(step.image), encoder_.has_value(), 0};
    if (step.frame) {
        // Coded here, against the frame before: a copy of each image for the
        // writing thread would cost about as much as coding it.
        step.frame_code.clear();
        encoder_->encode(simulation.camera().image(), step.frame_code);
    }
    if (time >= period_ * static_cast<double>(next_snapshot_)) {
        step.snapshots |= SNAPSHOT_PERIODIC;
        next_snapshot_ = static_cast<std::int64_t>(std::floor(time / period_)) + 1;
    }
    const bool off_line = metrics.off_line_streak > 0;
    if (off_line && !was_off_line_ && off_line_snapshots_ < MOST_OFF_LINE_SNAPSHOTS) {
        step.snapshots |= SNAPSHOT_OFF_LINE;
        ++off_line_snapshots_;
    }
    was_off_line_ = off_line;
    while (!frame_times_.empty() && time >= frame_times_.back()) {
        step.snapshots |= SNAPSHOT_FRAME;
        frame_times_.pop_back();
    }
    if (step.snapshots != 0) {
        const Camera& camera = simulation.camera();
        if (width_ == 0) {  // set once, before any image reaches the writing thread
            width_ = camera.width();
            height_ = camera.height();
        }
        const std::uint8_t* image = camera.image();
        step.image.assign(image, image + 3 * static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
        filling_.image_bytes += step.image.size();
    }
    // A batch a few dozen steps long, or of a few megabytes of images, or
    // waiting a while (a run in real time): the files lag the run little.
    const double now = wall_now();
    if (filling_.count >= BATCH_STEPS || filling_.image_bytes >= BATCH_BYTES || now - last_hand_over_ > FLUSH_PERIOD) {
        hand_over();
        last_hand_over_ = now;
    }
    throw_failure();
}

void RunFiles::hand_over() {
    if (filling_.count == 0) return;
    if (!threaded()) {
        write_batch(filling_);
        return;
    }
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !handed_full_; });
        std::swap(filling_, handed_);
        handed_full_ = true;
    }
    changed_.notify_all();
}

bool RunFiles::written(std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (!threaded()) {
        write_batch(filling_);
        return true;
    }
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!deadline) {
        lock.lock();
    } else {
        // Held for moments by the writing thread, or for good by a step that crashed.
        while (!lock.try_lock()) {
            if (std::chrono::steady_clock::now() >= *deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const auto wait = [&](const auto& until) {
        if (!deadline) {
            changed_.wait(lock, until);
            return true;
        }
        return changed_.wait_until(lock, *deadline, until);
    };
    if (filling_.count > 0) {
        if (!wait([this] { return !handed_full_; })) return false;
        std::swap(filling_, handed_);
        handed_full_ = true;
        changed_.notify_all();
    }
    return wait([this] { return !handed_full_ && !writing_busy_; });
}

void RunFiles::write_handed_batches() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return handed_full_ || stopping_; });
        if (!handed_full_) return;  // stopping, with nothing left
        std::swap(handed_, writing_);
        handed_full_ = false;
        writing_busy_ = true;
        lock.unlock();
        changed_.notify_all();
        write_batch(writing_);
        lock.lock();
        writing_busy_ = false;
        changed_.notify_all();
    }
}

void RunFiles::write_batch(Batch& batch) {
    for (std::size_t i = 0; i < batch.count; ++i) {
        try {
            write_step(batch.steps[i]);
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            failed_.store(true, std::memory_order_release);
        }
    }
    batch.count = batch.image_bytes = 0;
    try {
        if (const double now = wall_now(); now - last_flush_ > FLUSH_PERIOD && !streams_failed_) {
            last_flush_ = now;
            if (std::fflush(trace_) != 0) throw_file_error(folder_ + "/trace.csv");
            if (frames_ != nullptr && std::fflush(frames_) != 0) throw_file_error(folder_ + "/" + FRAMES_FILE);
        }
    } catch (...) {
        streams_failed_ = true;
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        failed_.store(true, std::memory_order_release);
    }
}

void RunFiles::write_step(const Step& step) {
    if (!streams_failed_) {
        // Each number in its shortest form that reads back as the same double, so
        // that the trace reproduces the summary exactly.
        char row[256];
        char* end = row;
        for (const double value : step.row) {
            if (end != row) *end++ = ',';
            end = std::to_chars(end, row + sizeof row - 1, value).ptr;
        }
        *end++ = '\n';
        try {
            write(trace_, "trace.csv", row, static_cast<std::size_t>(end - row));
            if (step.frame) write(frames_, FRAMES_FILE, step.frame_code.data(), step.frame_code.size());
        } catch (...) {
            // A trace with a row missing is worse than one that stops.
            streams_failed_ = true;
            throw;
        }
    }
    const double time = step.row[0];
    if (step.snapshots & SNAPSHOT_PERIODIC) snapshot(time, step.image.data(), "");
    if (step.snapshots & SNAPSHOT_OFF_LINE) snapshot(time, step.image.data(), "off-line-");
    if (step.snapshots & SNAPSHOT_FRAME) snapshot(time, step.image.data(), "frame-");
}

void RunFiles::flush() {
    // The steps handed over, if the writing thread takes them soon; a crash
    // on that thread itself, or inside a step, flushes what is there.
    if (!writer_.joinable() || writer_.get_id() != std::this_thread::get_id()) {
        written(std::chrono::steady_clock::now() + CRASH_WAIT);
    }
    if (trace_ != nullptr) std::fflush(trace_);
    if (frames_ != nullptr) std::fflush(frames_);
}

void RunFiles::finished(const Simulation& simulation, double wall_seconds, EndReason end_reason) {
    written();
    // The summary is written even when the trace cannot be: it says why.
    std::exception_ptr failure;
    try {
        close_part(std::exchange(trace_, nullptr), folder_ + "/trace.csv");
        if (frames_ != nullptr) close_part(std::exchange(frames_, nullptr), folder_ + "/" + FRAMES_FILE);
        throw_failure();  // a snapshot, say, that could not be written
    } catch (const FileError&) {
        failure = std::current_exception();
        end_reason = EndReason::files_not_written;
    } catch (...) {
        failure = std::current_exception();
    }
    const RunSummary summary =
        summarise(simulation.world(), simulation.time(), wall_seconds, simulation.metrics(), end_reason);
    write_file(folder_ + "/summary.json", to_json(summary).dump(2) + "\n");
    if (failure) std::rethrow_exception(failure);
}

void RunFiles::snapshot(double time, const std::uint8_t* image, const std::string& label) {
    write_png(folder_ + "/" + snapshot_name(label, time, duration_), width_, height_, image);
}

}  // namespace sim
