// replay.html: a run to watch, its trace and frames inside the page.

#include "replay.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>

#include "camera.hpp"
#include "file_names.hpp"
#include "frame_codec.hpp"
#include "page_file.hpp"
#include "trace.hpp"
#include "track.hpp"
#include "trajectory_svg.hpp"

// tools/replay/replay.html, built in (tools/CMakeLists.txt).
extern const std::string_view REPLAY_PAGE;

namespace line_sim {
namespace {

static_assert(std::endian::native == std::endian::little, "the page reads the trace as little-endian doubles");

constexpr std::string_view DATA_MARKER = "<!--DATA-->";
// The page's own columns, not the trace's: t x y heading left right
// lateral_error left_command right_command from a simulated run's trace, then
// the command the controller set after the step's image (the next row's
// left_command and right_command), as the page's COLUMNS. A robot's page: its
// trace's columns, then the next row's left and right, as its settings'
// "columns" name them.
constexpr std::size_t SIM_COLUMNS = 9, TRACE_BLOCK = 1024;  // [steps] of the trace packed together
constexpr std::size_t SIM_COMMAND[] = {7, 8}, ROBOT_COMMAND[] = {1, 2};
constexpr double FOOTPRINT_REACH = 0.5;  // [m] ahead of the camera: the footprint's far edge at the most
constexpr double DRAWING_STEPS = 1e4;    // [1/m] the track's points are rounded to 0.1 mm, for a smaller page

double rounded(double metres) { return std::round(metres * DRAWING_STEPS) / DRAWING_STEPS; }

// What the page draws besides the steps: the world and the track (and, once
// the run is over, its summary).
nlohmann::json page_settings(const sim::WorldSettings& world, const sim::Track& track) {
    nlohmann::json strokes = nlohmann::json::array();
    for (const auto& stroke : centre_line_strokes(track)) {
        nlohmann::json& points = strokes.emplace_back(nlohmann::json::array());
        for (const sim::Vec2& p : stroke) points.insert(points.end(), {rounded(p.x), rounded(p.y)});
    }
    nlohmann::json footprint = nlohmann::json::array();
    for (const sim::Vec2& p : sim::camera_footprint(world.camera, FOOTPRINT_REACH)) footprint.push_back({p.x, p.y});
    const sim::Floor floor = sim::floor_of(world, track);
    return {{"name", world.name},
            {"line_width", world.track.line_width},
            {"closed", world.track.closed},
            // Taped corners: the line's joins mitred, not rounded.
            {"mitred", std::any_of(track.pieces().begin(), track.pieces().end(),
                                   [](const sim::Piece& piece) { return piece.mitre; })},
            {"off_line_distance", world.run.off_line_distance},
            {"wheel_radius", world.robot.wheel_radius},
            {"axle_track", world.robot.axle_track},
            {"mount_forward", world.camera.mount_forward},
            {"floor", {floor.low.x, floor.low.y, floor.high.x, floor.high.y}},
            {"grays", {world.floor.floor_gray, world.floor.line_gray, world.floor.outside_gray}},
            // A picture floor, drawn under the centre line ("" for none, or one too large for a page).
            {"picture", floor_picture_uri(world.floor)},
            {"start", {world.track.start.x, world.track.start.y}},
            {"strokes", strokes},
            {"footprint", footprint}};
}

// The trace's whole lines after the header: its rows, unless some are damaged
// (sim::TraceReader stops at the first), which leaves a stride a little long.
std::int64_t count_rows(const std::string& trace) {
    std::ifstream file(trace, std::ios::binary);
    std::int64_t lines = 0;
    char chunk[1 << 16];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) lines += std::count(chunk, chunk + file.gcount(), '\n');
    return std::max<std::int64_t>(0, lines - 1);
}

// Steps kept of a run of `rows`: every one, or every k-th (MOST_REPLAY_STEPS).
std::int64_t stride_for(std::int64_t rows) {
    return std::max<std::int64_t>(1, (rows + MOST_REPLAY_STEPS - 1) / MOST_REPLAY_STEPS);
}

}  // namespace

// The kept steps' trace rows, each with the wheel command that followed its
// camera image (the next row's command; NaN after the last): a simulated
// run's 9 doubles and 2 a step, a robot's 6 and 2,
// packed and put aside (AsideFile) while the frames go into the page: held
// in memory, they took megabytes more the longer the stride. They go in
// blocks of TRACE_BLOCK steps (the last one shorter): in each, the doubles
// column by column, as eight planes of their bytes (every double's lowest
// byte, then every double's next ...). Neighbouring values share their high
// bytes, so the planes pack a quarter smaller than the rows as they are, and
// in two thirds the time.
class ReplayPage::TracePacker {
public:
    // Rows of `columns` doubles, each packed with the next row's `command` columns after it.
    TracePacker(PageFile& page, std::int64_t stride, std::size_t columns, std::span<const std::size_t> command)
        : aside_(page),
          packed_(page, &aside_),
          stride_(stride),
          columns_(columns),
          command_(command),
          before_(columns),
          block_((columns + command.size()) * TRACE_BLOCK) {}

