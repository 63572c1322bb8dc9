"""One simulated bus for the whole session (the bus is chosen once per process):

- serial 1000: colour, unpaced (frames as fast as they are read), each frame's
  number stamped into it
- serial 55:   colour, 2 frames a second, temperature control fitted
- serial 77:   monochrome, arrives without firmware, so init() brings it up
"""
import ctypes
import os
import signal

import pytest

import vocam

BUS = "model_02:state=ready:fps=0:stamp=1,model_02:serial=55:state=ready:fps=2:cooling=1,model_16:serial=77:color=0"
vocam.simulate(BUS)
vocam.init(os.environ["VOCAM_TEST_RESOURCES"])


@pytest.fixture(autouse=True, scope="session")
def ctrl_c():
    """A shell starts background jobs with Ctrl-C ignored, and Python then
    leaves it so: the cases that interrupt themselves need its own handler."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture(scope="session")
def lib():
    """The C library itself, for checks made around the binding."""
    c = ctypes.CDLL(os.environ["VOCAM_TEST_LIBRARY"])
    c.vocam_get_buffer_address.restype = ctypes.c_void_p
    c.vocam_get_buffer_address.argtypes = [ctypes.c_void_p, ctypes.c_int32]
    c.vocam_get_image_format.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    c.vocam_convert_frame_to_rgb.argtypes = [ctypes.c_void_p] * 5
    c.vo_usb_write_vocam_u32.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_uint32]
    return c


@pytest.fixture
def cam():
    """The unpaced colour camera at its full window (the camera keeps its
    geometry across opens)."""
    with vocam.open(serial=1000) as c:
        c.window = (0, 0) + c.range("window")
        c.subsample = 1
        yield c


@pytest.fixture
def slow_cam():
    with vocam.open(serial=55) as c:
        yield c


@pytest.fixture
def video(lib):
    """Switches a streaming camera's video off and on: off, it sends nothing at
    all, as a stalled camera would, and every read waits."""
    def switch(cam, on):
        assert lib.vo_usb_write_vocam_u32(cam.handle, 0x0214, 0x80 if on else 0) >= 0
    return switch
