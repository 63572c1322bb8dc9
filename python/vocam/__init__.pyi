"""Cameras built around an FX2 USB controller and an FPGA, from Python."""
import os
from types import TracebackType
from typing import Iterator, Literal, Optional, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

Method = Literal["fast", "good", "best", "none", "nearest", "edge", "gradient", "block"]
Light = Literal["none", "fluorescent", "daylight", "incandescent", "xenon", "halogen"]


class Error(Exception):
    """A library call failed: ``code`` is the library's negative status."""
    message: str
    code: int
    def __init__(self, message: str, code: int = ...) -> None: ...


class Timeout(Error, TimeoutError):
    """No frame came within a wait's ``timeout`` (``code`` -110); the stream goes on."""
    def __init__(self, message: str, code: int = ...) -> None: ...


class CameraInfo:
    """Identity of an attached camera, as listed by cameras()."""
    @property
    def product_id(self) -> int: ...
    @property
    def serial(self) -> int: ...
    @property
    def release(self) -> int: ...
    @property
    def firmware(self) -> int: ...
    @property
    def fpga(self) -> int: ...
    @property
    def high_speed(self) -> bool: ...


class Frame:
    """One frame held in the camera's ring of buffers until it is released."""
    @property
    def raw(self) -> npt.NDArray[np.uint8]:
        """The raw frame (height x width), a read-only view on the library's buffer."""
    def copy(self) -> npt.NDArray[np.uint8]:
        """A copy of the raw frame that outlives the frame."""
    def rgb(self, method: Method = "fast", light: Union[Light, int] = "none") -> npt.NDArray[np.uint8]:
        """The frame converted to RGB (height x width x 3)."""
    def save(self, path: Union[str, os.PathLike[str]], method: Method = "fast",
             light: Union[Literal["none"], int] = "none", *, cube: bool = False) -> None:
        """Saves the frame by the name's extension: .fits (the raw frame with the camera's
        settings; cube=True: the converted picture as three planes), .raw, .png or .tif."""
    def release(self) -> None:
        """Returns the buffer to the ring."""
    @property
    def released(self) -> bool: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def buffer(self) -> int:
        """Index of the ring buffer the frame is in."""
    @property
    def index(self) -> int:
        """The frame's number in the stream (1 for the first); a gap means frames not taken."""
    @property
    def timestamp(self) -> float:
        """Arrival time in seconds on the monotonic clock, the clock of time.monotonic()."""
    @property
    def timestamp_ns(self) -> int:
        """Arrival time in nanoseconds on the same clock (time.monotonic_ns())."""
    def __enter__(self) -> "Frame": ...
    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...


class FrameIterator(Iterator[Frame]):
    def __iter__(self) -> "FrameIterator": ...
    def __next__(self) -> Frame: ...


class Stream:
    """A camera's video stream; a context manager that starts and stops it."""
    def start(self) -> "Stream": ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    def frames(self, count: Optional[int] = None, *,
               timeout: Optional[float] = None) -> FrameIterator:
        """The next `count` frames (all when None), each released when the next is asked for.

        timeout: seconds to wait for each frame (None: for ever); raises Timeout."""
    def frame(self, *, timeout: Optional[float] = None) -> Frame:
        """Waits for the next frame (`timeout` seconds, None: for ever); the caller releases it."""
    def record(self, path: Union[str, os.PathLike[str]], count: Optional[int] = None, *,
               seconds: Optional[float] = None, timeout: Optional[float] = None) -> int:
        """Records the next `count` frames (or for `seconds`; None: until stopped) to a SER
        file and returns how many it wrote; the file stays whole if anything cuts it short."""
    def __enter__(self) -> "Stream": ...
    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...


class Camera:
    """An open camera; a context manager that closes it."""
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> "Camera": ...
    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...
    def stream(self) -> Stream: ...
    @property
    def info(self) -> CameraInfo: ...
    @property
    def serial(self) -> int: ...
    @property
    def product_id(self) -> int: ...
    @property
    def model(self) -> str: ...
    @property
    def handle(self) -> int:
        """The library's camera handle as an int, for the C interface through ctypes."""
    @property
    def is_color(self) -> bool: ...
    @property
    def width(self) -> int:
        """Delivered frame width in pixels."""
    @property
    def height(self) -> int:
        """Delivered frame height in pixels."""

    exposure_ms: float
    """Exposure time in milliseconds."""
    gain: float
    """Overall analogue gain as a factor (1.0 = unity)."""
    red_gain: float
    blue_gain: float
    green1_gain: float
    green2_gain: float
    gamma: float
    """Gamma of the tone curve (1.0 = linear)."""
    brightness: float
    contrast: float
    temperature_c: float
    """Sensor temperature in degrees Celsius; setting it sets the cooling target."""
    cooling: bool
    window: Tuple[int, int, int, int]
    """(x, y, width, height) of the sensor window in sensor pixels."""
    subsample: Union[Tuple[int, int], int]
    """(x, y) subsampling factors; set an int for both."""
    data_rate: int
    """Data rate in kilopixels per second, one of data_rates."""
    @property
    def data_rates(self) -> list[int]: ...

    def range(self, name: str) -> Tuple[float, float]:
        """(min, max) of a property in its units; for 'window' the sensor's (width, height)."""
    def white_balance(self, roi: Optional[Tuple[int, int, int, int]] = None,
                      mode: Literal["step", "oneshot", "digital"] = "step",
                      frame: Optional[Frame] = None) -> Optional[bool]:
        """Balances the colours on a region known to be neutral grey."""
    def auto_exposure(self, target: int = 128, roi: Optional[Tuple[int, int, int, int]] = None,
                      frame: Optional[Frame] = None) -> float:
        """One exposure correction toward a mean grey level; returns the new exposure_ms."""
    def auto_gain(self, target: int = 128, roi: Optional[Tuple[int, int, int, int]] = None,
                  frame: Optional[Frame] = None) -> float:
        """One gain correction toward a mean grey level; returns the new gain."""


def init(resources: Union[str, os.PathLike[str], None] = None) -> None:
    """Brings every attached camera up (firmware, then FPGA)."""
def cameras() -> list[CameraInfo]:
    """Lists the attached cameras."""
def open(serial: Optional[int] = None, product: Optional[int] = None) -> Camera:
    """Opens a camera by serial number, by USB product ID, both, or the first one."""
def simulate(cameras: str) -> None:
    """Uses the simulated camera bus with these cameras; before the first init/cameras/open."""
