"""vocamsrc as users run it: the GStreamer tools, OpenCV through CAP_GSTREAMER
and a TCP stream over 127.0.0.1, on the simulated bus, with the build's plugin
(GST_PLUGIN_PATH set by CTest)."""
import os
import socket
import subprocess
import time

import cv2
import numpy as np

MONO = "model_04:state=ready"  # 640 x 480 monochrome
ENV = dict(os.environ, VOCAM_SIM=MONO)


def run(*command, env=ENV):
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


def test_inspect_and_device_monitor_show_the_element_and_each_camera():
    inspect = run("gst-inspect-1.0", "vocamsrc")
    assert inspect.returncode == 0, inspect.stderr
    assert "Source/Video" in inspect.stdout and "exposure" in inspect.stdout
    env = dict(ENV, VOCAM_SIM="model_02:state=ready:serial=5," + MONO + ":serial=6")
    monitor = run("gst-device-monitor-1.0", "Video/Source", env=env)
    assert monitor.returncode == 0, monitor.stderr
    for line in ("VoCam model_02 (serial 5)", "VoCam model_04 (serial 6)",
                 "video/x-bayer, format=rggb", "format=GRAY8", "vocamsrc serial=6"):
        assert line in monitor.stdout, monitor.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_tcp_stream_moves_whole_frames():
    port = free_port()
    server = subprocess.Popen(
        ["gst-launch-1.0", "-q", "vocamsrc", "exposure=5", "num-buffers=400", "!",
         "video/x-raw,format=GRAY8,width=640,height=480", "!", "gdppay", "!",
         "tcpserversink", "host=127.0.0.1", f"port={port}"],
        env=dict(ENV, VOCAM_SIM=MONO + ":stamp=1"), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE)
    try:
        capture = None
        for _ in range(50):  # the server listens once its pipeline runs
            capture = cv2.VideoCapture(
                f"tcpclientsrc host=127.0.0.1 port={port} ! gdpdepay ! appsink",
                cv2.CAP_GSTREAMER)
            if capture.isOpened():
                break
            capture.release()
            time.sleep(0.1)
        assert capture is not None and capture.isOpened()
        reads = [capture.read() for _ in range(10)]
        capture.release()
    finally:
        server.kill()
        server.wait()
    assert all(ok for ok, _ in reads)
    frames = [frame.reshape(-1) for _, frame in reads]
    assert all(f.size == 640 * 480 for f in frames)
    # Frames of one camera differ only in the frame number the camera writes
    # into one 8-byte word every 4 KiB (and the last word): any other
    # difference is a torn or mixed-up frame.
    stamped = np.zeros(640 * 480, dtype=bool)
    for at in list(range(0, 640 * 480 - 7, 4096)) + [640 * 480 - 8]:
        stamped[at:at + 8] = True
    for f in frames[1:]:
        assert not (f != frames[0])[~stamped].any()
    assert len({f.tobytes() for f in frames}) > 1  # frames, not one frame again
