"""vocamsrc as users run it: the GStreamer tools on the simulated bus, with
the build's plugin (GST_PLUGIN_PATH set by CTest). The frames' contents are
the in-process suite's."""
import os
import subprocess

MONO = "model_04:state=ready"  # 640 x 480 monochrome
ENV = dict(os.environ, VOCAM_SIM="model_02:state=ready:serial=5," + MONO + ":serial=6")


def run(*command):
    return subprocess.run(command, env=ENV, capture_output=True, text=True, timeout=60)


def test_the_tools_find_the_element_and_each_camera_and_stream_from_one(tmp_path):
    monitor = run("gst-device-monitor-1.0", "Video/Source")
    assert monitor.returncode == 0, monitor.stderr
    for line in ("VoCam model_02 (serial 5)", "VoCam model_04 (serial 6)",
                 "video/x-bayer, format=rggb", "format=GRAY8", "vocamsrc serial=6"):
        assert line in monitor.stdout, monitor.stdout
    # The launch line the monitor gives streams that camera.
    frames = tmp_path / "frames"
    launch = run("gst-launch-1.0", "-q", "vocamsrc", "serial=6", "num-buffers=5", "!",
                 "video/x-raw,format=GRAY8,width=640,height=480", "!", "filesink",
                 "location=%s" % frames)
    assert launch.returncode == 0, launch.stderr
    assert frames.stat().st_size == 5 * 640 * 480
