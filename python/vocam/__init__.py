"""Cameras built around an FX2 USB controller and an FPGA, from Python.

    import vocam
    vocam.simulate("model_02:state=ready")   # optional: the simulated camera bus
    vocam.init()
    with vocam.open() as cam, cam.stream() as s:
        for frame in s.frames(10, timeout=2.0):
            picture = frame.rgb()            # height x width x 3, uint8
            print(frame.index, frame.timestamp)  # number in the stream, seconds (monotonic)

Frames are NumPy views on the library's ring buffers (``frame.raw``); keep
``frame.copy()`` of the ones you store. Failed library calls raise
``vocam.Error`` with the library's ``code``; a frame wait whose ``timeout``
runs out raises ``vocam.Timeout`` (also a ``TimeoutError``).
"""
from ._vocam import (Camera, CameraInfo, Error, Frame, FrameIterator, Stream, Timeout, cameras,
                     init, open, simulate)

__all__ = ["Camera", "CameraInfo", "Error", "Frame", "FrameIterator", "Stream", "Timeout",
           "cameras", "init", "open", "simulate"]
