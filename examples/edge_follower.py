#!/usr/bin/python3
"""edge_follower.py: examples/edge_follower.c in Python, line for line, to run
with line-sim --controller examples/edge_follower.py. Its gains are
parameters, as the C one's: --set param.gain=4, --sweep param.speed=3,5.

It looks at the middle row of the image, takes as dark whatever is darker
than halfway between the row's darkest and lightest pixel, and steers by
the centre of the widest dark stretch: proportionally, and slower the
further the line is off centre. When the row shows no line it turns on the
spot towards the side where it saw the line last.
"""
from robot_interface import *

CONTROL_PERIOD_MS = 32
MOST_SPEED = 1000.0  # [rad/s] the most any of the three below may be
CRUISE_SPEED = parameter("speed", 5.0, 0, MOST_SPEED)  # [rad/s] both wheels, line centred
STEERING_GAIN = parameter("gain", 3.0, 0, MOST_SPEED)  # [rad/s] per half image width off centre
SEARCH_SPEED = parameter("search_speed", 2.0, 0, MOST_SPEED)  # [rad/s] turning on the spot to find the line
LEAST_CONTRAST = 40  # [gray levels] between darkest and lightest: less is no line


def line_centre(row):
    """The centre column of the widest dark stretch of one row (3 bytes a
    pixel), or -1 if none."""
    grays = [(row[i] + row[i + 1] + row[i + 2]) // 3 for i in range(0, len(row), 3)]
    darkest, lightest = min(grays), max(grays)
    if lightest - darkest < LEAST_CONTRAST:
        return -1.0
    threshold = (darkest + lightest) // 2
    best_start, best_length, start = -1, 0, -1
    for x, gray in enumerate(grays + [255]):
        dark = x < len(grays) and gray < threshold
        if dark and start < 0:
            start = x
        if not dark and start >= 0:
            if x - start > best_length:
                best_start, best_length = start, x - start
            start = -1
    return -1.0 if best_start < 0 else best_start + (best_length - 1) / 2


def main():
    wb_robot_init()
    camera = wb_robot_get_device("camera")
    wb_camera_enable(camera, CONTROL_PERIOD_MS)
    width, height = wb_camera_get_width(camera), wb_camera_get_height(camera)
    print(f"edge_follower.py: {width} x {height}")
    last_error = 0.0  # [half widths] where the line was last seen, positive to the robot's left
    while True:
        image = wb_camera_get_image(camera)
        middle = 3 * width * (height // 2)
        centre = line_centre(image[middle:middle + 3 * width]) if image is not None and width > 1 and height > 0 else -1.0
        if centre >= 0:
            # A larger column lies further to the robot's left.
            half = (width - 1) / 2
            error = (centre - half) / half
            speed = CRUISE_SPEED * (1 - 0.5 * abs(error))
            wb_differential_wheels_set_speed(speed - STEERING_GAIN * error, speed + STEERING_GAIN * error)
            last_error = error
        else:
            turn = SEARCH_SPEED if last_error >= 0 else -SEARCH_SPEED
            wb_differential_wheels_set_speed(-turn, turn)
        if wb_robot_step(CONTROL_PERIOD_MS) == -1:
            break
    wb_robot_cleanup()


main()
