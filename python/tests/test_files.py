"""Frames saved and recorded from Python, read back by readers of our own:
astropy and fitsverify for FITS, and a SER reader written from the format."""
import os
import pathlib
import signal
import struct
import subprocess
import threading
import time
import types

import numpy as np
import pytest
from astropy.io import fits

import vocam

TICKS_AT_1970 = 621355968000000000  # 100 ns ticks from 0001-01-01


def fitsverify(path):
    run = subprocess.run(["fitsverify", "-q", str(path)], capture_output=True, text=True)
    assert run.returncode == 0 and "verification OK" in run.stdout, run.stdout


def read_ser(path):
    data = pathlib.Path(path).read_bytes()
    (magic, _, colour, _, width, height, depth, count, _, instrument, _, _,
     start) = struct.unpack_from("<14s7i40s40s40sqq", data)
    assert magic == b"LUCAM-RECORDER"
    size = width * height * (1 if depth <= 8 else 2)
    # Every frame counted is whole; the trailer of times is optional.
    assert len(data) in (178 + count * size, 178 + count * (size + 8)), (len(data), count)
    times = ()
    if count and len(data) == 178 + count * (size + 8):
        ticks = struct.unpack_from(f"<{count}q", data, 178 + count * size)
        times = [(t - TICKS_AT_1970) / 1e7 for t in ticks]
    frames = np.frombuffer(data, np.uint8, count * size, 178).reshape(count, height, width)
    return types.SimpleNamespace(colour=colour, depth=depth, count=count, frames=frames,
                                 instrument=instrument.rstrip(b"\0").decode(), times=times,
                                 start=(start - TICKS_AT_1970) / 1e7 if count else None)


@pytest.fixture
def mono_cam():
    with vocam.open(serial=77) as c:
        c.window = (0, 0) + c.range("window")
        yield c


# The header's cards are the writer's the tool shares (its suite, and the
# INDI driver's for cooling); here, that the binding hands it the frame, its
# time and the camera's settings.
@pytest.mark.parametrize("which", ["colour", "mono"])
def test_fits_holds_the_raw_frame_and_the_settings(which, tmp_path, cam, mono_cam):
    c = cam if which == "colour" else mono_cam
    c.exposure_ms, c.gain = 12.5, 2.5
    if which == "colour":
        c.window, c.subsample = (64, 32, 640, 480), 2
        c.red_gain = 1.5
    with c.stream() as s, s.frame() as frame:
        raw = frame.copy()
        frame.save(tmp_path / "x.fits")
        began = time.time() - (time.monotonic() - frame.timestamp) - 0.0125
    fitsverify(tmp_path / "x.fits")
    with fits.open(tmp_path / "x.fits") as f:
        (hdu,) = f
        h = hdu.header
        assert hdu.data.shape == raw.shape and (hdu.data == raw).all()
    assert h["BITPIX"] == 8 and h["ROWORDER"] == "TOP-DOWN"
    assert (h["EXPTIME"], h["GAIN"]) == (0.0125, 2.5)
    assert (h["INSTRUME"], h["SERIALNO"]) == (c.model, str(c.serial))
    assert h["SWCREATE"].startswith("vocam Python (VoCamSDK ")
    obs = np.datetime64(h["DATE-OBS"]).astype("datetime64[us]").astype(float) / 1e6
    assert obs == pytest.approx(began, abs=0.01)
    assert (h["XBINNING"], h["YBINNING"]) == ((2, 2) if which == "colour" else (1, 1))
    assert (h["XORGSUBF"], h["YORGSUBF"]) == ((64, 32) if which == "colour" else c.window[:2])
    if which == "mono":
        assert not {"BAYERPAT", "REDGAIN", "CCD-TEMP"} & set(h)
    else:
        assert (h["BAYERPAT"], h["XBAYROFF"], h["YBAYROFF"]) == ("RGGB", 0, 0)
        assert h["REDGAIN"] == 1.5


def test_other_formats_and_the_converted_cube(cam, tmp_path):
    cam.window = (0, 0, 256, 128)
    with cam.stream() as s, s.frame() as frame:
        for name in ("x.png", "x.tif", "x.raw"):
            frame.save(str(tmp_path / name), "best")
        frame.save(tmp_path / "cube.fits", "best", cube=True)
        picture, raw = frame.rgb("best"), frame.copy()
        with pytest.raises(ValueError, match="must end in"):
            frame.save(tmp_path / "x.jpg")
        with pytest.raises(ValueError, match="cube"):
            frame.save(tmp_path / "x.png", cube=True)
    with pytest.raises(ValueError, match="released"):
        frame.save(tmp_path / "late.fits")
    assert (tmp_path / "x.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "x.tif").read_bytes()[:4] == b"II*\0"
    assert (tmp_path / "x.raw").read_bytes() == raw.tobytes()
    assert (tmp_path / "x.raw.txt").read_text().startswith("width=256 height=128 bits=8 layout=RGGB")
    fitsverify(tmp_path / "cube.fits")
    cube = fits.getdata(tmp_path / "cube.fits")
    assert cube.shape == (3, 128, 256) and (np.moveaxis(cube, 0, -1) == picture).all()
    assert "BAYERPAT" not in fits.getheader(tmp_path / "cube.fits")
    assert sorted(os.listdir(tmp_path)) == ["cube.fits", "x.png", "x.raw", "x.raw.txt", "x.tif"]


@pytest.mark.parametrize("which", ["colour", "mono"])
def test_record_writes_a_ser_file_of_whole_frames(which, tmp_path, cam, mono_cam):
    c = cam if which == "colour" else mono_cam
    c.window = (0, 0, 128, 64)
    began = time.time()
    with c.stream() as s:
        assert s.record(tmp_path / "r.ser", 6) == 6
        assert s.record(tmp_path / "t.ser", seconds=0.3) > 0
    ser = read_ser(tmp_path / "r.ser")
    assert (ser.count, ser.colour, ser.depth, ser.instrument) == (
        6, 8 if which == "colour" else 0, 8, c.model)
    assert ser.frames.shape == (6, 64, 128)
    assert began - 1 < ser.start == ser.times[0] < time.time()
    assert (np.diff(ser.times) > 0).all()
    # Frames of one scene differ only in the camera's frame stamps.
    assert np.count_nonzero(ser.frames[1] != ser.frames[0]) <= 8 * (128 * 64 // 4096 + 1)


def test_a_recording_cut_short_stays_readable(slow_cam, cam, video, tmp_path):
    with slow_cam.stream() as s:  # two frames a second
        timer = threading.Timer(1.2, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            s.record(tmp_path / "c.ser")
        timer.join()
    ser = read_ser(tmp_path / "c.ser")
    assert 1 <= ser.count <= 4 and len(ser.times) == ser.count

    cam.window = (0, 0, 128, 64)
    with cam.stream() as s:
        s.frame().release()
        video(cam, False)
        try:
            with pytest.raises(vocam.Timeout, match=r"'.*s\.ser' holds \d+ frame"):
                s.record(tmp_path / "s.ser", timeout=0.5)
        finally:
            video(cam, True)
    assert read_ser(tmp_path / "s.ser").count <= 3  # those already on their way
    with cam.stream() as s:
        with pytest.raises(ValueError, match=r"\.ser"):
            s.record(tmp_path / "x.avi")
