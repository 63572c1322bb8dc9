import ctypes
import gc
import hashlib
import os
import signal
import threading
import time

import numpy as np
import pytest

import vocam

STAMP = 4096  # the simulated camera stamps its frame count into one word every 4 KiB


def stamp_offsets(size):
    offsets = list(range(0, size - 7, STAMP))
    if offsets[-1] != (size // 8 - 1) * 8:
        offsets.append((size // 8 - 1) * 8)
    return offsets


def c_rgb(lib, cam, raw, method):
    """The same conversion made by the C library, from the same bytes."""
    fmt = (ctypes.c_uint32 * 13)(52)
    assert lib.vocam_get_image_format(cam.handle, fmt) == 0
    params = (ctypes.c_uint32 * 3)(12, method, 0)
    out = np.zeros(raw.size * 3, np.uint8)
    assert lib.vocam_convert_frame_to_rgb(cam.handle, out.ctypes.data, raw.ctypes.data, fmt, params) == 0
    return out


def test_thousand_frames_whole_and_converted_like_c(cam, lib):
    cam.window = (0, 0, 256, 128)
    first = None
    offsets = stamp_offsets(256 * 128)
    with cam.stream() as s:
        for n, frame in enumerate(s.frames(1000)):
            raw = frame.raw
            assert raw.shape == (128, 256) and raw.dtype == np.uint8
            if first is None:
                first = frame.copy()
            else:
                # Two whole frames of one scene differ only in the stamp words,
                # and each of those by the same count.
                diff = np.bitwise_xor(raw.reshape(-1), first.reshape(-1))
                stamps = diff[np.array(offsets)[:, None] + np.arange(8)].view("<u8").ravel()
                assert (stamps == stamps[0]).all() and stamps[0] != 0
                diff[np.array(offsets)[:, None] + np.arange(8)] = 0
                assert not diff.any()
            ours = frame.rgb("fast")
            assert ours.shape == (128, 256, 3) and ours.dtype == np.uint8
            theirs = c_rgb(lib, cam, raw, 1)
            assert hashlib.sha256(ours.tobytes()).digest() == hashlib.sha256(theirs.tobytes()).digest()
    assert n == 999


def test_grey_conversion_keeps_padded_rows(cam, lib):
    cam.window = (0, 0, 1000, 128)
    cam.subsample = (4, 2)  # 250 x 64: 750 bytes a row, padded to 752 without demosaicing
    with cam.stream() as s, s.frame() as frame:
        grey = frame.rgb("none")
        assert grey.shape == (64, 250, 3)
        assert (grey[..., 0] == frame.raw).all() and (grey[..., 2] == frame.raw).all()


def test_raw_is_the_library_buffer(cam, lib):
    with cam.stream() as s:
        for frame in s.frames(5):
            raw = frame.raw
            assert raw.ctypes.data == lib.vocam_get_buffer_address(cam.handle, frame.buffer)
            assert not raw.flags.writeable and not raw.flags.owndata
            copy = frame.copy()
            assert copy.ctypes.data != raw.ctypes.data and (copy == raw).all()


def test_use_after_release_raises_and_views_stay_whole(cam):
    cam.window = (0, 0, 256, 128)
    with cam.stream() as s:
        frames = s.frames()
        frame = next(frames)
        kept, before = frame.raw, frame.copy()
        nxt = next(frames)  # releases the first frame
        assert frame.released and not nxt.released
        for use in (lambda: frame.raw, frame.copy, frame.rgb):
            with pytest.raises(ValueError, match="released"):
                use()
        for _ in range(20):
            next(frames)
        # The view's buffer stayed out of the ring: no later frame went into it.
        assert (kept == before).all()
        # Views of two frames hold two of the three buffers: no frame can be
        # handed out any more, which must be an error, not a hang.
        other = next(frames).raw
        with pytest.raises(BufferError):
            next(frames)
        del kept, other
        assert next(frames).raw.shape == (128, 256)
        kept = next(frames).raw
    # The library has one ring per camera: a view of the old one blocks a new one.
    with pytest.raises(BufferError):
        cam.stream().start()
    del kept
    with cam.stream() as s:
        assert s.frame().raw.shape == (128, 256)


def test_closing_with_live_views(lib):
    cam = vocam.open(serial=1000)
    cam.window = (0, 0, 256, 128)
    s = cam.stream()
    s.start()
    frame = s.frame()
    view, rows = frame.raw, frame.raw[10:20]
    before = frame.copy()
    cam.close()
    assert frame.released and not s.running
    with pytest.raises(ValueError):
        frame.raw
    # The ring's memory outlives the camera as long as a view does.
    assert (view == before).all() and (rows == before[10:20]).all()
    with pytest.raises(vocam.Error):
        vocam.open(serial=1000)  # the handle is still open for the views
    del view, rows
    gc.collect()
    with vocam.open(serial=1000) as again:
        assert again.serial == 1000


def test_ctrl_c_during_a_wait(slow_cam):
    with slow_cam.stream() as s:
        s.frame().release()
        timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
        began = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            s.frame()
        assert time.monotonic() - began < 1.5
        # The camera streams on.
        with s.frame() as frame:
            assert frame.raw.shape == (1024, 1280)


def test_other_threads_run_during_a_wait(slow_cam):
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    with slow_cam.stream() as s:
        s.frame().release()
        worker = threading.Thread(target=count)
        worker.start()
        s.frame().release()  # about half a second at two frames a second
        n = len(ticks)
        done.set()
        worker.join()
    assert n > 20


def test_stopping_from_another_thread_ends_the_loop(slow_cam):
    with slow_cam.stream() as s:
        threading.Timer(0.2, s.stop).start()
        assert len([f for f in s.frames()]) <= 2


def test_bad_arguments(cam):
    with cam.stream() as s:
        with pytest.raises(ValueError):
            s.frames(-1)
        with pytest.raises(TypeError):
            s.frames("10")
        with s.frame() as frame:
            with pytest.raises(ValueError, match="method"):
                frame.rgb("sharpest")
            with pytest.raises(ValueError, match="light"):
                frame.rgb(light=14)
            with pytest.raises(TypeError):
                frame.rgb(3)
        with pytest.raises(vocam.Error):
            cam.stream()  # one stream at a time
