// The motors: the robot's motion under a clamp, a lag, an acceleration limit,
// unequal wheels and slip, against closed forms and against a fine numerical
// integration of the same equations.
#include "motors.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <random>

#include "scenarios.hpp"
#include "simulation.hpp"

namespace {

constexpr double R = 0.02, B = 0.053;  // [m] the default wheel radius and axle track

// Drives the default world's robot from rest with both wheels commanded to
// `left`, `right` in steps of `ms`, checking after each step against
// `expected_x(t)` and `expected_heading(t)` and the wheel speed against `expected_speed(t)`.
void expect_motion(const sim::RobotSettings& robot, double left, double right, int ms,
                   const std::function<double(double)>& expected_x,
                   const std::function<double(double)>& expected_heading,
                   const std::function<double(double)>& expected_speed) {
    sim::WorldSettings world = sim::default_world();
    world.robot = robot;
    world.run.off_line_limit = 100;
    world.floor.margin = 10;
    sim::Simulation simulation(world);
    simulation.set_wheel_speeds(left, right);
    for (int i = 0; i < 600 / ms; ++i) {
        simulation.step(ms);
        const double t = simulation.time();
        ASSERT_NEAR(simulation.pose().x, expected_x(t), 1e-12) << "t " << t;
        ASSERT_NEAR(simulation.pose().heading, expected_heading(t), 1e-12) << "t " << t;
        ASSERT_NEAR(simulation.right_speed(), expected_speed(t), 1e-11) << "t " << t;
    }
}

const auto NONE = [](double) { return 0.0; };

class MotorClosedForms : public ::testing::TestWithParam<int> {};  // the step [ms]

TEST_P(MotorClosedForms, LagStepResponse) {
    // w(t) = c (1 - e^(-t/T)); the robot drives straight, x = r c (t - T (1 - e^(-t/T))).
    sim::RobotSettings robot;
    robot.motor_time_constant = 0.1;
    const double c = 5.0, tau = 0.1;
    expect_motion(
        robot, c, c, GetParam(), [&](double t) { return R * c * (t + tau * std::expm1(-t / tau)); }, NONE,
        [&](double t) { return -c * std::expm1(-t / tau); });
    // Spinning in place the heading follows the same form.
    expect_motion(
        robot, -c, c, GetParam(), NONE, [&](double t) { return 2 * R * c / B * (t + tau * std::expm1(-t / tau)); },
        [&](double t) { return -c * std::expm1(-t / tau); });
}

TEST_P(MotorClosedForms, ClampToTopSpeed) {
    sim::RobotSettings robot;
    robot.max_wheel_speed = 3.0;
    expect_motion(
        robot, 10.0, 10.0, GetParam(), [](double t) { return R * 3.0 * t; }, NONE, [](double) { return 3.0; });
    expect_motion(
        robot, -1e300, 1e300, GetParam(), NONE, [](double t) { return 2 * R * 3.0 / B * t; },
        [](double) { return 3.0; });
}

TEST_P(MotorClosedForms, AccelerationLimit) {
    // From rest to c at a: x = r a t^2 / 2 until c / a, then r (c t - c^2 / 2a).
    sim::RobotSettings robot;
    robot.max_wheel_acceleration = 20.0;
    const double c = 6.0, a = 20.0;
    expect_motion(
        robot, c, c, GetParam(),
        [&](double t) { return t < c / a ? R * a * t * t / 2 : R * (c * t - c * c / (2 * a)); }, NONE,
        [&](double t) { return std::min(a * t, c); });
}

TEST_P(MotorClosedForms, LagAndAccelerationLimit) {
    // The lag asks for c / T = 60 rad/s^2 at first, beyond the limit of 20:
    // a ramp until the gap is a T, at t1 = (c - a T) / a = 0.2 s, then the lag.
    sim::RobotSettings robot;
    robot.motor_time_constant = 0.1;
    robot.max_wheel_acceleration = 20.0;
    const double c = 6.0, a = 20.0, tau = 0.1, t1 = (c - a * tau) / a;
    const auto x = [&](double t) {
        if (t <= t1) return R * a * t * t / 2;
        const double s = t - t1;
        return R * (a * t1 * t1 / 2 + c * s + a * tau * tau * std::expm1(-s / tau));
    };
    const auto w = [&](double t) { return t <= t1 ? a * t : c - a * tau * std::exp(-(t - t1) / tau); };
    expect_motion(robot, c, c, GetParam(), x, NONE, w);
}

TEST_P(MotorClosedForms, UnequalWheelsDriveAnArcOfKnownRadius) {
    // Left radius r (1 + e), right r (1 - e): speed r w, turn rate -2 e r w / b,
    // a right turn on a circle of radius b / 2e about (0, -b / 2e).
    sim::RobotSettings robot;
    robot.wheel_radius_error = 0.02;
    const double w = 4.0, radius = B / (2 * 0.02);
    expect_motion(
        robot, w, w, GetParam(), [&](double t) { return radius * std::sin(R * w * t / radius); },
        [&](double t) { return -R * w * t / radius; }, [&](double) { return w; });
}

INSTANTIATE_TEST_SUITE_P(StepLengths, MotorClosedForms, ::testing::Values(1, 7, 32, 100),
                         [](const ::testing::TestParamInfo<int>& param) { return std::to_string(param.param) + "ms"; });

// The same equations integrated by RK4 in steps of 1 us, for the state
// (x, y, heading, left, right): dw/dt = clamp((c - w) / T, -a, a),
// dheading/dt = r (wr - wl) / b, dx/dt = r (wl + wr) / 2 cos(heading), ...
sim::Pose reference(sim::Pose pose, sim::WheelPair& speeds, sim::WheelPair commands, double seconds,
                    const sim::RobotSettings& robot) {
    using State = std::array<double, 5>;
    const auto rate = [&](const State& s) {
        const auto wheel = [&](double w, double c) {
            return std::clamp((c - w) / robot.motor_time_constant, -robot.max_wheel_acceleration,
                              robot.max_wheel_acceleration);
        };
        const double v = robot.wheel_radius * (s[3] + s[4]) / 2;
        return State{v * std::cos(s[2]), v * std::sin(s[2]), robot.wheel_radius * (s[4] - s[3]) / robot.axle_track,
                     wheel(s[3], commands.left), wheel(s[4], commands.right)};
    };
    const auto plus = [](State s, const State& d, double h) {
        for (std::size_t i = 0; i < s.size(); ++i) s[i] += h * d[i];
        return s;
    };
    State s{pose.x, pose.y, pose.heading, speeds.left, speeds.right};
    const int n = static_cast<int>(std::lround(seconds / 1e-6));
    const double h = seconds / n;
    for (int i = 0; i < n; ++i) {
        const State k1 = rate(s), k2 = rate(plus(s, k1, h / 2)), k3 = rate(plus(s, k2, h / 2)),
                    k4 = rate(plus(s, k3, h));
        for (std::size_t j = 0; j < s.size(); ++j) s[j] += h / 6 * (k1[j] + 2 * k2[j] + 2 * k3[j] + k4[j]);
    }
    speeds = {s[3], s[4]};
    return {s[0], s[1], s[2]};
}

TEST(MotorDrive, AgreesWithAFineNumericalIntegrationOverRandomSteps) {
    std::mt19937 random(17);
    std::uniform_real_distribution<double> command(-12, 12), lag(0.01, 0.3), limit(5, 200), seconds(0.005, 0.1);
    for (int i = 0; i < 40; ++i) {
        sim::RobotSettings robot;
        robot.motor_time_constant = lag(random);
        robot.max_wheel_acceleration = limit(random);
        sim::WheelPair speeds{command(random), command(random)}, check = speeds;
        const sim::WheelPair commands{command(random), command(random)};
        const double t = seconds(random);
        const sim::Pose start{0.1, -0.2, 0.3};
        const sim::Pose got = sim::drive(start, speeds, commands, {1, 1}, t, robot);
        const sim::Pose want = reference(start, check, commands, t, robot);
        // RK4 loses its order at the corner where a ramp meets the lag, so the reference is good to about 1e-12.
        ASSERT_NEAR(got.x, want.x, 1e-11) << i;
        ASSERT_NEAR(got.y, want.y, 1e-11) << i;
        ASSERT_NEAR(got.heading, want.heading, 1e-10) << i;
        ASSERT_NEAR(speeds.left, check.left, 1e-9) << i;
        ASSERT_NEAR(speeds.right, check.right, 1e-9) << i;
    }
}

TEST(MotorDrive, OneLongStepIsManyShortOnes) {
    sim::RobotSettings robot;
    robot.motor_time_constant = 0.05;
    robot.max_wheel_acceleration = 40;
    sim::WheelPair once{1, -2}, in_parts = once;
    const sim::WheelPair commands{9, 3}, ground{1.01, 0.98};
    const sim::Pose whole = sim::drive({}, once, commands, ground, 0.5, robot);
    sim::Pose parts;
    for (int i = 0; i < 50; ++i) parts = sim::drive(parts, in_parts, commands, ground, 0.01, robot);
    EXPECT_NEAR(whole.x, parts.x, 1e-14);
    EXPECT_NEAR(whole.y, parts.y, 1e-14);
    EXPECT_NEAR(whole.heading, parts.heading, 1e-13);
    EXPECT_NEAR(once.left, in_parts.left, 1e-12);
    // A step of a day settles and ends at the commands, in a few pieces.
    sim::drive(whole, once, commands, ground, 86'400, robot);
    EXPECT_EQ(once.left, 9.0);
    EXPECT_EQ(once.right, 3.0);
}

TEST(MotorSlip, EachStepScaledWithinTheNoiseAndRepeatableBySeed) {
    const auto run = [](std::uint64_t seed) {
        sim::WorldSettings world = sim::default_world();
        world.robot.wheel_speed_noise = 0.1;
        world.run.seed = seed;
        sim::Simulation simulation(world);
        simulation.set_wheel_speeds(4, 4);
        std::vector<double> travelled;  // [m] a step, over what an ideal wheel would drive
        for (int i = 0; i < 50; ++i) {
            const sim::Pose before = simulation.pose();
            simulation.step(32);
            travelled.push_back(std::hypot(simulation.pose().x - before.x, simulation.pose().y - before.y) /
                                (R * 4 * 0.032));
        }
        return travelled;
    };
    const std::vector<double> a = run(5);
    EXPECT_EQ(a, run(5));
    EXPECT_NE(a, run(6));
    const auto [low, high] = std::minmax_element(a.begin(), a.end());
    EXPECT_GE(*low, 0.9 - 1e-12);
    EXPECT_LE(*high, 1.1 + 1e-12);
    EXPECT_GT(*high - *low, 0.05);  // it does vary
}

}  // namespace
