import numpy as np
import pytest

import vocam


def channel_means(raw, roi):
    x, y, w, h = roi
    cells = raw[y:y + h, x:x + w].astype(float)
    return [cells[0::2, 0::2].mean(), cells[0::2, 1::2].mean(), cells[1::2, 0::2].mean(),
            cells[1::2, 1::2].mean()]  # R, G, G, B on this RGGB sensor


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
def test_auto_level_converges(small, call, name, start):
    roi = (80, 60, 160, 120)
    setattr(small, name, start)
    if call == "auto_gain":
        small.exposure_ms = 10.0  # dark enough to need a gain below the maximum
    with small.stream() as s:
        before = float(s.frame().copy()[60:180, 80:240].mean())
        assert before < 100
        for _ in range(4):
            value = getattr(small, call)(target=128, roi=roi)
            for _ in s.frames(3):
                pass  # frames already on their way show the old setting
        assert value == getattr(small, name) > start
        with s.frame() as f:
            after = float(f.raw[60:180, 80:240].mean())
    assert abs(after - 128) < 20


def test_white_balance_modes(small):
    roi = (0, 0, 320, 240)
    with small.stream() as s:
        with s.frame() as f:
            r, g1, g2, b = channel_means(f.raw, roi)
            assert small.white_balance(roi=roi, mode="step", frame=f) is True
        assert small.red_gain != 1.0 or small.blue_gain != 1.0

    # One shot from a fresh stream: the camera's own colours come out balanced.
    small.white_balance(roi=roi, mode="oneshot")
    with small.stream() as s, s.frame() as f:
        r, g1, g2, b = channel_means(f.raw, roi)
        g = (g1 + g2) / 2
        assert abs(r / g - 1) < 0.05 and abs(b / g - 1) < 0.05
        assert small.white_balance(roi=roi, mode="digital", frame=f) is None


def test_auto_refusals(small):
    with small.stream() as s:
        with pytest.raises(ValueError, match="even"):
            small.white_balance(roi=(1, 0, 10, 10))
        with pytest.raises(ValueError, match="inside"):
            small.auto_exposure(roi=(300, 0, 40, 10))
        with pytest.raises(ValueError, match="mode"):
            small.white_balance(mode="auto")
        with pytest.raises(ValueError):
            small.auto_gain(target=256)
        with pytest.raises(TypeError):
            small.auto_gain(frame="frame")
        f = s.frame()
        f.release()
        with pytest.raises(ValueError, match="released"):
            small.auto_exposure(frame=f)
    small.exposure_ms = small.range("exposure_ms")[0]
    with pytest.raises(vocam.Error) as e:
        small.white_balance()
    assert e.value.code == -35
