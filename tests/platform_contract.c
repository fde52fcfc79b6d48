/* What every platform library promises a controller, checked through the
 * nine operations alone: the same program runs against each libController.so
 * the build makes (CTest puts each first on LD_LIBRARY_PATH), as the one
 * unchanged line_follower does.
 *
 *   - wb_robot_init, then the device "camera" by name (a tag that is not 0);
 *     a device of another name gives 0;
 *   - once enabled, a width and height above 0, and an image of width *
 *     height * 3 bytes (all of it read) every cycle, which stays as it is
 *     while the controller sets the wheel speeds, up to the next step;
 *   - wb_robot_step answers 0 while the run goes on, then -1, and -1 again
 *     if asked again;
 *   - wb_robot_cleanup ends it; and standard output is the controller's
 *     alone: the platform writes nothing there.
 *
 * Exit status 0, or 1 with one line on standard error naming what failed. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "robot_interface.h"

enum { MOST_STEPS = 1000000 };

static void fail(const char* what) {
    fprintf(stderr, "platform contract: %s\n", what);
    exit(1);
}

static uint64_t checksum(const unsigned char* bytes, size_t size) {
    uint64_t sum = 1469598103934665603ULL; /* FNV-1a */
    for (size_t i = 0; i < size; ++i) sum = (sum ^ bytes[i]) * 1099511628211ULL;
    return sum;
}

int main(void) {
    /* Standard output into a file of our own, to see what else writes there. */
    FILE* captured = tmpfile();
    const int real_stdout = dup(STDOUT_FILENO);
    if (captured == NULL || real_stdout < 0 || dup2(fileno(captured), STDOUT_FILENO) < 0)
        fail("cannot capture standard output");

    wb_robot_init();
    const DeviceTag camera = wb_robot_get_device("camera");
    if (camera == 0) fail("wb_robot_get_device(\"camera\") gave 0");
    if (wb_robot_get_device("no such device") != 0) fail("a device of an unknown name gave a tag");
    wb_camera_enable(camera, 32);
    const int32_t width = wb_camera_get_width(camera), height = wb_camera_get_height(camera);
    if (width <= 0 || height <= 0) fail("the camera's width or height is not above 0");
    char size_text[64];
    const int size_length = snprintf(size_text, sizeof size_text, "img size: %d x %d", (int)width, (int)height);
    printf("%s", size_text);
    fflush(stdout);

    const size_t bytes = (size_t)width * (size_t)height * 3;
    long steps = 0;
    for (;;) {
        const unsigned char* image = wb_camera_get_image(camera);
        if (image == NULL) fail("wb_camera_get_image gave no image once the camera was on");
        const uint64_t before = checksum(image, bytes);
        wb_differential_wheels_set_speed(4.0 - (double)(steps % 3), 4.0 + (double)(steps % 3));
        if (checksum(image, bytes) != before) fail("the image changed before the next step");
        const int32_t answer = wb_robot_step(32);
        if (answer == -1) break;
        if (answer != 0) fail("wb_robot_step answered other than 0 or -1");
        if (++steps == MOST_STEPS) fail("the run did not end within a million steps");
    }
    if (wb_robot_step(32) != -1) fail("wb_robot_step went on after it had answered -1");
    wb_robot_cleanup();

    fflush(stdout);
    char written[256];
    rewind(captured);
    const size_t length = fread(written, 1, sizeof written, captured);
    dup2(real_stdout, STDOUT_FILENO);
    if (length != (size_t)size_length || memcmp(written, size_text, length) != 0) {
        fail("standard output holds more than the controller's size text: the platform wrote there");
    }
    printf("%s", size_text);
    fprintf(stderr, "platform contract: kept over %ld steps, %d x %d images\n", steps, (int)width, (int)height);
    return 0;
}
