#pragma once

/* The robot library's operations that a controller calls: the connection to
 * the robot, its camera, its wheel drive and its time steps. Any platform
 * (the simulated robot, the scripted test platform, a real robot) provides
 * them in a shared library named libController.so. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A handle for one of the robot's devices, as the library hands it out. */
typedef uint16_t DeviceTag;

/* Opens the connection; called once, before any other operation. */
void wb_robot_init(void);

/* The tag of the device with this NUL-terminated name, or 0 where the
 * robot has none of that name. Every platform has one device, "camera". */
DeviceTag wb_robot_get_device(const char* name);

/* From now on the camera holds an image, renewed every sampling_period_ms. */
void wb_camera_enable(DeviceTag camera, int32_t sampling_period_ms);

/* [px] Image size, the same for the whole run. */
int32_t wb_camera_get_width(DeviceTag camera);
int32_t wb_camera_get_height(DeviceTag camera);

/* The current image: height rows of width pixels, 3 bytes a pixel, no gap
 * between rows; pixel (x, y) starts at byte 3 * (y * width + x). Owned by
 * the library, and read only: the simulated camera draws the next image over
 * it, changing only what moved. Valid at least until the next wb_robot_step
 * call; no image (NULL) before wb_camera_enable.
 *
 * Orientation: the camera is mounted turned a half turn about its axis, so
 * row 0 is the near edge of the view (closest to the robot) and column 0 is
 * the robot's right: a larger column index lies further to the robot's left,
 * and the image's left and right are mirrored against what the robot sees
 * ahead. A line to the robot's left is found at columns above width / 2. */
const unsigned char* wb_camera_get_image(DeviceTag camera);

/* Wheel speeds [rad/s], each wheel's angular speed, positive forwards: 4.0
 * on a wheel of 2 cm radius is 8 cm/s. In force until the next call. */
void wb_differential_wheels_set_speed(double left, double right);

/* Advances the robot by duration_ms [ms], then returns: 0 to go on, -1 when
 * the run is over and the controller must end (and -1 from then on). */
int32_t wb_robot_step(int32_t duration_ms);

/* Closes the connection; the last operation of a run. */
void wb_robot_cleanup(void);

#ifdef __cplusplus
}
#endif
