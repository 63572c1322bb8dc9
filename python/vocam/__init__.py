"""Cameras built around an FX2 USB controller and an FPGA, from Python.

    import vocam
    vocam.simulate("model_02:state=ready")   # optional: the simulated camera bus
    vocam.init()
    with vocam.open() as cam, cam.stream() as s:
        for frame in s.frames(10):
            picture = frame.rgb()            # height x width x 3, uint8

Frames are NumPy views on the library's ring buffers (``frame.raw``); keep
``frame.copy()`` of the ones you store. Failed library calls raise
``vocam.Error`` with the library's ``code``.
"""
from ._vocam import (Camera, CameraInfo, Error, Frame, FrameIterator, Stream, cameras, init, open,
                     simulate)

__all__ = ["Camera", "CameraInfo", "Error", "Frame", "FrameIterator", "Stream", "cameras", "init",
           "open", "simulate"]
