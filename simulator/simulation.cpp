#include "simulation.hpp"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <numbers>

#include "kinematics.hpp"

namespace sim {
namespace {

// Seeds a generator that must not start from 0 (splitmix64's finaliser).
std::uint64_t mix_seed(std::uint64_t seed) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z == 0 ? 1 : z;
}

}  // namespace

Simulation::Simulation(const WorldSettings& world)
    : world_(world),
      track_(world.track),
      floor_{{track_.min_corner().x - world.floor.margin, track_.min_corner().y - world.floor.margin},
             {track_.max_corner().x + world.floor.margin, track_.max_corner().y + world.floor.margin}},
      camera_(world.camera, world.floor),
      pose_{world.track.start.x, world.track.start.y, track_.pieces().empty() ? 0.0 : track_.pieces().front().heading},
      noise_state_(mix_seed(world.run.seed)) {}

void Simulation::enable_camera(std::int32_t period_ms) {
    period_ms_ = period_ms > 0 ? period_ms : 1;
    render();
}

void Simulation::render() { camera_.render(pose_, track_, world_.track.line_width, floor_, noise_state_); }

void Simulation::set_wheel_speeds(double left, double right) {
    // A non-finite command would poison the pose; the wheels then stand still.
    left_ = std::isfinite(left) ? left : 0.0;
    right_ = std::isfinite(right) ? right : 0.0;
}

bool Simulation::step(std::int32_t ms) {
    if (end_ != EndReason::none) return false;
    if (ms <= 0) return true;
    // The image a step leaves is the camera's last sample within it, so the
    // step is cut there (motion is exact over any interval); earlier samples
    // would never be seen, and a long step must not render each of them.
    const std::int64_t end = now_ms_ + ms;
    if (period_ms_ > 0) {
        const std::int64_t sample = end - end % period_ms_;  // [ms] the last sampling instant
        if (sample > now_ms_) {
            move(sample - now_ms_);
            render();
        }
    }
    move(end - now_ms_);
    measure(static_cast<double>(ms) / 1000.0);
    return end_ == EndReason::none;
}

void Simulation::move(std::int64_t ms) {
    if (ms <= 0) return;
    pose_ = advance(pose_, left_, right_, static_cast<double>(ms) / 1000.0, world_.robot);
    pose_.heading = std::remainder(pose_.heading, 2 * std::numbers::pi);
    now_ms_ += ms;
}

void Metrics::record(double time, double seconds, double lateral, double new_progress, double lap_length,
                     double off_line_distance) {
    ++steps;
    lateral_error = lateral;
    progress = new_progress;
    const double error = std::abs(lateral);
    abs_error_sum += error;
    square_error_sum += error * error;
    max_abs_error = std::max(max_abs_error, error);
    if (lap_length > 0 && progress >= lap_length * static_cast<double>(lap_times.size() + 1)) {
        lap_times.push_back(time - lap_started);
        lap_started = time;
    }
    // Off the line the off-line limit decides; the stall clock runs on it only.
    if (progress >= best_progress + LEAST_PROGRESS || error > off_line_distance) {
        best_progress = std::max(best_progress, progress);
        progress_time = time;
    }
    if (error > off_line_distance) {
        time_off_line += seconds;
        off_line_streak += seconds;
    } else {
        off_line_streak = 0.0;
    }
}

double Metrics::rms_error() const {
    return steps > 0 ? std::sqrt(square_error_sum / static_cast<double>(steps)) : 0.0;
}

void Simulation::measure(double seconds) {
    const TrackPoint nearest = track_.nearest({pose_.x, pose_.y}, metrics_.progress);
    // On a closed track progress moves by the change of the nearest point's
    // distance along the track, taken the short way round, so it counts laps.
    const double length = track_.length();
    double progress = nearest.distance;
    if (track_.closed()) {
        const double position = metrics_.progress - length * std::floor(metrics_.progress / length);
        progress = metrics_.progress + std::remainder(nearest.distance - position, length);
    }
    metrics_.record(time(), seconds, nearest.lateral, progress, track_.closed() ? length : 0.0,
                    world_.run.off_line_distance);

    if (!floor_.contains({pose_.x, pose_.y})) {
        end_ = EndReason::off_floor;
    } else if (metrics_.off_line_streak > world_.run.off_line_limit) {
        end_ = EndReason::off_line;
    } else if (metrics_.time_without_progress(time()) > world_.run.off_line_limit) {
        end_ = EndReason::stalled;
    } else if (time() >= world_.run.duration) {
        end_ = EndReason::duration;
    }
}

std::string Simulation::report(double wall_seconds) const {
    const Metrics& m = metrics_;
    std::ostringstream text;
    text << std::fixed << std::setprecision(3);
    text << "simulated robot, world \"" << world_.name << "\"\n"
         << "  simulated time  " << time() << " s in " << wall_seconds << " s wall time ("
         << std::setprecision(0) << (wall_seconds > 0 ? time() / wall_seconds : 0.0) << "x real time), "
         << m.steps << " steps\n" << std::setprecision(3)
         << "  laps            " << m.lap_times.size();
    for (std::size_t i = 0; i < m.lap_times.size(); ++i) text << (i == 0 ? " (" : ", ") << m.lap_times[i] << " s";
    text << (m.lap_times.empty() ? "" : ")") << "\n" << std::setprecision(2)
         << "  lateral error   mean " << 1000 * m.mean_abs_error() << " mm, RMS " << 1000 * m.rms_error()
         << " mm, max " << 1000 * m.max_abs_error << " mm\n"
         << std::setprecision(3) << "  off the line    " << m.time_off_line << " s\n"
         << "  along the line  " << m.progress << " m\n"
         << "  ended           " << end_reason_info(end_).sentence << "\n";
    return text.str();
}

}  // namespace sim
