#!/usr/bin/env python3
"""Frames per second through the Python binding against the same loop in C.

    python3 bench/python_stream_bench.py [BUILD_DIR] [SECONDS] [ROUNDS]

Streams 1280x1024 frames from an unpaced simulated camera: a loop that only
takes `frame.raw`, and one that converts each frame with `frame.rgb("fast")`
(nearest neighbour, as the C loop does). The C figures come from the
stream_bench program of the same build (BM_WaitRelease and
BM_WaitConvertRelease), so BUILD_DIR must be configured with VOCAM_BENCH=ON
and have the targets _vocam and stream_bench built. The Python and the C
loops take turns for ROUNDS rounds, and the best rate of each is shown: on a
shared machine the slowest runs measure the neighbours.
"""
import json
import os
import subprocess
import sys
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/dbg")
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3.0
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
sys.path.insert(0, os.path.join(build, "python"))
import vocam  # noqa: E402


def python_rate(cam, body):
    with cam.stream() as s:
        frames = s.frames()
        next(frames)  # the stream is up
        n, began = 0, time.perf_counter()
        for frame in frames:
            body(frame)
            n += 1
            if time.perf_counter() - began >= seconds:
                break
        return n / (time.perf_counter() - began)


def c_rates():
    out = subprocess.run([os.path.join(build, "bench", "stream_bench"),
                          "--benchmark_filter=BM_WaitRelease|BM_WaitConvertRelease",
                          f"--benchmark_min_time={seconds}", "--benchmark_format=json"],
                         capture_output=True, text=True, check=True)
    runs = {b["name"].split("/")[0]: b for b in json.loads(out.stdout)["benchmarks"]}
    per_second = {"us": 1e6, "ms": 1e3, "ns": 1e9}
    return {name: per_second[b["time_unit"]] / b["real_time"] for name, b in runs.items()}


def main():
    sim = "model_02:state=ready:fps=0"
    vocam.simulate(sim)
    vocam.init(os.path.join(build, "resources", "files"))
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # the library's per-call lines
    py_raw = py_rgb = c_raw = c_rgb = 0.0
    for _ in range(rounds):
        with vocam.open() as cam:
            cam.subsample = 1
            cam.window = (0, 0, 1280, 1024)
            py_raw = max(py_raw, python_rate(cam, lambda f: f.raw[0, 0]))
            py_rgb = max(py_rgb, python_rate(cam, lambda f: f.rgb("fast")))
        c = c_rates()
        c_raw, c_rgb = max(c_raw, c["BM_WaitRelease"]), max(c_rgb, c["BM_WaitConvertRelease"])
    print(f"{'loop':<26}{'Python fps':>12}{'C fps':>10}{'ratio':>8}")
    print(f"{'wait, .raw, release':<26}{py_raw:>12.1f}{c_raw:>10.1f}{py_raw / c_raw:>8.1%}")
    print(f"{'wait, .rgb(), release':<26}{py_rgb:>12.1f}{c_rgb:>10.1f}{py_rgb / c_rgb:>8.1%}")


main()
