#pragma once

// One simulated run: the robot on its floor, its camera, the clock, and the
// measures of how well it follows the line.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera.hpp"
#include "end_reason.hpp"
#include "motors.hpp"
#include "settings.hpp"
#include "track.hpp"

namespace sim {

// Whether the robot, `lateral` [m] off the centre line, is off the line:
// decided here alone, for the run, its end and its pictures.
inline bool off_line(const RunSettings& run, double lateral) { return std::abs(lateral) > run.off_line_distance; }

// The floor the robot runs on: the picture, where the world has one; else
// the track and the margin round it.
Floor floor_of(const WorldSettings& world, const Track& track);

// How well a run follows the line, step by step.
struct Metrics {
    // A lap is counted each time progress passes a further `lap_length` [m]
    // (0: no laps).
    Metrics(const RunSettings& run, double lap_length) : run_(run), lap_length_(lap_length) {}

    std::int64_t steps = 0;
    double lateral_error = 0.0;     // [m] of the axle centre after the last step, positive left of the line
    double progress = 0.0;          // [m] along the track, counted through laps
    std::vector<double> lap_times;  // [s]
    double lap_started = 0.0;       // [s] when the lap under way began
    double abs_error_sum = 0.0;     // [m] over the steps
    double square_error_sum = 0.0;  // [m^2]
    double max_abs_error = 0.0;     // [m]
    double time_off_line = 0.0;     // [s] in all
    double off_line_streak = 0.0;   // [s] without a break, up to now
    double best_progress = 0.0;     // [m] the furthest progress that counted as progress
    double progress_time = 0.0;     // [s] when it was reached
    double distance_driven = 0.0;   // [m] by the axle centre, step to step in straight lines

    // Progress must grow by this much to count: a robot that turns on the spot
    // or creeps back and forth is not going anywhere.
    static constexpr double LEAST_PROGRESS = 0.01;  // [m]
    // A run that stalls this far behind its best progress went the wrong way.
    static constexpr double WRONG_WAY_DISTANCE = 0.1;  // [m]

    // Adds a step of `seconds` that ended at `time` [s] with the axle `lateral`
    // [m] off the centre line and `progress` [m] along it.
    void record(double time, double seconds, double lateral, double progress);
    // The robot has left the floor: it scores the worst a robot on the floor
    // could, every error figure at least `worst` [m], a distance from the line
    // no point of the floor reaches.
    void left_floor(double worst);
    // Adds a step of a run without a centre line: only whether the camera's
    // image, `unseen`, held no dark pixel; that is its time off the line.
    void record_unseen(double time, double seconds, bool unseen);

    // [s] on the line since progress last grew by LEAST_PROGRESS.
    double time_without_progress(double time) const { return time - progress_time; }
    double mean_abs_error() const { return steps > 0 ? abs_error_sum / static_cast<double>(steps) : 0.0; }
    double rms_error() const;

private:
    void count_off_line(bool off, double seconds);

    RunSettings run_;
    double lap_length_;  // [m]
};

class Simulation {
public:
    explicit Simulation(const WorldSettings& world);

    const WorldSettings& world() const { return world_; }
    const Track& track() const { return track_; }
    const Floor& floor() const { return floor_; }
    const Camera& camera() const { return camera_; }
    const Pose& pose() const { return pose_; }
    const Metrics& metrics() const { return metrics_; }
    // A pixel below this gray [0-255] is dark, as the controller's scan
    // takes it: on a floor without a centre line the camera seeing none is
    // the robot off the line.
    static constexpr std::uint8_t DARK_GRAY = 20;
    double time() const { return static_cast<double>(now_ms_) / 1000.0; }  // [s]
    EndReason end_reason() const { return end_; }
    double left_speed() const { return speeds_.left; }    // [rad/s] the wheel's, not its command
    double right_speed() const { return speeds_.right; }  // [rad/s]
    // [rad/s] the commands in force, as clamped by the motor driver
    double left_command() const { return commands_.left; }
    double right_command() const { return commands_.right; }

    // Switches the camera on, sampling every period_ms (at least 1 ms), and
    // renders the first image at once. A step leaves the image of the last
    // sampling instant within it, which shows the world as it was the
    // camera's latency before that instant (as it was at switching on, if
    // that was later).
    void enable_camera(std::int32_t period_ms);
    bool camera_enabled() const { return period_ms_ > 0; }

    // [rad/s] commands, held until changed. A command that is not a finite
    // number ends the run (invalid_speed) and changes nothing: it is a fault
    // of the controller, which a silent stand-in speed would hide. Returns
    // false then.
    bool set_wheel_speeds(double left, double right);

    // Advances by `ms` of simulated time. Returns false once the run is over.
    // A step of 0 or less advances nothing; MOST_STILL_STEPS of them in a row
    // end the run (clock_stopped), since a controller that steps so would
    // otherwise never end. The step that reaches the duration ends the run,
    // whole; one that would pass it by more than MOST_OVERRUN_MS is cut at
    // the duration.
    bool step(std::int32_t ms);
    static constexpr int MOST_STILL_STEPS = 1000;
    static constexpr std::int64_t MOST_OVERRUN_MS = 1000;

    // Ends the run at once, for a reason from outside the simulation (the
    // person running it asked to stop, its files cannot be written).
    void stop(EndReason reason) {
        if (end_ == EndReason::none) end_ = reason;
    }
    // A run whose files could not all be written ends so, whatever ended it
    // before: its report must not say it ended well.
    void files_not_written() { end_ = EndReason::files_not_written; }

    // The report written at the end of a run; `wall_seconds` is how long it took.
    std::string report(double wall_seconds) const;

private:
    void measure(double seconds);
    void move(std::int64_t ms);  // drives on for ms under the commands in force
    void render(const Pose& pose);
    // The camera takes the frame to be handed out at `handout_ms`: at once
    // without latency, else it keeps the pose to render it then.
    void capture(std::int64_t handout_ms);

    // A frame taken and not yet handed out: what it shows is the pose it was taken at.
    struct Capture {
        std::int64_t handout_ms = -1;
        Pose pose;
    };

    WorldSettings world_;
    Track track_;
    Floor floor_;
    Camera camera_;
    Pose pose_;
    WheelPair commands_;      // [rad/s] as the motor driver passes them on
    WheelPair speeds_;        // [rad/s] the wheels'
    WheelPair ground_{1, 1};  // ground speed over the ideal wheel's, this step
    std::int64_t now_ms_ = 0;
    std::int64_t duration_ms_;    // the first whole millisecond at or past the duration
    int still_steps_ = 0;         // steps of 0 or less in a row
    double worst_error_;          // [m] more than any point of the floor is from the line
    std::int64_t period_ms_ = 0;  // 0 while the camera is off
    std::int64_t latency_ms_;
    // Frames in flight, a ring indexed by hand-out instant / period: the
    // latency over the period, plus two, covers every one still to be shown.
    std::vector<Capture> captures_;
    std::uint64_t slip_state_;
    EndReason end_ = EndReason::none;
    Metrics metrics_;
    Vec2 measured_;           // [m] the axle centre at the last step's end
    bool sees_dark_ = false;  // the last image held a pixel below DARK_GRAY (without a centre line)
};

}  // namespace sim
