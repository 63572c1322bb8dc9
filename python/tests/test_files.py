"""Frames saved and recorded from Python. The files' formats are the writers'
the command-line tool shares (its suite reads them back in detail); here,
that the binding hands them the frame, its time and the camera's settings,
and ends a recording whole however it ends."""
import os
import pathlib
import signal
import struct
import threading
import time

import numpy as np
import pytest
from astropy.io import fits

import vocam


TICKS_AT_1970 = 621355968000000000  # 100 ns ticks from 0001-01-01


def ser_count(path, frame_bytes, times=None):
    """The frames a SER file holds, each whole with its time; `times`, when
    given, gets the frames' times in seconds since 1970."""
    data = pathlib.Path(path).read_bytes()
    (count,) = struct.unpack_from("<i", data, 38)
    assert len(data) == 178 + count * (frame_bytes + 8), (len(data), count)
    if times is not None:
        ticks = struct.unpack_from(f"<{count}q", data, 178 + count * frame_bytes)
        times += [(t - TICKS_AT_1970) / 1e7 for t in ticks]
    return count


def test_fits_holds_the_raw_frame_its_time_and_the_settings(tmp_path, cam):
    cam.exposure_ms, cam.gain, cam.red_gain = 12.5, 2.5, 1.5
    cam.window, cam.subsample = (64, 32, 640, 480), 2
    with cam.stream() as s, s.frame() as frame:
        raw = frame.copy()
        frame.save(tmp_path / "x.fits")
        began = time.time() - (time.monotonic() - frame.timestamp) - 0.0125
    with fits.open(tmp_path / "x.fits") as f:
        (hdu,) = f
        h = hdu.header
        assert hdu.data.shape == raw.shape and (hdu.data == raw).all()
    assert (h["EXPTIME"], h["GAIN"], h["REDGAIN"]) == (0.0125, 2.5, 1.5)
    assert (h["INSTRUME"], h["SERIALNO"]) == (cam.model, str(cam.serial))
    assert h["SWCREATE"].startswith("vocam Python (VoCamSDK ")
    obs = np.datetime64(h["DATE-OBS"]).astype("datetime64[us]").astype(float) / 1e6
    assert obs == pytest.approx(began, abs=0.01)
    assert (h["XBINNING"], h["YBINNING"], h["XORGSUBF"], h["YORGSUBF"]) == (2, 2, 64, 32)


def test_other_formats_and_the_converted_cube(cam, tmp_path):
    cam.window = (0, 0, 256, 128)
    with cam.stream() as s, s.frame() as frame:
        for name in ("x.png", "x.tif", "x.raw"):
            frame.save(str(tmp_path / name), "best")
        frame.save(tmp_path / "cube.fits", "best", cube=True)
        picture, raw = frame.rgb("best"), frame.copy()
        with pytest.raises(ValueError, match="cube"):
            frame.save(tmp_path / "x.png", cube=True)
    assert (tmp_path / "x.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "x.tif").read_bytes()[:4] == b"II*\0"
    assert (tmp_path / "x.raw").read_bytes() == raw.tobytes()
    assert (tmp_path / "x.raw.txt").read_text().startswith("width=256 height=128 bits=8 layout=RGGB")
    cube = fits.getdata(tmp_path / "cube.fits")
    assert cube.shape == (3, 128, 256) and (np.moveaxis(cube, 0, -1) == picture).all()
    assert sorted(os.listdir(tmp_path)) == ["cube.fits", "x.png", "x.raw", "x.raw.txt", "x.tif"]


def test_record_by_count_and_by_seconds(tmp_path, cam):
    cam.window = (0, 0, 128, 64)
    began = time.time()
    with cam.stream() as s:
        assert s.record(tmp_path / "r.ser", 6) == 6
        assert s.record(tmp_path / "t.ser", seconds=0.3) == ser_count(tmp_path / "t.ser", 128 * 64) > 0
        with pytest.raises(ValueError, match=r"\.ser"):
            s.record(tmp_path / "x.avi")
    # The binding stamps each frame with its exposure's start.
    times = []
    assert ser_count(tmp_path / "r.ser", 128 * 64, times) == 6
    assert began - 1 < times[0] < time.time() and times == sorted(set(times))


def test_a_recording_cut_short_stays_readable(slow_cam, cam, video, tmp_path):
    with slow_cam.stream() as s:  # two frames a second
        timer = threading.Timer(1.2, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            # The limit ends the recording only if the interruption never comes.
            s.record(tmp_path / "c.ser", seconds=60)
        timer.join()
    assert 1 <= ser_count(tmp_path / "c.ser", slow_cam.width * slow_cam.height) <= 4

    cam.window = (0, 0, 128, 64)
    with cam.stream() as s:
        s.frame().release()
        video(cam, False)
        try:
            with pytest.raises(vocam.Timeout, match=r"'.*s\.ser' holds \d+ frame"):
                s.record(tmp_path / "s.ser", timeout=0.5)
        finally:
            video(cam, True)
    assert ser_count(tmp_path / "s.ser", 128 * 64) <= 3  # those already on their way
