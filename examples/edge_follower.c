/* edge_follower: a line follower in plain C99, to show how to bring your own
 * controller to the simulated robot (line-sim --controller PATH).
 *
 * Its law, different from line_follower's on purpose: it looks at the middle
 * row of the image, takes as dark whatever is darker than halfway between the
 * row's darkest and lightest pixel (so it needs no fixed gray level), and
 * steers by the centre of the widest dark stretch: proportionally, and slower
 * the further the line is off centre. When the row shows no line it turns on
 * the spot towards the side where it saw the line last. */
#include <stdio.h>

#include "robot_interface.h"

#define CONTROL_PERIOD_MS 32
#define CRUISE_SPEED 5.0  /* [rad/s] both wheels, line centred */
#define STEERING_GAIN 3.0 /* [rad/s] per half image width off centre */
#define SEARCH_SPEED 2.0  /* [rad/s] turning on the spot to find the line */
#define LEAST_CONTRAST 40 /* [gray levels] between darkest and lightest: less is no line */

/* The centre column of the widest dark stretch of one row, or -1 if none. */
static double line_centre(const unsigned char* row, int width) {
    int darkest = 255, lightest = 0, x;
    for (x = 0; x < width; ++x) {
        const int gray = (row[3 * x] + row[3 * x + 1] + row[3 * x + 2]) / 3;
        if (gray < darkest) darkest = gray;
        if (gray > lightest) lightest = gray;
    }
    if (lightest - darkest < LEAST_CONTRAST) return -1.0;
    {
        const int threshold = (darkest + lightest) / 2;
        int best_start = -1, best_length = 0, start = -1;
        for (x = 0; x <= width; ++x) {
            const int dark = x < width && (row[3 * x] + row[3 * x + 1] + row[3 * x + 2]) / 3 < threshold;
            if (dark && start < 0) start = x;
            if (!dark && start >= 0) {
                if (x - start > best_length) {
                    best_start = start;
                    best_length = x - start;
                }
                start = -1;
            }
        }
        return best_start < 0 ? -1.0 : best_start + (best_length - 1) / 2.0;
    }
}

int main(void) {
    DeviceTag camera;
    int width, height;
    double last_error = 0.0; /* [half widths] where the line was last seen, positive to the robot's left */

    wb_robot_init();
    camera = wb_robot_get_device("camera");
    wb_camera_enable(camera, CONTROL_PERIOD_MS);
    width = wb_camera_get_width(camera);
    height = wb_camera_get_height(camera);
    printf("edge_follower: %d x %d\n", width, height);
    do {
        const unsigned char* image = wb_camera_get_image(camera);
        const double centre = image != NULL && width > 1 && height > 0
                                  ? line_centre(image + 3 * (size_t)width * (size_t)(height / 2), width)
                                  : -1.0;
        if (centre >= 0.0) {
            /* A larger column lies further to the robot's left. */
            const double half = (width - 1) / 2.0;
            const double error = (centre - half) / half;
            const double speed = CRUISE_SPEED * (1.0 - 0.5 * (error < 0 ? -error : error));
            wb_differential_wheels_set_speed(speed - STEERING_GAIN * error, speed + STEERING_GAIN * error);
            last_error = error;
        } else {
            const double turn = last_error >= 0 ? SEARCH_SPEED : -SEARCH_SPEED;
            wb_differential_wheels_set_speed(-turn, turn);
        }
    } while (wb_robot_step(CONTROL_PERIOD_MS) != -1);
    wb_robot_cleanup();
    return 0;
}
