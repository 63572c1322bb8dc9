"""vocamsrc as users run it: the GStreamer tools, and OpenCV reading a TCP
stream over 127.0.0.1, on the simulated bus, with the build's plugin
(GST_PLUGIN_PATH set by CTest)."""
import os
import socket
import subprocess
import time

import cv2
import numpy as np
import pytest

# The monochrome camera (640 x 480) stamps each frame's number into it.
ENV = dict(os.environ, VOCAM_SIM="model_02:state=ready:serial=5,model_04:state=ready:serial=6:"
           "stamp=1,model_03:state=ready:serial=7,model_06:state=ready:color=10:serial=8")


def run(*command, env=ENV):
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


def test_the_monitor_finds_each_camera_and_the_element():
    monitor = run("gst-device-monitor-1.0", "Video/Source")
    assert monitor.returncode == 0, monitor.stderr
    # Each camera's raw frames first, their format named after its mosaic.
    for line in ("VoCam model_02 (serial 5)", "VoCam model_04 (serial 6)", "vocamsrc serial=6",
                 "caps  : video/x-bayer, format=rggb, width=[ 8, 1280, 8 ], height=[ 4, 1024, 2 ]",
                 "caps  : video/x-raw, format=GRAY8, width=[ 8, 640, 8 ], height=[ 4, 480, 2 ]",
                 "caps  : video/x-bayer, format=grbg, width=[ 8, 1600, 8 ], height=[ 4, 1200, 2 ]",
                 "caps  : video/x-bayer, format=gbrg, width=[ 8, 1280, 8 ], height=[ 4, 960, 2 ]"):
        assert line in monitor.stdout, monitor.stdout


@pytest.mark.parametrize("sim,launch,says", [
    ("model_04:state=boot", "vocamsrc", "No camera found"),
    ("model_04:state=ready:busy=100", "vocamsrc", "in use by another program"),
    ("model_02:state=ready", "vocamsrc ! video/x-bayer,width=1001,height=480",
     "cannot deliver 1001x480: it delivers widths 8 to 1280 in steps of 8"),
    ("model_02:state=ready", "vocamsrc offset-x=700 ! video/x-bayer,width=640,height=480",
     "offsets 700,-1 put the 640x480 window"),
], ids=["no camera", "held", "size", "place"])
def test_a_pipeline_the_camera_cannot_run_fails_saying_why(sim, launch, says):
    out = run("gst-launch-1.0", *launch.split(), "!", "fakesink", env=dict(ENV, VOCAM_SIM=sim))
    assert out.returncode != 0 and says in out.stdout + out.stderr, out.stdout + out.stderr


def test_opencv_reads_whole_frames_of_a_tcp_stream():
    """The README's lossless stream over TCP, read by OpenCV through its
    GStreamer back end, as a lab program would; the element streams the
    camera the monitor's launch line names."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen(
        ["gst-launch-1.0", "-q", "vocamsrc", "serial=6", "exposure=5", "num-buffers=400", "!",
         "video/x-raw,format=GRAY8,width=640,height=480", "!", "gdppay", "!",
         "tcpserversink", "host=127.0.0.1", f"port={port}"],
        env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(50):  # the server listens once its pipeline runs
            capture = cv2.VideoCapture(
                f"tcpclientsrc host=127.0.0.1 port={port} ! gdpdepay ! appsink",
                cv2.CAP_GSTREAMER)
            if capture.isOpened():
                break
            time.sleep(0.1)
        assert capture.isOpened()
        reads = [capture.read() for _ in range(10)]
        capture.release()
    finally:
        server.kill()
        server.wait()
    assert all(ok and frame.size == 640 * 480 for ok, frame in reads)
    frames = [frame.reshape(-1) for _, frame in reads]
    # Frames of one camera differ only in the frame number the camera writes
    # into one 8-byte word every 4 KiB (and the last word): any other
    # difference is a torn or mixed-up frame.
    stamped = np.zeros(640 * 480, dtype=bool)
    for at in list(range(0, 640 * 480 - 7, 4096)) + [640 * 480 - 8]:
        stamped[at:at + 8] = True
    assert all(not (f != frames[0])[~stamped].any() for f in frames[1:])
    assert len({f.tobytes() for f in frames}) > 1  # frames, not one frame again
