#include "run_files.hpp"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace sim {
namespace {

// Snapshots of the robot leaving the line, at most: a robot that weaves
// across the edge should not fill the folder.
constexpr int MOST_OFF_LINE_SNAPSHOTS = 20;
constexpr double FLUSH_PERIOD = 0.25;  // [s] of wall time between trace flushes

double wall_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string time_label(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%07.3fs", seconds);
    return text;
}

}  // namespace

nlohmann::json make_summary(const std::string& world, std::uint64_t seed, double sim_time, double wall_time,
                            const Metrics& metrics, const std::string& end_reason, std::int32_t camera_width,
                            std::int32_t camera_height) {
    return {{"world", world},
            {"seed", seed},
            {"sim_time_s", sim_time},
            {"wall_time_s", wall_time},
            {"real_time_factor", wall_time > 0 ? sim_time / wall_time : 0.0},
            {"steps", metrics.steps},
            {"laps_completed", metrics.lap_times.size()},
            {"lap_times_s", metrics.lap_times},
            {"mean_abs_lateral_error_m", metrics.mean_abs_error()},
            {"rms_lateral_error_m", metrics.rms_error()},
            {"max_abs_lateral_error_m", metrics.max_abs_error},
            {"time_off_line_s", metrics.time_off_line},
            {"end_reason", end_reason},
            {"camera_width", camera_width},
            {"camera_height", camera_height}};
}

void write_png(const std::string& path, std::int32_t width, std::int32_t height, const std::uint8_t* rgb) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // libpng reports errors by longjmp; nothing here needs unwinding past it.
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        throw std::runtime_error(path + ": cannot write the PNG image");
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::int32_t row = 0; row < height; ++row) {
        png_write_row(png, rgb + 3 * static_cast<std::size_t>(row) * static_cast<std::size_t>(width));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) throw std::runtime_error(path + ": " + std::strerror(errno));
}

RunFiles::RunFiles(std::string folder, std::vector<double> frame_times)
    : folder_(std::move(folder)), frame_times_(std::move(frame_times)) {
    std::sort(frame_times_.begin(), frame_times_.end(), std::greater<>());
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    // A run that ends before its camera is on has no frames: none of an earlier run's may stay.
    std::filesystem::remove(folder_ + "/" + FRAMES_FILE, error);
    const std::string path = folder_ + "/trace.csv";
    trace_ = std::fopen(path.c_str(), "w");
    if (trace_ == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
    const std::string header = std::string(TRACE_HEADER) + "\n";
    write(trace_, "trace.csv", header.data(), header.size());
    last_flush_ = wall_now();
}

RunFiles::~RunFiles() {
    if (trace_ != nullptr) std::fclose(trace_);
    if (frames_ != nullptr) std::fclose(frames_);
}

void RunFiles::write(std::FILE* file, const char* name, const char* bytes, std::size_t size) {
    if (std::fwrite(bytes, 1, size, file) != size) throw std::runtime_error(folder_ + "/" + name + ": " + std::strerror(errno));
}

void RunFiles::flush() {
    if (std::fflush(trace_) != 0) throw std::runtime_error(folder_ + "/trace.csv: " + std::strerror(errno));
    if (frames_ != nullptr && std::fflush(frames_) != 0) {
        throw std::runtime_error(folder_ + "/" + FRAMES_FILE + ": " + std::strerror(errno));
    }
}

void RunFiles::started(const Simulation& simulation) {
    const Camera& camera = simulation.camera();
    const std::string path = folder_ + "/" + FRAMES_FILE;
    frames_ = std::fopen(path.c_str(), "wb");
    if (frames_ == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
    encoder_.emplace(camera.width(), camera.height());
    frame_code_ = frames_header({camera.width(), camera.height(), simulation.metrics().steps});
    encoder_->encode(camera.image(), frame_code_);
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
        end = std::to_chars(end, row + sizeof row - 1, value).ptr;
    }
    *end++ = '\n';
    write(trace_, "trace.csv", row, static_cast<std::size_t>(end - row));
    if (encoder_) {
        frame_code_.clear();
        encoder_->encode(simulation.camera().image(), frame_code_);
        write(frames_, FRAMES_FILE, frame_code_.data(), frame_code_.size());
    }
    if (const double now = wall_now(); now - last_flush_ > FLUSH_PERIOD) {
        flush();
        last_flush_ = now;
    }

    if (simulation.time() >= SNAPSHOT_PERIOD * static_cast<double>(next_snapshot_)) {
        snapshot(simulation, "");
        next_snapshot_ = static_cast<std::int64_t>(std::floor(simulation.time() / SNAPSHOT_PERIOD)) + 1;
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

void RunFiles::finished(const Simulation& simulation, double wall_seconds) {
    flush();
    const WorldSettings& world = simulation.world();
    const nlohmann::json summary =
        make_summary(world.name, world.run.seed, simulation.time(), wall_seconds, simulation.metrics(),
                     end_reason_name(simulation.end_reason()), simulation.camera().width(),
                     simulation.camera().height());
    const std::string path = folder_ + "/summary.json";
    std::ofstream file(path);
    file << summary.dump(2) << "\n";
    if (!file) throw std::runtime_error(path + ": cannot be written");
}

void RunFiles::snapshot(const Simulation& simulation, const std::string& label) {
    const Camera& camera = simulation.camera();
    write_png(folder_ + "/camera-" + label + time_label(simulation.time()) + ".png", camera.width(), camera.height(),
              camera.image());
}

}  // namespace sim
