import pytest

import vocam


@pytest.fixture
def small(cam):
    cam.window = (0, 0, 320, 240)
    cam.exposure_ms = 20.0
    cam.gain = 1.0
    for g in ("red_gain", "green1_gain", "green2_gain", "blue_gain"):
        setattr(cam, g, 1.0)
    return cam


@pytest.mark.parametrize("call,name,start", [("auto_exposure", "exposure_ms", 4.0),
                                             ("auto_gain", "gain", 1.0)])
def test_auto_level_steps_towards_its_target(small, call, name, start):
    # How far a step goes is the library's; the binding hands it the target,
    # the region and the frame, and returns the camera's new value.
    setattr(small, name, start)
    if call == "auto_gain":
        small.exposure_ms = 10.0  # dark enough to need a gain below the maximum
    with small.stream() as s:
        with s.frame() as f:
            assert float(f.raw[60:180, 80:240].mean()) < 100
            value = getattr(small, call)(target=128, roi=(80, 60, 160, 120), frame=f)
        assert value == getattr(small, name) > start
        assert getattr(small, call)(target=1, roi=(80, 60, 160, 120)) < value


def test_white_balance_modes(small):
    roi = (0, 0, 320, 240)
    with small.stream() as s:
        with s.frame() as f:
            assert small.white_balance(roi=roi, mode="step", frame=f) is True
        assert small.red_gain != 1.0 or small.blue_gain != 1.0
        with s.frame() as f:
            assert small.white_balance(roi=roi, mode="digital", frame=f) is None
    small.red_gain = small.blue_gain = 1.0
    small.white_balance(roi=roi, mode="oneshot")  # streams on its own
    assert small.red_gain != 1.0 or small.blue_gain != 1.0


@pytest.mark.parametrize("call,error,match", [
    (lambda c: c.white_balance(roi=(1, 0, 10, 10)), ValueError, "even"),
    (lambda c: c.auto_exposure(roi=(300, 0, 40, 10)), ValueError, "inside"),
    (lambda c: c.white_balance(mode="auto"), ValueError, "mode"),
    (lambda c: c.auto_gain(target=256), ValueError, ""),
    (lambda c: c.auto_gain(frame="frame"), TypeError, ""),
], ids=["odd roi", "roi outside", "mode", "target", "frame type"])
def test_auto_refusals(small, call, error, match):
    with small.stream(), pytest.raises(error, match=match):
        call(small)
