"""The robot library's operations for a controller written in Python.

The same nine operations as robot_interface.h, under their C names, over
whichever libController.so the loader finds (the simulated robot's when
line-sim runs the script; LD_LIBRARY_PATH picks another), so that a C
controller ports line by line:

    from robot_interface import *
    wb_robot_init()
    camera = wb_robot_get_device("camera")
    wb_camera_enable(camera, 32)
    while wb_robot_step(32) != -1:
        image = wb_camera_get_image(camera)  # width * height * 3 bytes, read only
        ...
        wb_differential_wheels_set_speed(left, right)  # [rad/s]
    wb_robot_cleanup()

The image is the library's own buffer, not a copy: valid until the next
wb_robot_step, row 0 the near edge of the view, column 0 the robot's right
(robot_interface.h says more). Robot below is a small layer over the same
calls; camera_array() gives the image as a read-only NumPy array (height,
width, 3) where NumPy is installed.
"""

import ctypes
import math
import os
import sys

__all__ = [
    "wb_robot_init", "wb_robot_get_device", "wb_camera_enable", "wb_camera_get_width", "wb_camera_get_height",
    "wb_camera_get_image", "wb_differential_wheels_set_speed", "wb_robot_step", "wb_robot_cleanup",
    "camera_array", "parameter", "Robot",
]

try:
    _library = ctypes.CDLL("libController.so")
except OSError as error:
    # Run by hand rather than by line-sim: one line saying what to set, not a traceback.
    sys.exit(f"robot_interface: cannot load the robot's library ({error}); put the folder of a libController.so "
             "on LD_LIBRARY_PATH (DIR/lib of an install)")


def _declare(name, result, *arguments):
    function = getattr(_library, name)
    function.restype = result
    function.argtypes = list(arguments)
    return function


_init = _declare("wb_robot_init", None)
_get_device = _declare("wb_robot_get_device", ctypes.c_uint16, ctypes.c_char_p)
_enable = _declare("wb_camera_enable", None, ctypes.c_uint16, ctypes.c_int32)
_width = _declare("wb_camera_get_width", ctypes.c_int32, ctypes.c_uint16)
_height = _declare("wb_camera_get_height", ctypes.c_int32, ctypes.c_uint16)
_image = _declare("wb_camera_get_image", ctypes.c_void_p, ctypes.c_uint16)
_set_speed = _declare("wb_differential_wheels_set_speed", None, ctypes.c_double, ctypes.c_double)
_step = _declare("wb_robot_step", ctypes.c_int32, ctypes.c_int32)
_cleanup = _declare("wb_robot_cleanup", None)


def wb_robot_init():
    _init()


def wb_robot_get_device(name):
    """The device's tag, or 0 where the robot has none of that name."""
    return _get_device(name.encode() if isinstance(name, str) else bytes(name))


def wb_camera_enable(camera, sampling_period_ms):
    _enable(camera, sampling_period_ms)


def wb_camera_get_width(camera):
    return _width(camera)


def wb_camera_get_height(camera):
    return _height(camera)


def wb_camera_get_image(camera):
    """The current image as a read-only memoryview of width * height * 3
    bytes over the library's buffer, or None before wb_camera_enable."""
    address = _image(camera)
    if not address:
        return None
    size = 3 * _width(camera) * _height(camera)
    return memoryview((ctypes.c_ubyte * size).from_address(address)).cast("B").toreadonly()


def wb_differential_wheels_set_speed(left, right):
    """[rad/s] each wheel's angular speed, positive forwards."""
    _set_speed(left, right)


def wb_robot_step(duration_ms):
    """0 to go on, -1 once the run is over and the controller must end."""
    return _step(duration_ms)


def wb_robot_cleanup():
    _cleanup()


def camera_array(camera):
    """The current image as a read-only NumPy array of shape (height, width,
    3) over the library's buffer (no copy), or None before wb_camera_enable.
    Needs NumPy (Debian: python3-numpy)."""
    import numpy

    view = wb_camera_get_image(camera)
    if view is None:
        return None
    return numpy.frombuffer(view, dtype=numpy.uint8).reshape(_height(camera), _width(camera), 3)


def parameter(name, default, least=-math.inf, most=math.inf):
    """The controller parameter `name` (line-sim's --set param.NAME=VALUE,
    given as LINE_SIM_PARAM_NAME) as a number, or `default` where it is not
    set. A value that is not a number from `least` to `most` ends the
    controller with one line on standard error and exit status 2."""
    text = os.environ.get("LINE_SIM_PARAM_" + name)
    if text is None:
        return default
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not least <= value <= most:
        sys.exit(f"{os.path.basename(sys.argv[0])}: LINE_SIM_PARAM_{name}={text}: expected a number from {least} to {most}")
    return value


class Robot:
    """The connection as a context: opened on entry, closed on exit, however
    the block ends.

        with Robot() as robot:
            while robot.step():
                image = robot.image()
                robot.set_speeds(4.0, 4.0)
    """

    def __init__(self, period_ms=32):
        self.period_ms = period_ms
        self.camera = 0
        self.width = self.height = 0

    def __enter__(self):
        wb_robot_init()
        self.camera = wb_robot_get_device("camera")
        wb_camera_enable(self.camera, self.period_ms)
        self.width, self.height = wb_camera_get_width(self.camera), wb_camera_get_height(self.camera)
        return self

    def __exit__(self, *exception):
        wb_robot_cleanup()
        return False

    def step(self):
        """Advances one period; False once the run is over."""
        return wb_robot_step(self.period_ms) != -1

    def image(self):
        return wb_camera_get_image(self.camera)

    def array(self):
        return camera_array(self.camera)

    def set_speeds(self, left, right):
        wb_differential_wheels_set_speed(left, right)
