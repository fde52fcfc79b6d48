// A run's picture and replay made while it runs, from its trace and frames as they grow.

#include "live_run.hpp"

#include "file_names.hpp"
#include "files.hpp"
#include "frame_codec.hpp"
#include "quiet_thread.hpp"
#include "trajectory_svg.hpp"

namespace line_sim {
namespace {

// Rows read while the run goes at the most: every one is kept, for the
// picture (which keeps every row up to this many) and for the replay.
constexpr std::size_t MOST_LIVE_ROWS = std::min<std::size_t>(MOST_PATH_POINTS, MOST_REPLAY_STEPS);

std::vector<std::string> names_of(const std::string& path) { return {sim::part_name(path), path}; }

}  // namespace

LiveRunFiles::LiveRunFiles(std::string folder, const sim::WorldSettings& world, bool own_controller)
    : folder_(std::move(folder)),
      world_(world),
      own_controller_(own_controller),
      trace_file_(names_of(folder_ + "/" + sim::TRACE_FILE), ended_),
      frames_file_(names_of(folder_ + "/" + sim::FRAMES_FILE), ended_),
      frames_(&frames_file_) {
    thread_ = sim::quiet_thread(&LiveRunFiles::follow, this);
}

LiveRunFiles::~LiveRunFiles() { stop(); }

void LiveRunFiles::stop() {
    ended_.set();
    if (thread_.joinable()) thread_.join();
}

void LiveRunFiles::follow() {
    try {
        page_ = std::make_unique<ReplayPage>(folder_, world_, 1, frames_, own_controller_);
        sim::TraceReader trace(trace_file_);
        for (sim::TraceRow row{}; trace.next(row);) {
            if (rows_.size() == MOST_LIVE_ROWS) {
                given_up_ = true;
                break;
            }
            rows_.push_back(row);
            page_->add(row);
        }
        // Files that could not be followed are read again once the run is over.
        if (trace_file_.failed() || frames_file_.failed()) given_up_ = true;
    } catch (const std::exception&) {
        given_up_ = true;
    }
    // All that does not need the run's summary, before it is there.
    try {
        if (!given_up_) {
            const sim::Track track(world_.track);
            page_->end(track);
            picture_ = std::make_unique<PageFile>(folder_ + "/" + sim::TRAJECTORY_FILE);
            write_trajectory_svg(*picture_, world_, track, [this](const auto& take) {
                for (const sim::TraceRow& row : rows_) take(row);
            });
        }
    } catch (const std::exception&) {
        given_up_ = true;
    }
    rows_ = {};
    if (given_up_) {  // and with them the pages begun
        page_.reset();
        picture_.reset();
    }
}

bool LiveRunFiles::finish(const nlohmann::json& summary) {
    stop();
    if (given_up_) return false;
    try {
        picture_->commit();
        page_->commit(summary);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace line_sim
