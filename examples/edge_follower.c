/* edge_follower: a line follower in plain C99, to show how to bring your own
 * controller to the simulated robot (line-sim --controller PATH).
 *
 * Its law, different from line_follower's on purpose: it looks at the middle
 * row of the image, takes as dark whatever is darker than halfway between the
 * row's darkest and lightest pixel (so it needs no fixed gray level), and
 * steers by the centre of the widest dark stretch: proportionally, and slower
 * the further the line is off centre. When the row shows no line it turns on
 * the spot towards the side where it saw the line last. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "robot_interface.h"

/* The defaults of its gains; line-sim's --set param.speed=6 (or --sweep
 * param.gain=2,3,4) gives it others as LINE_SIM_PARAM_speed and so on. */
#define CONTROL_PERIOD_MS 32
#define CRUISE_SPEED 5.0  /* [rad/s] both wheels, line centred (param.speed) */
#define STEERING_GAIN 3.0 /* [rad/s] per half image width off centre (param.gain) */
#define SEARCH_SPEED 2.0  /* [rad/s] turning on the spot to find the line (param.search_speed) */
#define LEAST_CONTRAST 40 /* [gray levels] between darkest and lightest: less is no line */
#define MOST_SPEED 1000.0 /* [rad/s] the most any of them may be */

/* The parameter in the environment variable `name`, or `fallback` where it
 * is not set; anything but a number from 0 to MOST_SPEED is refused. */
static double parameter(const char* name, double fallback) {
    const char* text = getenv(name);
    char* end = NULL;
    double value;
    if (text == NULL) return fallback;
    errno = 0;
    value = strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !(value >= 0.0 && value <= MOST_SPEED)) {
        fprintf(stderr, "edge_follower: %s=%s: expected a number from 0 to %g\n", name, text, MOST_SPEED);
        exit(2);
    }
    return value;
}

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
    const double cruise_speed = parameter("LINE_SIM_PARAM_speed", CRUISE_SPEED);
    const double steering_gain = parameter("LINE_SIM_PARAM_gain", STEERING_GAIN);
    const double search_speed = parameter("LINE_SIM_PARAM_search_speed", SEARCH_SPEED);

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
            const double speed = cruise_speed * (1.0 - 0.5 * (error < 0 ? -error : error));
            wb_differential_wheels_set_speed(speed - steering_gain * error, speed + steering_gain * error);
            last_error = error;
        } else {
            const double turn = last_error >= 0 ? search_speed : -search_speed;
            wb_differential_wheels_set_speed(-turn, turn);
        }
    } while (wb_robot_step(CONTROL_PERIOD_MS) != -1);
    wb_robot_cleanup();
    return 0;
}
