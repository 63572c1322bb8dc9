#!/usr/bin/env python3
"""A long exposure through indiserver and indi_vocam_ccd, outside CI:

    python3 bench/indi_soak.py build/<config> [--seconds 30] [--count 1]

On a simulated cooled camera (exposures up to an hour), each exposure is
saved by the driver, checked with fitsverify and its header's EXPTIME and
DATE-OBS; the line printed per exposure gives how long past its exposure
the file took to arrive."""

import argparse
import calendar
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "indi"))
sys.dont_write_bytecode = True  # nothing written into the source tree


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", help="the build folder (with indi/indi_vocam_ccd)")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--count", type=int, default=1)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ["INDI_VOCAM_DRIVER"] = os.path.join(build, "indi", "indi_vocam_ccd")
    os.environ["INDI_VOCAM_RESOURCES"] = os.path.join(build, "resources", "files")
    from indi_harness import Server, fits_header  # after the environment is set

    cam = "VoCam model_05"
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        server = Server(folder, "model_05:state=ready")
        try:
            server.connect(cam)
            images = os.path.join(folder, "images")
            os.mkdir(images)
            server.set(cam + ".UPLOAD_MODE.UPLOAD_LOCAL=On",
                       "%s.UPLOAD_SETTINGS.UPLOAD_DIR=%s;UPLOAD_PREFIX=soak_XXX" % (cam, images))
            for n in range(args.count):
                before = set(os.listdir(images))
                started = time.time()
                server.set("%s.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=%g" % (cam, args.seconds))
                path = None
                while time.time() < started + args.seconds + 30:
                    new = set(os.listdir(images)) - before
                    if new and server.value(cam + ".CCD_EXPOSURE._STATE") == "Ok":
                        path = os.path.join(images, new.pop())
                        break
                    time.sleep(0.2)
                took = time.time() - started
                if path is None:
                    print("exposure %d: no image after %.1f s (state %s)" % (
                        n + 1, took, server.value(cam + ".CCD_EXPOSURE._STATE")))
                    failures += 1
                    continue
                verified = subprocess.run(["fitsverify", "-q", path], capture_output=True,
                                          text=True).stdout.strip()
                h = fits_header(path)
                whole, _, fraction = h["DATE-OBS"].partition(".")
                begin = calendar.timegm(time.strptime(whole, "%Y-%m-%dT%H:%M:%S")) + \
                    float("0." + fraction)
                ok = verified.startswith("verification OK") and \
                    float(h["EXPTIME"]) == args.seconds and started - 0.05 <= begin
                failures += not ok
                print("exposure %d: %g s, image after %.2f s (%.2f s past the exposure), "
                      "DATE-OBS %.2f s after the request, %s" % (
                          n + 1, args.seconds, took, took - args.seconds, begin - started,
                          verified if ok else "FAILED: " + verified))
        finally:
            reports = server.stop()
            if reports:
                print("".join(reports))
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
