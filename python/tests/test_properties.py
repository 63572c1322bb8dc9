import pytest

import vocam

SCALARS = ["exposure_ms", "gain", "red_gain", "blue_gain", "green1_gain", "green2_gain", "gamma",
           "brightness", "contrast"]


@pytest.mark.parametrize("name", SCALARS)
def test_scalar_in_its_units_and_range(cam, name):
    lo, hi = cam.range(name)
    assert lo < hi and lo <= getattr(cam, name) <= hi
    wanted = lo + (hi - lo) / 3
    setattr(cam, name, wanted)
    # The registers keep whole units (microseconds, 1/4096, hundredths).
    assert getattr(cam, name) == pytest.approx(wanted, abs=0.01)
    for outside in (hi + (hi - lo), lo - (hi - lo) - 1):
        with pytest.raises(ValueError, match=name):
            setattr(cam, name, outside)
    assert getattr(cam, name) == pytest.approx(wanted, abs=0.01)
    for bad in ("1", None, True):
        with pytest.raises(TypeError):
            setattr(cam, name, bad)
    with pytest.raises(ValueError):
        setattr(cam, name, float("nan"))


def test_window_subsample_and_data_rate(cam):
    width, height = cam.range("window")
    cam.window = (64, 32, 320, 240)
    assert cam.window == (64, 32, 320, 240) and (cam.width, cam.height) == (320, 240)
    for bad in ((0, 0, 0, 8), (width - 8, 0, 16, 8)):  # checked here, before the library
        with pytest.raises(ValueError):
            cam.window = bad
    with pytest.raises(TypeError):
        cam.window = "full"
    assert cam.window == (64, 32, 320, 240)

    lo, hi = cam.range("subsample")
    assert lo == 1 and hi >= 2
    cam.subsample = 2
    assert cam.subsample == (2, 2) and (cam.width, cam.height) == (160, 120)
    for bad in (hi + 1, (1, 0)):
        with pytest.raises(ValueError):
            cam.subsample = bad

    rates = cam.data_rates
    assert rates and cam.range("data_rate") == (min(rates), max(rates))
    cam.data_rate = rates[0]
    assert cam.data_rate == rates[0]
    with pytest.raises(ValueError, match="data_rates"):
        cam.data_rate = max(rates) + 1
    with pytest.raises(ValueError):
        cam.range("zoom")


def test_temperature_and_cooling(slow_cam, cam):
    lo, hi = slow_cam.range("temperature_c")
    assert lo < slow_cam.temperature_c < hi
    slow_cam.cooling = True
    slow_cam.temperature_c = -10.0
    assert slow_cam.cooling
    with pytest.raises(ValueError):
        slow_cam.temperature_c = hi + 50
    with pytest.raises(TypeError):
        slow_cam.cooling = 1
    slow_cam.cooling = False
    assert not slow_cam.cooling
    # No temperature control fitted on this camera: the library refuses.
    with pytest.raises(vocam.Error) as e:
        cam.cooling = True
    assert e.value.code == -22 and e.value.message.endswith("failed: invalid argument or busy (-22)")