    void add(const double* row) {
        if (any_) pack(row);
        std::copy(row, row + columns_, before_.begin());
        any_ = true;
    }
    std::int64_t finish() {
        if (any_) pack(nullptr);
        pack_block();
        packed_.finish();
        return kept_;
    }
    // After finish().
    void copy_to(PageFile& page) { aside_.copy_to(page); }

private:
    void pack(const double* next) {
        if (rows_++ % stride_ != 0) return;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t k = 0; k < columns_; ++k) block_[k * TRACE_BLOCK + in_block_] = before_[k];
        for (std::size_t k = 0; k < command_.size(); ++k)
            block_[(columns_ + k) * TRACE_BLOCK + in_block_] = next ? next[command_[k]] : nan;
        ++kept_;
        if (++in_block_ == TRACE_BLOCK) pack_block();
    }
    void pack_block() {
        const std::size_t packed_columns = columns_ + command_.size(), n = in_block_, doubles = packed_columns * n;
        planes_.resize(8 * doubles);
        for (std::size_t k = 0; k < packed_columns; ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint8_t bytes[8];
                std::memcpy(bytes, &block_[k * TRACE_BLOCK + i], 8);
                for (std::size_t b = 0; b < 8; ++b) planes_[b * doubles + k * n + i] = bytes[b];
            }
        }
        packed_.add(planes_.data(), planes_.size());
        in_block_ = 0;
    }

    AsideFile aside_;
    PackedBytes packed_;
    std::int64_t stride_, rows_ = 0, kept_ = 0;
    std::size_t columns_;
    std::span<const std::size_t> command_;  // of the row's columns, the command
    std::vector<double> before_;
    bool any_ = false;
    std::vector<double> block_;
    std::size_t in_block_ = 0;          // rows in block_
    std::vector<std::uint8_t> planes_;  // a block, as it goes into the page
};

// The kept steps' camera frames, coded as in the frames file but each against
// the kept frame before it, without the header; the steps taken before the
// camera was on get black frames. Stops at the last whole frame of the file.
// Where every step is kept, each frame after the first kept one is coded
// against the one before it in the file too, and its code is copied as it
// stands: decoding and coding again every frame set the pace of the replay.
class ReplayPage::FramePacker {
public:
    FramePacker(PageFile& page, std::istream& file, std::string path, std::int64_t stride, sim::FramesHeader header)
        : packed_(page), file_(file), path_(std::move(path)), stride_(stride), header_(header) {}

    // The frame shown with trace row `row` (0, 1, ... in turn).
    void add(std::int64_t row) {
        if (!more_) return;
        try {
            more_ = next(row);
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            throw std::runtime_error(what.rfind(path_, 0) == 0 ? what : path_ + ": " + what);
        }
    }
    std::int64_t finish() {
        packed_.finish();
        return kept_;
    }
    const sim::FramesHeader& header() const { return header_; }

private:
    // False once the frames have run out.
    bool next(std::int64_t i) {
        if (!decoder_) {
            // An empty file (a controller killed before the first frame reached it) holds no frames.
            if (file_.peek() == std::istream::traits_type::eof()) return false;
            header_ = sim::read_frames_header(file_, path_);
            decoder_.emplace(header_.width, header_.height);
            encoder_.emplace(header_.width, header_.height);
            reader_.emplace(header_.width, header_.height);
            // Frame k of the file is the image after step first_step + k, and row i of the trace is step
            // i + 1: the first frame shows row first_step - 1, or no row when the camera came on first.
            if (header_.first_step == 0 && !decode_next()) return false;
        }
        std::string_view code;
        if (as_in_file_) {
            if (!reader_->next(file_, code)) return false;
        } else {
            if (i + 1 >= header_.first_step && !decode_next()) return false;
            if (i % stride_ != 0) return true;
            code_.clear();
            encoder_->encode(decoder_->image().data(), code_);
            code = code_;
            as_in_file_ = stride_ == 1 && i + 1 >= header_.first_step;
        }
        packed_.add(code.data(), code.size());
        ++kept_;
        return true;
    }

    // The file's next frame into decoder_; false once they have run out.
    bool decode_next() {
        std::string_view code;
        if (!reader_->next(file_, code)) return false;
        decoder_->decode(code);
        return true;
    }

    PackedBytes packed_;
    std::istream& file_;
    std::string path_;
    std::int64_t stride_, kept_ = 0;
    sim::FramesHeader header_;
    std::optional<sim::FrameDecoder> decoder_;
    std::optional<sim::FrameEncoder> encoder_;
    std::optional<sim::FrameCodeReader> reader_;  // the file's, from the header on
    std::string code_;
    bool more_ = true, as_in_file_ = false;
};

ReplayPage::ReplayPage(const std::filesystem::path& run_folder, const sim::WorldSettings& world, std::int64_t stride,
                       std::istream& frames, bool own_controller)
    : ReplayPage(run_folder, &world, stride, frames, own_controller) {}

ReplayPage::ReplayPage(const std::filesystem::path& run_folder, std::int64_t stride, std::istream& frames,
                       bool own_controller)
    : ReplayPage(run_folder, nullptr, stride, frames, own_controller) {}

