// The robot library's nine operations over one simulated run.
//
// wb_robot_init reads the world named by LINE_SIM_WORLD (the built-in oval
// without it); an unusable world ends the process with status 2 before any
// step. wb_robot_cleanup writes the run's report to standard error, since
// standard output belongs to the controller.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

#include "robot_interface.h"
#include "simulation.hpp"
#include "world_file.hpp"

namespace {

constexpr DeviceTag CAMERA_TAG = 1;  // 0 names no device

struct Platform {
    std::unique_ptr<sim::Simulation> simulation;
    std::chrono::steady_clock::time_point started;
};

Platform platform;

sim::Simulation* camera_of(DeviceTag tag) {
    return tag == CAMERA_TAG ? platform.simulation.get() : nullptr;
}

}  // namespace

extern "C" {

void wb_robot_init(void) {
    if (platform.simulation) return;  // one run a process
    const char* path = std::getenv("LINE_SIM_WORLD");
    try {
        const sim::WorldSettings world = (path != nullptr && *path != '\0')
                                             ? sim::load_world_file(path)
                                             : sim::parse_world(sim::DEFAULT_WORLD, "(built-in oval)");
        platform.simulation = std::make_unique<sim::Simulation>(world);
    } catch (const sim::WorldError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        std::exit(2);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "world %s: too large to simulate in memory\n", path ? path : "(built-in oval)");
        std::exit(2);
    }
    platform.started = std::chrono::steady_clock::now();
}

DeviceTag wb_robot_get_device(const char* name) {
    if (name != nullptr && std::strcmp(name, "camera") == 0) return CAMERA_TAG;
    std::fprintf(stderr, "simulated robot: no device named \"%s\" (it has \"camera\")\n", name ? name : "(null)");
    return 0;
}

void wb_camera_enable(DeviceTag camera, int32_t sampling_period_ms) {
    if (sim::Simulation* s = camera_of(camera)) s->enable_camera(sampling_period_ms);
}

int32_t wb_camera_get_width(DeviceTag camera) {
    const sim::Simulation* s = camera_of(camera);
    return s ? s->camera().width() : 0;
}

int32_t wb_camera_get_height(DeviceTag camera) {
    const sim::Simulation* s = camera_of(camera);
    return s ? s->camera().height() : 0;
}

const unsigned char* wb_camera_get_image(DeviceTag camera) {
    const sim::Simulation* s = camera_of(camera);
    return s && s->camera_enabled() ? s->camera().image() : nullptr;
}

void wb_differential_wheels_set_speed(double left, double right) {
    if (platform.simulation) platform.simulation->set_wheel_speeds(left, right);
}

int32_t wb_robot_step(int32_t duration_ms) {
    if (!platform.simulation) return -1;
    return platform.simulation->step(duration_ms) ? 0 : -1;
}

void wb_robot_cleanup(void) {
    if (!platform.simulation) return;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - platform.started;
    // On a terminal the report would go on from the controller's size text, which has no line end.
    if (isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)) std::fputs("\n", stderr);
    std::fputs(platform.simulation->report(wall.count()).c_str(), stderr);
    platform.simulation.reset();
}

}  // extern "C"
