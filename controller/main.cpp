// The controller's whole life: open the robot library, switch the camera on,
// report the image size, then one sense-decide-act cycle per 32 ms step until
// the library answers -1.
#include <cstdint>
#include <cstdio>
#include <optional>

#include "line_tracking.hpp"
#include "robot_interface.h"

namespace {

constexpr const char* CAMERA_DEVICE_NAME = "camera";
// [ms] The camera's sampling period and the length of every step: the camera
// renews its image once per control cycle.
constexpr std::int32_t CONTROL_PERIOD_MS = 32;

}  // namespace

int main() {
    wb_robot_init();
    const DeviceTag camera = wb_robot_get_device(CAMERA_DEVICE_NAME);
    wb_camera_enable(camera, CONTROL_PERIOD_MS);
    const std::int32_t width = wb_camera_get_width(camera);
    const std::int32_t height = wb_camera_get_height(camera);
    std::printf("img size: %d x %d", width, height);
    // No line end follows, so line buffering would hold the text until exit,
    // which on a robot may be hours away.
    std::fflush(stdout);

    std::int32_t step_result = 0;
    do {
        // A missing image is seen as an image with no pixels: no scan, no command.
        const line_tracking::CameraImage image{width, height, wb_camera_get_image(camera)};
        const line_tracking::RowScan scan = line_tracking::scan_dark_pixels(image);
        if (const std::optional<line_tracking::WheelSpeeds> speeds = line_tracking::compute_wheel_speeds(scan, width)) {
            wb_differential_wheels_set_speed(speeds->left, speeds->right);
        }
        step_result = wb_robot_step(CONTROL_PERIOD_MS);
    } while (step_result != -1);

    wb_robot_cleanup();
    return 0;
}