ReplayPage::ReplayPage(const std::filesystem::path& run_folder, const sim::WorldSettings* world, std::int64_t stride,
                       std::istream& frames, bool own_controller)
    : stride_(stride),
      own_controller_(own_controller),
      page_(std::make_unique<PageFile>(run_folder / sim::REPLAY_FILE)) {
    page_->write(split_page(REPLAY_PAGE, DATA_MARKER).first);
    page_->write("<script id=\"frames\" type=\"application/octet-stream\">");
    // Without frames, a simulated run's page shows its camera's size in black; a robot's shows none.
    sim::FramesHeader no_frames{};
    if (world != nullptr) {
        world_ = *world;
        trace_ = std::make_unique<TracePacker>(*page_, stride, SIM_COLUMNS, SIM_COMMAND);
        no_frames = {world->camera.width, world->camera.height, 0};
    } else {
        trace_ = std::make_unique<TracePacker>(*page_, stride, sim::ROBOT_TRACE_COLUMN_COUNT, ROBOT_COMMAND);
    }
    frames_ =
        std::make_unique<FramePacker>(*page_, frames, (run_folder / sim::FRAMES_FILE).string(), stride, no_frames);
}

ReplayPage::~ReplayPage() = default;

void ReplayPage::add(const sim::TraceRow& r) {
    if (!world_) throw std::logic_error("a simulated run's trace row for a robot's replay");
    const double values[SIM_COLUMNS] = {
        r.t, r.x, r.y, r.heading, r.left, r.right, r.lateral_error, r.left_command, r.right_command};
    frames_->add(rows_++);
    trace_->add(values);
}

void ReplayPage::add(const sim::RobotTraceRow& r) {
    if (world_) throw std::logic_error("a robot's trace row for a simulated run's replay");
    const double values[] = {r.t, r.left, r.right, r.frame_age, r.late, r.overruns};
    static_assert(std::size(values) == sim::ROBOT_TRACE_COLUMN_COUNT);
    frames_->add(rows_++);
    trace_->add(values);
}

void ReplayPage::end(const sim::Track& track) {
    if (!world_) throw std::logic_error("a track for a robot's replay");
    end_data(page_settings(*world_, track));
}

void ReplayPage::end() {
    if (world_) throw std::logic_error("a simulated run's replay ended without its track");
    nlohmann::json columns = nlohmann::json::array();
    for (const sim::TraceColumn& column : sim::ROBOT_TRACE_COLUMNS) columns.push_back(column.name);
    columns.insert(columns.end(), {"next_left", "next_right"});
    end_data({{"robot", true}, {"columns", columns}});
}

void ReplayPage::end_data(nlohmann::json settings) {
    const std::int64_t frames = frames_->finish(), steps = trace_->finish();
    page_->write("</script>\n<script id=\"trace\" type=\"application/octet-stream\">");
    trace_->copy_to(*page_);
    const sim::FramesHeader& header = frames_->header();
    settings_ = std::move(settings);
    settings_.update({{"steps", steps},
                      {"frames", frames},
                      {"stride", stride_},
                      {"trace_block", TRACE_BLOCK},
                      {"run_steps", rows_},
                      {"own_controller", own_controller_},
                      {"camera_width", header.width},
                      {"camera_height", header.height},
                      {"first_frame_row", std::max<std::int64_t>(0, header.first_step - 1)}});
}

void ReplayPage::commit(const nlohmann::json& summary) {
    settings_["summary"] = summary;
    page_->write("</script>\n<script id=\"settings\" type=\"application/json\">");
    page_->write(script_json(settings_));
    page_->write("</script>\n");
    page_->write(split_page(REPLAY_PAGE, DATA_MARKER).second);
    page_->commit();
}

void write_replay(const std::filesystem::path& run_folder, const sim::WorldSettings& world,
                  const nlohmann::json& summary, bool own_controller) {
    const std::string trace_path = (run_folder / sim::TRACE_FILE).string();
    const std::int64_t rows = count_rows(trace_path);
    std::ifstream frames(run_folder / sim::FRAMES_FILE, std::ios::binary);
    ReplayPage page(run_folder, world, stride_for(rows), frames, own_controller);
    sim::TraceReader trace(trace_path);
    for (sim::TraceRow row{}; trace.next(row);) page.add(row);
    page.end(sim::Track(world.track));
    page.commit(summary);
}

void write_robot_replay(const std::filesystem::path& run_folder, const nlohmann::json& summary, bool own_controller) {
    const std::string trace_path = (run_folder / sim::TRACE_FILE).string();
    sim::RobotTraceReader trace(trace_path);
    if (!trace.is_robot_trace()) {
        throw std::runtime_error(trace_path + ": missing, or not a robot's trace (its first line is not " +
                                 sim::robot_trace_header() + ")");
    }
    std::ifstream frames(run_folder / sim::FRAMES_FILE, std::ios::binary);
    ReplayPage page(run_folder, stride_for(count_rows(trace_path)), frames, own_controller);
    for (sim::RobotTraceRow row{}; trace.next(row);) page.add(row);
    page.end();
    page.commit(summary);
}

}  // namespace line_sim
