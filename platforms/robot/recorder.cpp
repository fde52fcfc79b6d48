// A real robot's run files.

#include "recorder.hpp"

#include "file_names.hpp"
#include "files.hpp"

namespace robot {

Recorder::Recorder(const std::string& folder, std::int32_t width, std::int32_t height, bool frames)
    : folder_(folder), encoder_(width, height) {
    trace_ = sim::open_part(folder + "/" + sim::TRACE_FILE);
    trace_text_ = sim::robot_trace_header() + "\n";
    if (frames) {
        frames_ = sim::open_part(folder + "/" + sim::FRAMES_FILE);
        frame_codes_ = sim::frames_header({width, height, 0});
    }
}

Recorder::~Recorder() {
    // Left under their temporary names: a run that did not finish.
    if (trace_ != nullptr) std::fclose(trace_);
    if (frames_ != nullptr) std::fclose(frames_);
}

void Recorder::frame(const std::uint8_t* rgb) {
    if (frames_ != nullptr) encoder_.encode(rgb, frame_codes_);
}

void Recorder::row(const sim::RobotTraceRow& row) {
    const std::size_t at = trace_text_.size();
    trace_text_.resize(at + 32 * sim::ROBOT_TRACE_COLUMN_COUNT);
    trace_text_.resize(
        static_cast<std::size_t>(sim::write_robot_trace_row(trace_text_.data() + at, row) - trace_text_.data()));
    if (++held_ >= RECORD_BATCH) flush();
}

void Recorder::flush() {
    const auto hand = [this](std::FILE* file, std::string& bytes, const char* name) {
        if (file == nullptr || bytes.empty()) return;
        if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fflush(file) != 0)
            sim::throw_file_error(folder_ + "/" + name);
        bytes.clear();
    };
    held_ = 0;
    hand(trace_, trace_text_, sim::TRACE_FILE);
    hand(frames_, frame_codes_, sim::FRAMES_FILE);
}

void Recorder::finish(const sim::RobotSummary& summary) {
    flush();
    std::FILE* trace = trace_;
    std::FILE* frames = frames_;
    trace_ = frames_ = nullptr;
    sim::close_part(trace, folder_ + "/" + sim::TRACE_FILE);
    if (frames != nullptr) sim::close_part(frames, folder_ + "/" + sim::FRAMES_FILE);
    sim::write_file(folder_ + "/" + sim::SUMMARY_FILE, sim::to_json(summary).dump(2) + "\n");
}

}  // namespace robot
