// The simulated run: its clock, how it ends, what it measures, and that the
// same world gives the same run, bit for bit.
#include "simulation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>

#include "line_tracking.hpp"
#include "motors.hpp"
#include "random.hpp"
#include "run_files.hpp"
#include "scenarios.hpp"
#include "world_file.hpp"

namespace {

// One control cycle as the controller runs it.
void drive_by_camera(sim::Simulation& simulation) {
    const sim::Camera& camera = simulation.camera();
    const line_tracking::CameraImage image{camera.width(), camera.height(), camera.image()};
    if (const auto speeds =
            line_tracking::compute_wheel_speeds(line_tracking::scan_dark_pixels(image), camera.width())) {
        simulation.set_wheel_speeds(speeds->left, speeds->right);
    }
}

TEST(SimulationClock, StepsOfZeroOrLessAdvanceNothing) {
    sim::Simulation simulation(sim::default_world());
    simulation.set_wheel_speeds(4, 4);
    EXPECT_TRUE(simulation.step(0));
    EXPECT_TRUE(simulation.step(-32));
    EXPECT_EQ(simulation.time(), 0.0);
    EXPECT_EQ(simulation.pose().x, 0.0);
    EXPECT_EQ(simulation.metrics().steps, 0);
    EXPECT_TRUE(simulation.step(32));
    EXPECT_EQ(simulation.time(), 0.032);
    EXPECT_NEAR(simulation.pose().x, 0.02 * 4 * 0.032, 1e-15);
}

TEST(SimulationClock, CameraShowsTheLineFromTheMomentItIsEnabled) {
    sim::Simulation simulation(sim::default_world());
    simulation.enable_camera(32);
    const auto& camera = simulation.camera();
    const auto scan = line_tracking::scan_dark_pixels({camera.width(), camera.height(), camera.image()});
    EXPECT_GT(scan.dark_count, 5);
    EXPECT_NEAR(scan.column_sum / scan.dark_count, 31.5, 0.5);  // straight ahead, centred
}

TEST(SimulationClock, ImageRenewedOncePerSamplingPeriod) {
    sim::Simulation simulation(sim::default_world());
    simulation.enable_camera(64);
    simulation.set_wheel_speeds(8, 0);  // turning hard: every frame differs
    std::vector<std::uint8_t> before(simulation.camera().image(), simulation.camera().image() + 64 * 48 * 3);
    simulation.step(32);  // half a period: the image stays
    EXPECT_EQ(std::memcmp(before.data(), simulation.camera().image(), before.size()), 0);
    simulation.step(32);
    EXPECT_NE(std::memcmp(before.data(), simulation.camera().image(), before.size()), 0);
}

TEST(SimulationClock, LongStepShowsItsLastSample) {
    // One step of 100 ms sampled every 32 ms shows the pose at 96 ms, as
    // three 32 ms steps and a 4 ms one do.
    sim::WorldSettings world = sim::default_world();
    world.run.duration = 100'000;  // the day's step below, whole
    sim::Simulation once(world), in_parts(world);
    for (auto* s : {&once, &in_parts}) {
        s->enable_camera(32);
        s->set_wheel_speeds(8, 1);
    }
    once.step(100);
    for (const int ms : {32, 32, 32}) in_parts.step(ms);
    EXPECT_EQ(std::memcmp(once.camera().image(), in_parts.camera().image(), 64 * 48 * 3), 0);
    in_parts.step(4);
    EXPECT_NEAR(once.pose().x, in_parts.pose().x, 1e-15);
    EXPECT_NEAR(once.pose().heading, in_parts.pose().heading, 1e-14);
}

// A long step with a 1 ms period renders once, at its last sampling
// instant, not once a millisecond: a second's step, then a whole day's.
TEST(SimulationClock, LongStepRendersOnce) {
    sim::WorldSettings world = sim::default_world();
    world.run.duration = 100'000;
    sim::Simulation every_ms(world), once_a_day(world);
    every_ms.enable_camera(1);
    once_a_day.enable_camera(86'401'000);
    for (sim::Simulation* s : {&every_ms, &once_a_day}) s->set_wheel_speeds(8, 1);
    const std::uint64_t before = every_ms.camera().renders();
    every_ms.step(1000);
    ASSERT_EQ(every_ms.camera().renders(), before + 1);
    every_ms.step(86'400'000);
    once_a_day.step(86'401'000);
    EXPECT_EQ(every_ms.camera().renders(), before + 2);
    EXPECT_EQ(every_ms.time(), 86'401.0);
    EXPECT_EQ(std::memcmp(every_ms.camera().image(), once_a_day.camera().image(), 64 * 48 * 3), 0);
}

struct Latency {
    int ms;     // [ms] of the camera's latency, sampled every 32 ms
    int noise;  // [gray levels]
};

void PrintTo(const Latency& latency, std::ostream* os) { *os << latency.ms << " ms, noise " << latency.noise; }

class CameraLatency : public ::testing::TestWithParam<Latency> {};

// The late camera hands out exactly the frame an undelayed camera took the
// latency earlier (the first frame while the latency has not yet passed).
// The undelayed robot steps where the late camera takes its frames, so the
// two move through the same instants.
TEST_P(CameraLatency, HandsOutTheFrameTakenTheLatencyBefore) {
    const Latency latency = GetParam();
    sim::WorldSettings world = sim::default_world();
    world.camera.noise = latency.noise;
    world.camera.antialias = 8;  // grays that change with the slightest motion: a frame a millisecond off shows
    sim::WorldSettings late_world = world;
    late_world.camera.latency = latency.ms / 1000.0;
    sim::Simulation late(late_world), prompt(world);
    late.enable_camera(32);
    prompt.enable_camera(latency.ms % 32 == 0 ? 32 : 1);
    const auto image = [](const sim::Simulation& s) {
        return std::vector<std::uint8_t>(s.camera().image(), s.camera().image() + 64 * 48 * 3);
    };
    std::map<std::int64_t, std::vector<std::uint8_t>> seen{{0, image(prompt)}};  // [ms] -> frame
    for (int step = 1; step <= 30; ++step) {
        for (auto* s : {&late, &prompt}) s->set_wheel_speeds(12, 3);  // turning: every frame differs
        late.step(32);
        if (latency.ms % 32 == 0) {
            prompt.step(32);
        } else {
            prompt.step(32 - latency.ms % 32);
            seen[std::lround(prompt.time() * 1000)] = image(prompt);
            prompt.step(latency.ms % 32);
        }
        seen[std::lround(prompt.time() * 1000)] = image(prompt);
        const std::int64_t taken = std::max<std::int64_t>(32 * step - latency.ms, 0);
        ASSERT_EQ(image(late), seen.at(taken)) << "step " << step;
        ASSERT_EQ(late.pose().x, prompt.pose().x);
    }
    EXPECT_NE(seen.at(0), seen.at(32 * 20));
}

INSTANTIATE_TEST_SUITE_P(Delays, CameraLatency,
                         ::testing::Values(Latency{32, 8}, Latency{96, 8}, Latency{40, 0}, Latency{8, 0},
                                           Latency{0, 8}),
                         [](const ::testing::TestParamInfo<Latency>& param) {
                             return std::to_string(param.param.ms) + "ms" + (param.param.noise > 0 ? "Noisy" : "");
                         });

TEST(SimulationEnd, DurationReached) {
    sim::WorldSettings world = sim::default_world();
    world.run.duration = 1.0;
    sim::Simulation simulation(world);
    for (int i = 0; i < 31; ++i) ASSERT_TRUE(simulation.step(32));
    EXPECT_FALSE(simulation.step(32));  // reaches 1.024 s
    EXPECT_EQ(simulation.end_reason(), sim::EndReason::duration);
    EXPECT_FALSE(simulation.step(32));
    EXPECT_EQ(simulation.time(), 1.024);
}

// No progress for the off-line limit, on the line: a robot turning on the
// spot has stalled; one that went 40 cm and then drove back along the line
// went the wrong way.
TEST(SimulationEnd, StalledAgainstTheWrongWay) {
    sim::WorldSettings world = sim::default_world();
    world.track = {0.018, false, {0, 0}, 0.0, {{5.0, 0.0, 0.0, 0.0, false}}};
    world.run.duration = 100;
    for (const double back : {0.0, -4.0}) {
        sim::Simulation simulation(world);
        simulation.set_wheel_speeds(4, 4);  // 8 cm/s
        for (int i = 0; i < 156; ++i) ASSERT_TRUE(simulation.step(32));
        if (back != 0.0)
            simulation.set_wheel_speeds(back, back);
        else
            simulation.set_wheel_speeds(2, -2);
        while (simulation.step(32)) {
        }
        EXPECT_EQ(simulation.end_reason(), back != 0.0 ? sim::EndReason::wrong_way : sim::EndReason::stalled);
        EXPECT_NEAR(simulation.time(), 5.0 + 5.0, 0.05) << back;  // the off-line limit after the turn
    }
}

TEST(SimulationEnd, OffTheLineForTooLong) {
    sim::Simulation simulation(sim::default_world());
    simulation.set_wheel_speeds(4, 4);  // straight on, past the first bend
    while (simulation.step(32)) {
    }
    EXPECT_EQ(simulation.end_reason(), sim::EndReason::off_line);
    EXPECT_GT(simulation.metrics().time_off_line, 5.0);
    EXPECT_LT(simulation.metrics().time_off_line, 5.0 + 0.033);
    EXPECT_GT(simulation.metrics().max_abs_error, 0.05);
}

TEST(SimulationEnd, OffTheFloor) {
    sim::WorldSettings world = sim::default_world();
    world.floor.margin = 0.1;
    world.run.off_line_limit = 100;
    sim::Simulation simulation(world);
    simulation.set_wheel_speeds(4, 4);
    while (simulation.step(32)) {
    }
    EXPECT_EQ(simulation.end_reason(), sim::EndReason::off_floor);
    EXPECT_GT(simulation.pose().x, 0.6 + 0.25 + 0.1);
}

TEST(SimulationCommands, NonFiniteSpeedsStopTheWheels) {
    sim::Simulation simulation(sim::default_world());
    simulation.set_wheel_speeds(NAN, INFINITY);
    simulation.step(32);
    EXPECT_EQ(simulation.pose().x, 0.0);
    EXPECT_EQ(simulation.pose().heading, 0.0);
}

// A random double of any magnitude and sign, extremes often.
double any_speed(std::uint64_t& state) {
    constexpr double EXTREMES[] = {DBL_MAX, 1e308, 1e300, 1e4, 1e4 + 1, 4.0, 1e-300, DBL_TRUE_MIN, 0.0};
    const std::uint64_t bits = sim::next_random(state);
    const double sign = bits & 1 ? -1.0 : 1.0;
    if (bits & 2) return sign * EXTREMES[(bits >> 8) % std::size(EXTREMES)];
    return sign * std::pow(10.0, 616 * (static_cast<double>(bits >> 11) * 0x1p-53) - 308);
}

// Uniform in [low, high], or log-uniform where both are positive and far apart.
double between(std::uint64_t& state, double low, double high) {
    const double u = static_cast<double>(sim::next_random(state) >> 11) * 0x1p-53;
    if (low > 0 && high / low > 100) return low * std::pow(high / low, u);
    return low + (high - low) * u;
}

// Robots anywhere within what a world file allows, each effect on or off.
sim::RobotSettings any_robot(std::uint64_t& state) {
    sim::RobotSettings robot;
    const auto on = [&state] { return (sim::next_random(state) & 1) != 0; };
    robot.wheel_radius = between(state, 1e-6, sim::MOST_WHEEL_RADIUS);
    robot.axle_track = between(state, sim::LEAST_AXLE_TRACK, sim::MOST_AXLE_TRACK);
    robot.max_wheel_speed = on() ? between(state, 1e-3, sim::MOST_WHEEL_SPEED) : 0.0;
    robot.motor_time_constant = on() ? between(state, 1e-6, 1000.0) : 0.0;
    robot.max_wheel_acceleration = on() ? between(state, 1e-300, 1e300) : 0.0;
    robot.wheel_radius_error = on() ? between(state, -0.5, 0.5) : 0.0;
    robot.wheel_speed_noise = on() ? between(state, 0.0, 0.5) : 0.0;
    return robot;
}

bool finite(const sim::Pose& pose) {
    return std::isfinite(pose.x) && std::isfinite(pose.y) && std::isfinite(pose.heading);
}

// The whole run, camera on: whatever the controller commands and however long
// its steps, the pose and every figure stay finite.
TEST(MotionStaysFinite, SimulationUnderAnyCommandsAndSteps) {
    std::uint64_t state = sim::mix_seed(11);
    for (int run = 0; run < 300; ++run) {
        sim::WorldSettings world = sim::default_world();
        world.robot = any_robot(state);
        world.run.duration = sim::MOST_DURATION;
        world.run.off_line_limit = 1e8;
        world.floor.margin = sim::MOST_MARGIN;
        sim::Simulation simulation(world);
        simulation.enable_camera(32);
        for (int step = 0; step < 20; ++step) {
            simulation.set_wheel_speeds(any_speed(state), any_speed(state));
            const auto bits = sim::next_random(state);
            const auto ms = static_cast<std::int32_t>(bits & 1 ? 32 : between(state, 1, INT32_MAX));
            const bool going_on = simulation.step(ms);
            const sim::Pose pose = simulation.pose();
            ASSERT_TRUE(finite(pose)) << "run " << run << " step " << step;
            ASSERT_LE(std::abs(pose.heading), std::numbers::pi);
            const sim::Metrics& m = simulation.metrics();
            for (const double figure :
                 {m.mean_abs_error(), m.rms_error(), m.max_abs_error, m.progress, m.lateral_error}) {
                ASSERT_TRUE(std::isfinite(figure)) << "run " << run << " step " << step;
            }
            if (!going_on) break;
        }
    }
}

// Runs that leave the floor against runs that stay on: whatever either did
// before, the first score worse on every error figure, and the step that
// leaves gains nothing along the line. Some follow the line by the camera a
// while, then are flung off it; others wander at random.
TEST(SimulationMetrics, LeavingTheFloorNeverScoresBetter) {
    std::uint64_t state = sim::mix_seed(3);
    double best_off = INFINITY, worst_on = 0.0;  // [m] of every figure
    int off = 0, on = 0;
    for (int run = 0; run < 120; ++run) {
        sim::WorldSettings world = sim::default_world();
        world.run.duration = 15;
        world.run.off_line_limit = 100;
        world.floor.margin = 0.2;
        sim::Simulation simulation(world);
        simulation.enable_camera(32);
        const int followed = static_cast<int>(sim::next_random(state) % 400);
        const double wild = between(state, 1, 40);  // [rad/s]
        double progress = 0.0;
        for (int step = 0; simulation.end_reason() == sim::EndReason::none; ++step) {
            if (run % 2 == 0) {
                if (step < followed)
                    drive_by_camera(simulation);
                else
                    simulation.set_wheel_speeds(any_speed(state), any_speed(state));
            } else {
                simulation.set_wheel_speeds(wild * sim::next_symmetric(state), wild * sim::next_symmetric(state));
            }
            progress = simulation.metrics().progress;
            simulation.step(32);
        }
        const sim::Metrics& m = simulation.metrics();
        if (simulation.end_reason() == sim::EndReason::off_floor) {
            ++off;
            best_off = std::min({best_off, m.mean_abs_error(), m.rms_error(), m.max_abs_error});
            EXPECT_EQ(m.progress, progress) << "run " << run;
        } else {
            ++on;
            worst_on = std::max({worst_on, m.mean_abs_error(), m.rms_error(), m.max_abs_error});
        }
    }
    EXPECT_GT(best_off, worst_on);
    EXPECT_GE(off, 20);
    EXPECT_GE(on, 20);
}

// Drives by the camera until the run ends.
void drive_to_the_end(sim::Simulation& simulation) {
    simulation.enable_camera(32);
    do {
        drive_by_camera(simulation);
    } while (simulation.step(32));
}

TEST(SimulationMetrics, LapsOfTheOvalFollowingTheLine) {
    sim::WorldSettings world = sim::default_world();
    world.run.duration = 75;
    sim::Simulation simulation(world);
    drive_to_the_end(simulation);
    const sim::Metrics& m = simulation.metrics();
    EXPECT_EQ(simulation.end_reason(), sim::EndReason::duration);
    ASSERT_EQ(m.lap_times.size(), 2U);
    const double length = simulation.track().length();
    EXPECT_NEAR(m.lap_times[0], length / 0.08, 2.0);  // about 8 cm/s
    EXPECT_GT(m.progress, 2 * length);
    EXPECT_LT(m.progress, 75 * 0.08 * 1.05);
    EXPECT_EQ(m.time_off_line, 0.0);
    EXPECT_LT(m.max_abs_error, 0.018);  // the axle stays over the line
    EXPECT_GT(m.abs_error_sum / static_cast<double>(m.steps), 0.0);
}

// A smooth track given as points, as people import them, is followed as its
// arc twin is: every lap, never off the line.
TEST(SimulationMetrics, LapsOfAPeanutGivenAsPoints) {
    for (sim::WorldSettings world : {sim::peanut_world(), sim::peanut_points_world(720)}) {
        world.run.duration = 100;
        sim::Simulation simulation(world);
        drive_to_the_end(simulation);
        EXPECT_EQ(simulation.end_reason(), sim::EndReason::duration) << world.name;
        EXPECT_EQ(simulation.metrics().lap_times.size(), 2U) << world.name;
        EXPECT_EQ(simulation.metrics().time_off_line, 0.0) << world.name;
        EXPECT_LT(simulation.metrics().max_abs_error, 0.02) << world.name;
    }
}

// The run of 400 steps on `world`, driven by the controller's decision: the
// hash of every pose and image up to each step, and how the run stands after
// them.
struct Trace {
    std::vector<std::uint64_t> hashes;  // after each step
    sim::EndReason end{};
};

Trace trace_of(const sim::WorldSettings& world) {
    sim::Simulation simulation(world);
    simulation.enable_camera(32);
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    const auto mix = [&hash](const void* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            hash = (hash ^ static_cast<const std::uint8_t*>(data)[i]) * 1099511628211ULL;
    };
    Trace trace;
    for (int i = 0; i < 400; ++i) {
        drive_by_camera(simulation);
        simulation.step(32);
        const sim::Pose pose = simulation.pose();
        mix(&pose, sizeof pose);
        mix(simulation.camera().image(), 64 * 48 * 3);
        trace.hashes.push_back(hash);
    }
    trace.end = simulation.end_reason();
    return trace;
}

// Runs `world` twice: the two runs must agree step by step (else the step
// where they part is named: state kept from run to run, memory read before
// it is written), and with the stored hash (else motion, rendering, noise or
// timing changed, or a compiler or machine computes differently).
Trace expect_fixed_trace(const sim::WorldSettings& world, std::uint64_t stored) {
    const Trace first = trace_of(world), second = trace_of(world);
    const auto parted = std::mismatch(first.hashes.begin(), first.hashes.end(), second.hashes.begin());
    EXPECT_TRUE(parted.first == first.hashes.end())
        << "two runs of the same world part at step " << parted.first - first.hashes.begin() + 1;
    EXPECT_EQ(first.hashes.back(), stored)
        << std::hex << "stored 0x" << stored << ", this run 0x" << first.hashes.back();
    return first;
}

// A fixed run with camera noise.
TEST(SimulationDeterminism, FixedWorldGivesFixedTrace) {
    sim::WorldSettings world = sim::winding_world(12, 5);
    world.camera.noise = 8;
    world.run.seed = 99;
    expect_fixed_trace(world, 0xb1d0aef1f3d0848cULL);
}

// The same with every effect on: the random ones follow the seed alone.
TEST(SimulationDeterminism, EveryEffectOnGivesAFixedTraceForItsSeed) {
    sim::WorldSettings world = sim::with_every_effect(sim::winding_world(12, 5));
    world.run.seed = 99;
    const Trace trace = expect_fixed_trace(world, 0x47a41c18711bc99ULL);
    EXPECT_EQ(trace.end, sim::EndReason::none);  // it still follows the line
    world.run.seed = 100;
    EXPECT_NE(trace.hashes.back(), trace_of(world).hashes.back());
}

}  // namespace

namespace {

// A day's run takes no more snapshots than a short one, and their names sort
// in time order for any duration.
TEST(RunFilesSnapshots, BoundedInNumberAndNamedInTimeOrder) {
    for (const double duration : {25.0, 120.0, 999.9, 86400.0, 1e7}) {
        const double period = sim::snapshot_period(duration);
        EXPECT_LE(duration / period, sim::MOST_SNAPSHOTS) << duration;
        std::vector<std::string> names;
        for (double t = 0; t <= duration + 0.032; t += period / 3) names.push_back(sim::snapshot_name("", t, duration));
        names.push_back(sim::snapshot_name("", duration + 0.032, duration));  // the last step may pass the duration
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << duration;
    }
    EXPECT_EQ(sim::snapshot_name("off-line-", 10.016, 120), "camera-off-line-010.016s.png");
}

}  // namespace
