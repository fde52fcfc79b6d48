// One simulated run: steps of motion, the camera's sampling and latency, the metrics and the end.

#include "simulation.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <numbers>
#include <sstream>

#include "random.hpp"

namespace sim {
namespace {

// [ms] The first whole millisecond whose time [s] is at or past `duration`
// [s], as time() tells it; a duration no world file allows (beyond 30,000
// years) is taken as that.
std::int64_t duration_in_ms(double duration) {
    constexpr std::int64_t MOST = 1'000'000'000'000'000;
    auto whole = static_cast<std::int64_t>(std::min(std::ceil(duration * 1000), static_cast<double>(MOST)));
    while (whole > 0 && static_cast<double>(whole - 1) / 1000.0 >= duration) --whole;
    while (whole < MOST && static_cast<double>(whole) / 1000.0 < duration) ++whole;
    return whole;
}

// Told apart from the camera noise's seed, so that the slip of the wheels
// does not repeat the camera's noise.
constexpr std::uint64_t SLIP_STREAM = 0x5D1F0A7C3B92E461ULL;

}  // namespace

Floor floor_of(const WorldSettings& world, const Track& track) {
    if (const Picture* picture = world.floor.picture.get()) return {picture->low, picture->high(), picture};
    const double margin = world.floor.margin;
    return {{track.min_corner().x - margin, track.min_corner().y - margin},
            {track.max_corner().x + margin, track.max_corner().y + margin}};
}

Simulation::Simulation(const WorldSettings& world)
    : world_(world),
      track_(world.track),
      floor_(floor_of(world, track_)),
      camera_(world.camera, world.floor, track_, world.track.line_width, floor_, world.run.seed),
      pose_{world.track.start.x, world.track.start.y,
            track_.pieces().empty() ? world.track.heading : track_.pieces().front().heading},
      duration_ms_(duration_in_ms(world.run.duration)),
      // Twice the floor's diagonal: no rounding brings a point of the floor that far from the line.
      worst_error_(2 * std::hypot(floor_.high.x - floor_.low.x, floor_.high.y - floor_.low.y)),
      latency_ms_(std::llround(world.camera.latency * 1000)),
      slip_state_(mix_seed(world.run.seed ^ SLIP_STREAM)),
      metrics_(world.run, track_.closed() ? track_.length() : 0.0),
      measured_(world.track.start) {}

void Simulation::enable_camera(std::int32_t period_ms) {
    period_ms_ = period_ms > 0 ? period_ms : 1;
    // Frames due before the latency has passed were taken before the camera
    // was on; they show the first frame, which the ring leaves in place.
    captures_.assign(latency_ms_ > 0 ? static_cast<std::size_t>(latency_ms_ / period_ms_ + 2) : 0, Capture{});
    render(pose_);
}

void Simulation::render(const Pose& pose) {
    camera_.render(pose);
    if (!world_.track.has_centre_line()) {
        const std::uint8_t* image = camera_.image();
        const std::size_t bytes =
            3 * static_cast<std::size_t>(camera_.width()) * static_cast<std::size_t>(camera_.height());
        sees_dark_ = std::any_of(image, image + bytes, [](std::uint8_t level) { return level < DARK_GRAY; });
    }
}

void Simulation::capture(std::int64_t handout_ms) {
    if (captures_.empty()) {
        render(pose_);
        return;
    }
    captures_[static_cast<std::size_t>(handout_ms / period_ms_) % captures_.size()] = {handout_ms, pose_};
}

bool Simulation::set_wheel_speeds(double left, double right) {
    if (!std::isfinite(left) || !std::isfinite(right)) {
        stop(EndReason::invalid_speed);
        return false;
    }
    commands_.left = clamp_command(left, world_.robot);
    commands_.right = clamp_command(right, world_.robot);
    return true;
}

bool Simulation::step(std::int32_t ms) {
    if (end_ != EndReason::none) return false;
    if (ms <= 0) {
        if (++still_steps_ >= MOST_STILL_STEPS) end_ = EndReason::clock_stopped;
        return end_ == EndReason::none;
    }
    still_steps_ = 0;
    const RobotSettings& robot = world_.robot;
    ground_ = {1 + robot.wheel_radius_error, 1 - robot.wheel_radius_error};
    if (robot.wheel_speed_noise > 0) {
        ground_.left *= 1 + robot.wheel_speed_noise * next_symmetric(slip_state_);
        ground_.right *= 1 + robot.wheel_speed_noise * next_symmetric(slip_state_);
    }
    // The image a step leaves is the one handed out at the camera's last
    // sampling instant within it; it was taken the latency earlier, so the
    // step is cut there (motion is exact over any interval). Frames to be
    // handed out later may be taken within this step too; frames handed out
    // earlier in it would never be seen, and a long step must not render
    // each of them.
    // A step cut at the duration still advances: a run under way is short of it.
    const std::int64_t start = now_ms_,
                       end = now_ms_ + ms > duration_ms_ + MOST_OVERRUN_MS ? duration_ms_ : now_ms_ + ms;
    if (period_ms_ > 0) {
        const std::int64_t shown = end - end % period_ms_;  // [ms] the last sampling instant
        // Every later hand-out instant lies after the step's end.
        for (std::int64_t handout = shown > start ? shown : shown + period_ms_; handout - latency_ms_ <= end;
             handout += period_ms_) {
            const std::int64_t taken = handout - latency_ms_;
            if (taken <= start) continue;  // taken in an earlier step, or before the camera was on
            move(taken - now_ms_);
            capture(handout);
        }
        if (shown > start && !captures_.empty()) {
            const Capture& frame = captures_[static_cast<std::size_t>(shown / period_ms_) % captures_.size()];
            if (frame.handout_ms == shown) render(frame.pose);
        }
    }
    move(end - now_ms_);
    measure(static_cast<double>(end - start) / 1000.0);
    return end_ == EndReason::none;
}

void Simulation::move(std::int64_t ms) {
    if (ms <= 0) return;
    pose_ = drive(pose_, speeds_, commands_, ground_, static_cast<double>(ms) / 1000.0, world_.robot);
    pose_.heading = std::remainder(pose_.heading, 2 * std::numbers::pi);
    now_ms_ += ms;
}

void Metrics::record(double time, double seconds, double lateral, double new_progress) {
    ++steps;
    lateral_error = lateral;
    progress = new_progress;
    const double error = std::abs(lateral);
    abs_error_sum += error;
    square_error_sum += error * error;
    max_abs_error = std::max(max_abs_error, error);
    if (lap_length_ > 0 && progress >= lap_length_ * static_cast<double>(lap_times.size() + 1)) {
        lap_times.push_back(time - lap_started);
        lap_started = time;
    }
    // Off the line the off-line limit decides; the stall clock runs on it only.
    const bool off = off_line(run_, lateral);
    if (progress >= best_progress + LEAST_PROGRESS || off) {
        best_progress = std::max(best_progress, progress);
        progress_time = time;
    }
    count_off_line(off, seconds);
}

void Metrics::record_unseen(double time, double seconds, bool unseen) {
    ++steps;
    lateral_error = progress = std::numeric_limits<double>::quiet_NaN();  // not given
    progress_time = time;
    count_off_line(unseen, seconds);
}

void Metrics::count_off_line(bool off, double seconds) {
    if (off) {
        time_off_line += seconds;
        off_line_streak += seconds;
    } else {
        off_line_streak = 0.0;
    }
}

void Metrics::left_floor(double worst) {
    const double n = static_cast<double>(steps);
    abs_error_sum = std::max(abs_error_sum, worst * n);
    square_error_sum = std::max(square_error_sum, worst * worst * n);
    max_abs_error = std::max(max_abs_error, worst);
}

double Metrics::rms_error() const { return steps > 0 ? std::sqrt(square_error_sum / static_cast<double>(steps)) : 0.0; }

void Simulation::measure(double seconds) {
    const bool on_floor = floor_.contains({pose_.x, pose_.y});
    const double dx = pose_.x - measured_.x, dy = pose_.y - measured_.y;  // [m] squared far below overflow
    metrics_.distance_driven += std::sqrt(dx * dx + dy * dy);
    measured_ = {pose_.x, pose_.y};
    if (!world_.track.has_centre_line()) {
        // No centre line: off the line is the camera seeing nothing dark. A
        // controller that never switched it on (one that steers blind) has it
        // over the floor all the same: what it would see here decides.
        if (!camera_enabled()) render(pose_);
        metrics_.record_unseen(time(), seconds, !sees_dark_);
        if (!on_floor) {
            end_ = EndReason::off_floor;
        } else if (metrics_.off_line_streak > world_.run.off_line_limit) {
            end_ = EndReason::off_line;
        } else if (time() >= world_.run.duration) {
            end_ = EndReason::duration;
        }
        return;
    }
    const TrackPoint nearest = track_.nearest({pose_.x, pose_.y}, metrics_.progress);
    // On a closed track progress moves by the change of the nearest point's
    // distance along the track, taken the short way round, so it counts laps.
    const double length = track_.length();
    double progress = nearest.distance;
    if (track_.closed()) {
        const double position = metrics_.progress - length * std::floor(metrics_.progress / length);
        progress = metrics_.progress + std::remainder(nearest.distance - position, length);
    }
    // Off the floor the robot makes no progress: a flight across the floor
    // must not count laps.
    metrics_.record(time(), seconds, nearest.lateral, on_floor ? progress : metrics_.progress);

    if (!on_floor) {
        metrics_.left_floor(worst_error_);
        end_ = EndReason::off_floor;
    } else if (metrics_.off_line_streak > world_.run.off_line_limit) {
        end_ = EndReason::off_line;
    } else if (metrics_.time_without_progress(time()) > world_.run.off_line_limit) {
        // Turning on the spot and driving the line backwards both make no
        // progress: the second has lost ground since its best.
        end_ = metrics_.progress < metrics_.best_progress - Metrics::WRONG_WAY_DISTANCE ? EndReason::wrong_way
                                                                                        : EndReason::stalled;
    } else if (time() >= world_.run.duration) {
        end_ = EndReason::duration;
    }
}

std::string Simulation::report(double wall_seconds) const {
    const Metrics& m = metrics_;
    std::ostringstream text;
    text << std::fixed << std::setprecision(3);
    text << "simulated robot, world \"" << world_.name << "\"\n"
         << "  simulated time  " << time() << " s in " << wall_seconds << " s wall time (" << std::setprecision(0)
         << (wall_seconds > 0 ? time() / wall_seconds : 0.0) << "x real time), " << m.steps << " steps\n"
         << std::setprecision(3);
    if (!world_.track.has_centre_line()) {
        text << "  laps            not given: the world has no centre line\n"
             << "  lateral error   not given: the world has no centre line\n"
             << "  off the line    " << m.time_off_line << " s (no dark pixel in the camera's view)\n"
             << "  along the line  not given: the world has no centre line\n";
    } else {
        text << "  laps            " << m.lap_times.size();
        for (std::size_t i = 0; i < m.lap_times.size(); ++i) text << (i == 0 ? " (" : ", ") << m.lap_times[i] << " s";
        text << (m.lap_times.empty() ? "" : ")") << "\n"
             << std::setprecision(2) << "  lateral error   mean " << 1000 * m.mean_abs_error() << " mm, RMS "
             << 1000 * m.rms_error() << " mm, max " << 1000 * m.max_abs_error << " mm\n"
             << std::setprecision(3) << "  off the line    " << m.time_off_line << " s\n"
             << "  along the line  " << m.progress << " m\n";
    }
    text << "  driven          " << m.distance_driven << " m\n"
         << "  ended           " << end_reason_info(end_).sentence << "\n";
    return text.str();
}

}  // namespace sim
