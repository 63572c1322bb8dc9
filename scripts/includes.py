#!/usr/bin/env python3
"""The library's include graph by folder, checked against its layers.

Prints one line per edge between folders, "from-folder -> to-folder  count",
for every quoted include of Source/ and Simulator/ that names a file of the
tree, then each include that runs upward or sideways in the layer order below
("UPWARD file -> file"). Exits 1 when there is one, so a review or CI can run
it.

    scripts/includes.py [--top DIR]
"""
import argparse
import collections
import re
import sys
from pathlib import Path

# Top to bottom. A file may include files of its own layer's folder (and its
# subfolders) and of any lower layer; the folders of one layer do not include
# each other.
LAYERS = [
    ("auto algorithms", ["Source/auto"]),
    ("camera API", ["Source/vo_cam"]),
    ("colour engine", ["Source/votf"]),
    ("kernels", ["Source/color"]),
    ("transport, registers, streaming", ["Source/transport"]),
    ("backend registry", ["Source/usbhost/registry"]),
    ("USB backends", ["Source/usbhost/libusb", "Simulator"]),
    ("USB host interface", ["Source/usbhost"]),
    ("device table, wire protocol", ["Source/device"]),
    ("base", ["Source/base"]),
    ("public headers", ["Include"]),
]
# Where the files of the flat tree (before Source/ had a folder per layer)
# belong, so that the graph of an older tree is judged by the same layers.
FLAT = {
    "Source/vo_cam": "Source/vo_cam", "Source/vo_errors": "Source/vo_cam",
    "Source/vo_version": "Source/vo_cam", "Source/win2posix": "Source/vo_cam",
    "Source/votf": "Source/votf", "Source/votfmisc": "Source/votf",
    "Source/colora": "Source/votf", "Source/matrix": "Source/votf",
    "Source/vo_usb": "Source/transport", "Source/vo_fx2": "Source/transport",
    "Source/vo_fpga": "Source/transport", "Source/vo_files": "Source/transport",
    "Source/vo_cameras": "Source/device",
    "Source/vo_guard": "Source/base", "Source/vo_log": "Source/base",
    "Source/vo_sync": "Source/base",
}
SCANNED = ("Source", "Simulator")
SEARCH = ("Source", "", "Include")  # the library's include path, in order
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SUFFIXES = {".c", ".cpp", ".h", ".inc"}


def resolve(top, source, name):
    for base in [source.parent] + [top / s for s in SEARCH]:
        candidate = (base / name).resolve()
        if candidate.is_file():
            return candidate
    return None


def home(path):
    """The layer folder a file (path relative to the top, posix) belongs to."""
    stem = path.rsplit(".", 1)[0]
    for flat, folder in FLAT.items():
        if stem == flat or path.startswith(flat + "/"):
            return folder
    best = None
    for _, folders in LAYERS:
        for folder in folders:
            if path.startswith(folder + "/") and (best is None or len(folder) > len(best)):
                best = folder
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--top", default=Path(__file__).resolve().parent.parent, type=Path)
    args = parser.parse_args()
    top = args.top.resolve()
    rank = {f: level for level, (_, folders) in enumerate(LAYERS) for f in folders}
    edges = collections.Counter()
    bad = []
    for root in SCANNED:
        for source in sorted((top / root).rglob("*")):
            if source.suffix not in SUFFIXES or not source.is_file():
                continue
            here = source.relative_to(top).as_posix()
            for name in INCLUDE.findall(source.read_text(errors="replace")):
                target = resolve(top, source, name)
                if target is None:
                    continue  # generated, or outside the tree
                there = target.relative_to(top).as_posix()
                edges[(source.parent.relative_to(top).as_posix(), target.parent.relative_to(top).as_posix())] += 1
                a, b = home(here), home(there)
                if a is None or b is None:
                    bad.append(f"UNPLACED {here} -> {there}")
                elif a != b and rank[b] <= rank[a]:
                    bad.append(f"UPWARD {here} -> {there}  ({a} -> {b})")
    print("# include graph by folder: from -> to  includes")
    for (a, b), n in sorted(edges.items()):
        if a != b:
            print(f"{a} -> {b}  {n}")
    print("# layers, top to bottom")
    for level, (name, folders) in enumerate(LAYERS):
        print(f"{level}: {name}: {', '.join(folders)}")
    print(f"# {len(bad)} includes against the layers")
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
