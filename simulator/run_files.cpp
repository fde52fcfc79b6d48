#include "run_files.hpp"

#include <png.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

#include "run_summary.hpp"
#include "shortest_double.hpp"

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

// [s] of wall time, to a few milliseconds: looked at every step, for a
// period of a quarter of a second, so the cheapest clock does (5 ns here,
// against 30 ns for steady_clock: 0.1 ms of a 120 s run).
double wall_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
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
    png_destroy_write_struct(&png, &info);
    close_part(file, path);
}

RunFiles::RunFiles(std::string folder, double duration, std::vector<double> frame_times)
    : folder_(std::move(folder)), duration_(duration), period_(snapshot_period(duration)), frame_times_(std::move(frame_times)) {
    std::sort(frame_times_.begin(), frame_times_.end(), std::greater<>());
    trace_ = open_part(folder_ + "/trace.csv");
    // Buffers of our own size: given none, the C library takes the file
    // system's block size, whatever size is asked for.
    trace_buffer_.resize(FILE_BUFFER);
    std::setvbuf(trace_, trace_buffer_.data(), _IOFBF, FILE_BUFFER);
    const std::string header = std::string(TRACE_HEADER) + "\n";
    write(trace_, "trace.csv", header.data(), header.size());
    last_flush_ = wall_now();
}

void RunFiles::write(std::FILE* file, const char* name, const char* bytes, std::size_t size) {
    if (std::fwrite(bytes, 1, size, file) != size) throw_file_error(folder_ + "/" + name);
}

RunFiles::~RunFiles() {
    if (trace_ != nullptr) std::fclose(trace_);
    if (frames_ != nullptr) std::fclose(frames_);
}

void RunFiles::started(const Simulation& simulation) {
    const Camera& camera = simulation.camera();
    frames_ = open_part(folder_ + "/" + FRAMES_FILE);
    frames_buffer_.resize(FILE_BUFFER);
    std::setvbuf(frames_, frames_buffer_.data(), _IOFBF, FILE_BUFFER);
    encoder_.emplace(camera.width(), camera.height());
    frame_code_ = frames_header({camera.width(), camera.height(), simulation.metrics().steps});
    encoder_->encode(camera.image(), frame_code_);
    encoded_render_ = camera.renders();
    write(frames_, FRAMES_FILE, frame_code_.data(), frame_code_.size());
    snapshot(simulation, "");
}

void RunFiles::stepped(const Simulation& simulation) {
    const Pose& pose = simulation.pose();
    const Metrics& metrics = simulation.metrics();
    // Each number in its shortest form that reads back as the same double, so
    // that the trace reproduces the summary exactly.
    char row[256];
    char* end = row;
    for (const double value : {simulation.time(), pose.x, pose.y, pose.heading, simulation.left_speed(),
                               simulation.right_speed(), metrics.lateral_error, metrics.progress}) {
        if (end != row) *end++ = ',';
        end = write_shortest(end, value);
    }
    *end++ = '\n';
    write(trace_, "trace.csv", row, static_cast<std::size_t>(end - row));
    if (encoder_) {
        // The rows the camera left as they were need no comparing (most of
        // them: a row's line moves a pixel every few steps), where the frame
        // encoded last is the one its last render began from.
        const Camera& camera = simulation.camera();
        const std::uint8_t* kept = camera.renders() == encoded_render_ + 1 ? camera.rows_kept() : nullptr;
        encoded_render_ = camera.renders();
        frame_code_.clear();
        encoder_->encode(camera.image(), frame_code_, kept);
        write(frames_, FRAMES_FILE, frame_code_.data(), frame_code_.size());
    }
    if (const double now = wall_now(); now - last_flush_ > FLUSH_PERIOD) {
        if (std::fflush(trace_) != 0) throw_file_error(folder_ + "/trace.csv");
        if (frames_ != nullptr && std::fflush(frames_) != 0) throw_file_error(folder_ + "/" + FRAMES_FILE);
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
}

void RunFiles::flush() {
    if (trace_ != nullptr) std::fflush(trace_);
    if (frames_ != nullptr) std::fflush(frames_);
}

void RunFiles::finished(const Simulation& simulation, double wall_seconds, EndReason end_reason) {
    // The summary is written even when the trace cannot be: it says why.
    std::optional<FileError> failed;
    try {
        close_part(std::exchange(trace_, nullptr), folder_ + "/trace.csv");
        if (frames_ != nullptr) close_part(std::exchange(frames_, nullptr), folder_ + "/" + FRAMES_FILE);
    } catch (const FileError& error) {
        failed = error;
        end_reason = EndReason::files_not_written;
    }
    const RunSummary summary =
        summarise(simulation.world(), simulation.time(), wall_seconds, simulation.metrics(), end_reason);
    write_file(folder_ + "/summary.json", to_json(summary).dump(2) + "\n");
    if (failed) throw *failed;
}

void RunFiles::snapshot(const Simulation& simulation, const std::string& label) {
    const Camera& camera = simulation.camera();
    write_png(folder_ + "/" + snapshot_name(label, simulation.time(), duration_), camera.width(), camera.height(),
              camera.image());
}

}  // namespace sim
