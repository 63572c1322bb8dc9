"""indi_vocam_ccd under indiserver on the simulated bus, as INDI clients use
it: connection, exposures and their FITS files, geometry, the image over
a chained server, cooling, abort, video and SER recording, a camera that
leaves mid-exposure or is held by another program. The files' headers are
read with astropy, and checked whole with fitsverify.
"""

import datetime
import os
import struct
import subprocess
import time

import pytest
from astropy.io import fits

from indi_harness import Monitor, Server, until

CAM = "VoCam model_02"  # 1280 x 1024, RGGB, subsampling up to 4, exposure to 10 s


@pytest.fixture
def serve(tmp_path):
    servers = []

    def start(sim=None, remote=None):
        folder = tmp_path / ("server%d" % len(servers))
        folder.mkdir()
        servers.append(Server(folder, sim, remote))
        return servers[-1]

    yield start
    reports = [r for s in reversed(servers) for r in s.stop()]
    assert not reports, "".join(reports)


def fitsverify(path):
    out = subprocess.run(["fitsverify", "-q", path], capture_output=True, text=True)
    assert "verification OK" in out.stdout, out.stdout + out.stderr


def expose(s, device, seconds, folder):
    """An exposure saved in `folder`; the new file's path."""
    folder.mkdir(exist_ok=True)
    s.set("%s.UPLOAD_MODE.UPLOAD_LOCAL=On" % device,
          "%s.UPLOAD_SETTINGS.UPLOAD_DIR=%s;UPLOAD_PREFIX=image_XXX" % (device, folder))
    before = set(os.listdir(folder))
    s.set("%s.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=%g" % (device, seconds))
    new = lambda: set(os.listdir(folder)) - before
    assert until(lambda: new() and s.value(device + ".CCD_EXPOSURE._STATE") == "Ok",
                 seconds + 10, 0.1), "no image after %g s" % seconds
    return str(folder / new().pop())


def test_connect_brings_up_and_names_by_model_and_serial(serve):
    # The first camera still waits for its firmware; two of one model are
    # told apart by their serial numbers.
    s = serve("model_02:state=boot,model_02:state=ready:serial=77")
    first, second = CAM + " 1000", CAM + " 77"
    s.connect(first)
    # (Its depth and mosaic are read in the exposures' FITS headers.)
    info = s.get(first + ".CCD_INFO.*")
    assert [info[first + ".CCD_INFO.CCD_MAX_" + k] for k in "XY"] == ["1280", "1024"]
    assert s.wait_device(second)

    # The data rates the camera offers are a choice; the pixel size, which
    # the cameras do not report, a client gives, and it is kept.
    s.set(first + ".CCD_DATA_RATE.RATE_12000=On")
    assert s.wait('"%s.CCD_DATA_RATE.RATE_12000"==1 && "%s.CCD_DATA_RATE._STATE"==1'
                  % (first, first), t=3)
    s.set(first + ".CCD_INFO.CCD_PIXEL_SIZE=-1")
    assert s.wait('"%s.CCD_INFO._STATE"==3' % first, t=3)
    s.set(first + ".CCD_INFO.CCD_PIXEL_SIZE=5.2")
    s.set(first + ".CONNECTION.DISCONNECT=On")
    assert s.wait('"%s.CONNECTION.DISCONNECT"==1' % first, t=3)
    s.connect(first)
    assert s.wait('abs("%s.CCD_INFO.CCD_PIXEL_SIZE_X"-5.2)<0.001' % first, t=3)


