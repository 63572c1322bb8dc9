import ctypes
import logging

import pytest

import vocam


def test_listing_and_opening():
    listed = {c.serial: c for c in vocam.cameras()}
    assert set(listed) == {1000, 55, 77}  # 77 only answers as a camera after init's firmware pass
    mono = listed[77]
    with vocam.open(serial=77) as cam:
        assert cam.info == mono and not cam.is_color and cam.model
    with vocam.open(product=mono.product_id) as cam:
        assert cam.serial == 77
    cam = vocam.open()
    assert cam.serial in listed
    cam.close()
    assert cam.closed
    with pytest.raises(vocam.Error) as e:
        cam.exposure_ms
    assert e.value.code == -1


def test_open_refusals():
    with pytest.raises(vocam.Error, match="serial 12345"):
        vocam.open(serial=12345)
    with pytest.raises(vocam.Error):
        vocam.open(product=0x7777)
    for bad in ("1000", 10.0, True):
        with pytest.raises(TypeError):
            vocam.open(serial=bad)
    for bad in (-1, 0, 2**32):
        with pytest.raises(ValueError):
            vocam.open(serial=bad)
    with pytest.raises(TypeError):
        vocam.init(42)
    with pytest.raises(vocam.Error, match="first"):
        vocam.simulate("model_02")
    with pytest.raises(TypeError):
        vocam.simulate(2)
    with pytest.raises(ValueError):
        vocam.simulate("")


def test_library_lines_go_to_the_vocam_logger_by_kind(caplog, capfd, lib):
    caplog.set_level(logging.DEBUG, logger="vocam")
    lib.vocam_stop_streaming.argtypes = [ctypes.c_void_p]
    with vocam.open(serial=1000) as cam:
        assert lib.vocam_stop_streaming(cam.handle) == -1  # an error line, written outside Python
        cam.exposure_ms  # any call logs what came before it
    got = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "vocam"]
    assert (logging.INFO, "format: rggb") in got
    assert (logging.ERROR, "error: unable to stop a stream which is not running") in got
    assert capfd.readouterr().err == ""
