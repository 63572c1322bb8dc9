import ctypes
import gc
import os
import signal
import threading
import time

import numpy as np
import pytest

import vocam

def c_rgb(lib, cam, raw, method, matrix=0):
    """The same conversion made by the C library, from the same bytes."""
    fmt = (ctypes.c_uint32 * 13)(52)
    assert lib.vocam_get_image_format(cam.handle, fmt) == 0
    params = (ctypes.c_uint32 * 3)(12, method, matrix)
    out = np.zeros(raw.size * 3, np.uint8)
    assert lib.vocam_convert_frame_to_rgb(cam.handle, out.ctypes.data, raw.ctypes.data, fmt, params) == 0
    return out


def test_frames_in_order_and_converted_like_c(cam, lib):
    # Whole frames are the library's care; the binding hands each one out
    # once, in order, and converts it as C does with the method and light
    # source it names.
    cam.window = (0, 0, 256, 128)
    last = (0, 0)
    with cam.stream() as s:
        for frame in s.frames(20):
            assert (frame.index, frame.timestamp_ns) > last and frame.timestamp_ns > last[1]
            last = (frame.index, frame.timestamp_ns)
            assert frame.raw.shape == (128, 256) and frame.raw.dtype == np.uint8
            ours = frame.rgb("fast")
            assert ours.shape == (128, 256, 3) and ours.dtype == np.uint8
            assert (ours.ravel() == c_rgb(lib, cam, frame.raw, 1)).all()
        with s.frame() as frame:
            # The names are those of the table vocam and vocamsrc share.
            for method, light, ids in (("good", "daylight", (2, 2)), ("best", "halogen", (3, 5)),
                                       ("fast", "fluorescent", (1, 1)), ("good", "incandescent", (2, 3)),
                                       ("good", "xenon", (2, 4)), ("best", "none", (3, 14))):
                assert (frame.rgb(method, light).ravel() == c_rgb(lib, cam, frame.raw, *ids)).all()


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


def test_timeout_and_ctrl_c_on_a_silent_camera(cam, video):
    cam.window = (0, 0, 256, 128)
    with cam.stream() as s:
        last = s.frame(timeout=5.0)
        last.release()
        video(cam, False)
        try:
            with pytest.raises(vocam.Timeout):
                for _ in range(5):
                    s.frame(timeout=0.2).release()  # those already on their way
            timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
            # A wait deaf to the signal ends with a frame, not a hung test.
            rescue = threading.Timer(3.0, video, (cam, True))
            began = time.monotonic()
            timer.start()
            rescue.start()
            try:
                with pytest.raises(KeyboardInterrupt):
                    s.frame()
                assert time.monotonic() - began < 1.5
            finally:
                rescue.cancel()
                rescue.join()
                timer.join()

            with pytest.raises(vocam.Timeout, match="within 0 s") as e:
                s.frame(timeout=0)
            assert e.value.code == -110
            assert isinstance(e.value, TimeoutError) and isinstance(e.value, vocam.Error)
        finally:
            video(cam, True)
        # The same stream goes on where it was.
        with s.frame(timeout=5.0) as frame:
            assert frame.index > last.index and frame.timestamp_ns > last.timestamp_ns
            assert frame.raw.shape == (128, 256)


def test_other_threads_run_during_a_wait_and_may_end_the_stream(slow_cam):
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
        threading.Timer(0.2, s.stop).start()
        assert len([f for f in s.frames()]) <= 2
    assert n > 20


@pytest.mark.parametrize("call,error,match", [
    pytest.param(lambda s, f: s.frames(-1), ValueError, "", id="count"),
    pytest.param(lambda s, f: s.frames("10"), TypeError, "", id="count type"),
    pytest.param(lambda s, f: s.frame(timeout=-0.5), ValueError, "timeout", id="timeout"),
    pytest.param(lambda s, f: f.rgb("sharpest"), ValueError, "method", id="method"),
    pytest.param(lambda s, f: f.rgb(light=14), ValueError, "light", id="light"),
    pytest.param(lambda s, f: f.rgb(3), TypeError, "", id="method type"),
])
def test_bad_arguments(cam, call, error, match):
    with cam.stream() as s, s.frame() as frame:
        with pytest.raises(error, match=match):
            call(s, frame)
        with pytest.raises(vocam.Error):
            cam.stream()  # one stream at a time