def test_exposure_abort_fits_geometry_and_refused_values(serve, tmp_path):
    s = serve("model_02:state=ready")
    s.connect(CAM)
    s.set(CAM + ".CCD_GAIN.GAIN=2")
    set_at = time.time()
    path = expose(s, CAM, 0.5, tmp_path / "images")
    fitsverify(path)
    h = fits.getheader(path)
    assert (h["NAXIS1"], h["NAXIS2"], h["BITPIX"]) == (1280, 1024, 8)
    assert (h["EXPTIME"], h["GAIN"]) == (0.5, 2)
    assert (h["BAYERPAT"], h["XBINNING"], h["XORGSUBF"]) == ("RGGB", 1, 0)
    assert (h["INSTRUME"], h["SERIALNO"]) == (CAM, "1000")
    # The frame began after the exposure was set, and ended before the
    # file was written.
    start = datetime.datetime.fromisoformat(h["DATE-OBS"] + "+00:00").timestamp()
    assert set_at - 0.05 <= start <= os.path.getmtime(path) - 0.5

    # An aborted exposure ends at once, and the camera takes the next one:
    # with subframe and binning (the camera's subsampling), a smaller image.
    s.set(CAM + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=10")
    assert s.wait('"%s.CCD_EXPOSURE._STATE"==2' % CAM, t=3)
    s.set(CAM + ".CCD_ABORT_EXPOSURE.ABORT=On")
    assert s.wait('"%s.CCD_EXPOSURE._STATE"==0' % CAM, t=2)
    s.set(CAM + ".CCD_FRAME.X=64;Y=32;WIDTH=640;HEIGHT=480")
    s.set(CAM + ".CCD_BINNING.HOR_BIN=2;VER_BIN=2")
    h = fits.getheader(expose(s, CAM, 0.1, tmp_path / "images"))
    assert (h["NAXIS1"], h["NAXIS2"], h["XBINNING"], h["YBINNING"]) == (320, 240, 2, 2)
    assert (h["XORGSUBF"], h["YORGSUBF"]) == (64, 32)

    # Values outside the camera's range are refused, the property in alert,
    # and nothing is sent: gain and binning stay as they were.
    for spec in ("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=100", "CCD_BINNING.HOR_BIN=5;VER_BIN=5",
                 "CCD_GAIN.GAIN=100"):
        s.set("%s.%s" % (CAM, spec))
        assert s.wait('"%s.%s._STATE"==3' % (CAM, spec.split(".")[0]), t=3), spec
    assert s.get(CAM + ".CCD_BINNING.HOR_BIN", CAM + ".CCD_GAIN.GAIN") == {
        CAM + ".CCD_BINNING.HOR_BIN": "2", CAM + ".CCD_GAIN.GAIN": "2"}
    # A frame off the camera's steps (8 across, 2 down) is moved onto them.
    s.set(CAM + ".CCD_FRAME.X=3;Y=1;WIDTH=101;HEIGHT=99")
    assert s.wait('"%s.CCD_FRAME._STATE"==3' % CAM, t=3)
    frame = s.get(CAM + ".CCD_FRAME.*")
    assert [frame[CAM + ".CCD_FRAME." + k] for k in ("X", "Y", "WIDTH", "HEIGHT")] == \
        ["0", "0", "96", "98"]


# The BLOB passes the driver's server and a chained one, as a remote client
# of an observatory's server gets it.
def test_image_over_tcp_through_a_chained_server(serve, tmp_path):
    a = serve("model_02:state=ready")
    assert a.wait_device(CAM)
    b = serve(remote="%s@127.0.0.1:%d" % (CAM, a.port))
    b.connect(CAM)
    # A small frame: a chained server parses every byte of an image it passes on.
    b.set(CAM + ".CCD_FRAME.X=0;Y=0;WIDTH=256;HEIGHT=128")
    path = b.fetch_image(CAM, 0.2, tmp_path)
    fitsverify(path)
    assert fits.getdata(path).shape == (128, 256)


def test_cooling_reaches_its_setpoint(serve, tmp_path):
    cam = "VoCam model_05"  # cooled, with a fan
    s = serve("model_05:state=ready:coolrate=50000")
    s.connect(cam)
    assert s.value(cam + ".CCD_COOLER_POWER.CCD_COOLER_VALUE") == "0"
    s.set(cam + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=-10")
    assert s.wait('"{0}.CCD_TEMPERATURE._STATE"==1 && '
                  'abs("{0}.CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE"+10)<0.3'.format(cam), t=20)
    v = s.get(cam + ".CCD_COOLER.COOLER_ON", cam + ".CCD_COOLER_POWER.CCD_COOLER_VALUE",
              cam + ".CCD_FAN.FAN_ON")
    assert list(v.values()) == ["On", "100", "On"]
    s.set(cam + ".CCD_FAN.FAN_OFF=On")
    assert s.wait('"%s.CCD_FAN.FAN_OFF"==1' % cam, t=3)

    s.set(cam + ".CCD_FRAME.X=0;Y=0;WIDTH=256;HEIGHT=256")  # a small frame is quick to make
    h = fits.getheader(expose(s, cam, 0.1, tmp_path / "images"))
    assert abs(h["CCD-TEMP"] + 10) < 0.3 and h["SET-TEMP"] == -10

    # A setpoint beyond the cooler's range (-40 C) is refused, not clamped.
    s.set(cam + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=-100")
    assert s.wait('"%s.CCD_TEMPERATURE._STATE"==3' % cam, t=3)
    time.sleep(1.5)
    assert abs(float(s.value(cam + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE")) + 10) < 0.3
    s.set(cam + ".CCD_COOLER.COOLER_OFF=On")
    assert s.wait('"%s.CCD_COOLER_POWER.CCD_COOLER_VALUE"==0' % cam, t=3)


def test_video_rate_and_ser_recording(serve, tmp_path):
    s = serve("model_02:state=ready")
    s.connect(CAM)
    # A streaming exposure below the camera's 10 us is raised to it, and said so.
    s.set(CAM + ".STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.000001")
    s.set(CAM + ".CCD_VIDEO_STREAM.STREAM_ON=On")
    assert s.wait('"{0}.STREAMING_EXPOSURE._STATE"==3 && '
                  '"{0}.STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE"==0.00001'.format(CAM), t=3)
    s.set(CAM + ".CCD_VIDEO_STREAM.STREAM_OFF=On")
    # The simulated camera paces frames by their exposure: 10 a second.
    s.set(CAM + ".STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.1")
    s.set(CAM + ".CCD_VIDEO_STREAM.STREAM_ON=On")
    assert s.wait('abs("%s.FPS.AVG_FPS"-10)<2' % CAM, t=6)
    s.set(CAM + ".CCD_VIDEO_STREAM.STREAM_OFF=On")
    assert s.wait('"%s.CCD_VIDEO_STREAM.STREAM_OFF"==1' % CAM, t=3)

    s.set(CAM + ".STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.01")
    s.set(CAM + ".RECORD_OPTIONS.RECORD_FRAME_TOTAL=10",
          "%s.RECORD_FILE.RECORD_FILE_DIR=%s;RECORD_FILE_NAME=jupiter" % (CAM, tmp_path / "rec"))
    s.set(CAM + ".RECORD_STREAM.RECORD_FRAME_ON=On")
    path = tmp_path / "rec" / "jupiter.ser"

    def header():  # colour, width, height, depth and frames; zeros before there is one
        data = path.read_bytes()[:42] if path.exists() else b""
        _, colour, _, *sizes = struct.unpack_from("<7i", data.ljust(42, b"\0"), 14)
        return (colour, *sizes)

    until(lambda: header()[4] >= 9 and s.value(CAM + ".RECORD_STREAM.RECORD_OFF") == "On", 15, 0.2)
    # INDI 1.9's recorder closes the file on the frame that completes the
    # count, and may do so before its writing thread has stored that frame.
    colour, width, height, depth, frames = header()
    assert frames in (9, 10) and (colour, width, height, depth) == (8, 1280, 1024, 8)
    # The frames and their times, each whole.
    assert path.stat().st_size == 178 + frames * (1280 * 1024 + 8)
    # The stream is over: the camera takes exposures again.
    fitsverify(expose(s, CAM, 0.1, tmp_path / "images"))


def test_unplug_mid_exposure_then_reconnect(serve, tmp_path):
    # The camera leaves 4 s after its first frame (time enough to start the
    # long exposure, also under a sanitizer) and is back 1 s later.
    s = serve("model_02:state=ready:unplug=4:replug=1")
    s.connect(CAM)
    monitor = Monitor(s, CAM, tmp_path)
    expose(s, CAM, 0.1, tmp_path / "images")
    s.set(CAM + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=10")
    assert monitor.saw('name="CCD_EXPOSURE" state="Alert"', "left the bus during the exposure")
    assert s.wait('"%s.CONNECTION.DISCONNECT"==1' % CAM, t=3)
    monitor.close()
    until(lambda: s.set(CAM + ".CONNECTION.CONNECT=On") or
          s.wait('"%s.CONNECTION._STATE"==1' % CAM, t=2), 10, 0)
    fitsverify(expose(s, CAM, 0.1, tmp_path / "images"))


def test_camera_held_by_another_program(serve, tmp_path):
    # Every open is refused: the camera cannot be asked its model either.
    s = serve("model_02:state=ready:busy=1000")
    device = "VoCam camera 0x00A1"
    assert s.wait_device(device)
    monitor = Monitor(s, device, tmp_path)
    s.set(device + ".CONNECTION.CONNECT=On")
    assert monitor.saw("in use by another program"), monitor.text()
    assert s.wait('"%s.CONNECTION._STATE"==3' % device, t=3)
    monitor.close()
