#!/usr/bin/env bash
# Builds the Debian packages from a clean clone of the committed tree (HEAD),
# runs lintian on them (an error fails), unpacks every package into one fresh
# root, checks each package's files against the list below, the library's
# exports and the udev rule's activation, and runs the unpacked programs on
# the simulated bus: vocam, VoCam_Capture, the Python module and the
# GStreamer element. Slow (a whole package build), so scripts/test.sh runs
# it only when asked for (--config deb).
# Usage: scripts/deb.sh [WORKDIR]   (default: a temporary folder, removed on
# success; a fixed WORKDIR lets ccache reuse the compiles of an earlier run)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

bash scripts/deps.sh --deb
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-nocheck parallel=$(nproc)}"
# A later export, import or removal of a library symbol is an ABI change:
# it fails the build until debian/libvocamsdk1.symbols records it.
export DPKG_GENSYMBOLS_CHECK_LEVEL=2
if command -v ccache > /dev/null; then export VOCAM_DEB_CCACHE=1; fi

if [ $# -gt 0 ]; then
  work=$(realpath -m "$1"); keep=1
  rm -rf "$work/src" "$work/root" "$work/data-control" "$work"/*.deb "$work"/*.changes \
    "$work"/*.buildinfo
  mkdir -p "$work"
else
  work=$(mktemp -d); keep=0
fi
fail() { echo "deb.sh: $*" >&2; echo "deb.sh: the files are in $work" >&2; exit 1; }

echo "== building the packages in a clone of $(git rev-parse --short HEAD)"
git clone -q --no-hardlinks "$repo" "$work/src"
(cd "$work/src" && dpkg-buildpackage -b -us -uc) > "$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log"; fail "the package build failed (log: $work/build.log)"; }
changes=$(ls "$work"/vocamsdk_*.changes)

echo "== lintian"
lintian --fail-on error -I "$changes" || fail "lintian reports errors"

triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$triplet
# Every file of every package, shell patterns; the copyright and changelog
# each package carries in /usr/share/doc/<package>/ are checked apart.
declare -A expected=(
  [libvocamsdk1]="$lib/libVoCamSDK.so.1 $lib/libVoCamSDK.so.1.*"
  [libvocamsdk-dev]="$lib/libVoCamSDK.so $lib/pkgconfig/vocam.pc
    $lib/cmake/VoCamSDK/VoCamSDKConfig.cmake $lib/cmake/VoCamSDK/VoCamSDKConfigVersion.cmake
    $lib/cmake/VoCamSDK/VoCamSDKTargets.cmake $lib/cmake/VoCamSDK/VoCamSDKTargets-*.cmake
    usr/include/vocam/vocamapi.h usr/include/vocam/vocamkernels.h usr/include/vocam/vocamusb.h
    usr/include/vocam/vocamversion.h"
  [vocamsdk-data]="usr/lib/udev/rules.d/60-vocam.rules usr/share/vocam/files/README"
  [vocamsdk-simulated]="usr/share/vocam/simulated/vocam??/firm*.HEX
    usr/share/vocam/simulated/vocam??/fpga*.rbf"
  [vocam]="usr/bin/vocam usr/share/man/man1/vocam.1.gz"
  [vocam-capture]="usr/bin/VoCam_Capture usr/share/man/man1/VoCam_Capture.1.gz
    usr/share/applications/vocam-capture.desktop
    usr/share/icons/hicolor/scalable/apps/vocam-capture.svg"
  [indi-vocam]="usr/bin/indi_vocam_ccd usr/share/indi/indi_vocam.xml
    usr/share/man/man1/indi_vocam_ccd.1.gz"
  [gstreamer1.0-vocam]="$lib/gstreamer-1.0/libgstvocam.so"
  [python3-vocam]="usr/lib/python3/dist-packages/vocam/__init__.py
    usr/lib/python3/dist-packages/vocam/__init__.pyi usr/lib/python3/dist-packages/vocam/py.typed
    usr/lib/python3/dist-packages/vocam/_vocam.cpython-3*-$triplet.so"
)

echo "== contents"
set -f  # the patterns are matched against the packages, not the working folder
root="$work/root"
mkdir -p "$root"
# The -dbgsym packages of the programs and the library are dh_strip's own.
built=$(find "$work" -maxdepth 1 -name '*.deb' -printf '%f\n' | sed 's|_.*||' |
        grep -v -- '-dbgsym$' | sort)
[ "$built" = "$(printf '%s\n' "${!expected[@]}" | sort)" ] ||
  fail "packages built: $(echo $built); expected: $(printf '%s\n' "${!expected[@]}" | sort | xargs)"
for pkg in $built; do
  deb=$(find "$work" -maxdepth 1 -name "${pkg}_*.deb")
  all=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '/$')
  files=$(grep -v "^usr/share/doc/$pkg/\(copyright\|changelog.gz\)$" <<< "$all" || true)
  for f in $files; do
    ok=0
    for pat in ${expected[$pkg]}; do [[ $f == $pat ]] && { ok=1; break; }; done
    [ $ok = 1 ] || fail "$pkg: unexpected file $f"
  done
  for pat in ${expected[$pkg]}; do
    grep -q . <<< "$(for f in $files; do [[ $f == $pat ]] && echo "$f"; done)" ||
      fail "$pkg: nothing matches $pat"
  done
  grep -qx "usr/share/doc/$pkg/copyright" <<< "$all" || fail "$pkg: no copyright file"
  dpkg-deb -x "$deb" "$root"
  echo "$pkg: $(wc -w <<< "$files") files"
done
set +f

# The library exports its interface only (the build compared it with
# debian/libvocamsdk1.symbols): nothing of the standard library's, libusb's or
# the library's internal namespaces.
exported=$(nm -D --defined-only -C "$root/$lib/libVoCamSDK.so.1" | cut -d' ' -f3-)
others=$(grep -E '^((typeinfo |typeinfo name |vtable |VTT )?for )?(std::|__gnu_cxx::|vo::|vocam::|libusb_)' \
         <<< "$exported" || true)
[ -z "$others" ] || fail "the library exports more than its interface: $others"
echo "library: $(wc -l <<< "$exported") symbols exported, none internal"

echo "== the udev rule's activation"
# vocamsdk-data's postinst with udevadm stubbed: it reloads the rules and
# re-triggers the cameras where udev runs, and does nothing without udev.
dpkg-deb -e "$(find "$work" -maxdepth 1 -name 'vocamsdk-data_*.deb')" "$work/data-control"
mkdir -p "$work/stub"
printf '#!/bin/sh\necho "$*" >> "%s"\n' "$work/udevadm.log" > "$work/stub/udevadm"
chmod +x "$work/stub/udevadm"
sed "s|/run/udev|$work/run-udev|g; s|/usr/lib/udev|$root/usr/lib/udev|g" \
  "$work/data-control/postinst" > "$work/postinst"
rm -rf "$work/run-udev" "$work/udevadm.log"
PATH="$work/stub:$PATH" sh -e "$work/postinst" configure
[ ! -e "$work/udevadm.log" ] || fail "the postinst called udevadm without udev: $(cat "$work/udevadm.log")"
mkdir "$work/run-udev"
PATH="$work/stub:$PATH" sh -e "$work/postinst" configure
if ! ischroot; then
  [ "$(cat "$work/udevadm.log")" = "control --reload-rules
trigger --subsystem-match=usb --attr-match=idVendor=04b4
trigger --subsystem-match=usb --attr-match=idVendor=3ec1
trigger --subsystem-match=usb --attr-match=idVendor=3ec2" ] ||
    fail "the postinst did not reload and trigger: $(cat "$work/udevadm.log" 2>/dev/null)"
  grep -q 'GROUP="plugdev"' "$root/usr/lib/udev/rules.d/60-vocam.rules" || fail "the rule has no plugdev"
  echo "postinst: reloads the rules and triggers the cameras where udev runs, nothing without it"
fi

echo "== the unpacked programs"
# Every program finds the library the way an installed one does, by its
# RUNPATH relative to itself ($ORIGIN/..., which resolves to the system's
# library folder once installed): here, the root's library, with no
# LD_LIBRARY_PATH.
unset LD_LIBRARY_PATH
for elf in "$root"/usr/bin/* "$root/$lib"/*.so.1 "$root"/usr/lib/python3/dist-packages/vocam/*.so \
           "$root/$lib"/gstreamer-1.0/*.so; do
  paths=$(readelf -d "$elf" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p' | tr : '\n')
  ! grep -v '^\$ORIGIN' <<< "$paths" | grep . || fail "$elf: a search path not relative to it"
  libs=$(ldd "$elf")
  ! grep 'not found' <<< "$libs" || fail "$elf: libraries not found"
  case "$elf" in *.so.1) ;; *)
    grep -q "libVoCamSDK.so.1 => $root/" <<< "$libs" || fail "$elf does not load the root's library";;
  esac
done
# The simulated images are found relative to the library, in the root.
(cd "$work" && "$root/usr/bin/vocam" --sim model_02:state=ready grab -o "$work/frame.png")
[ -s "$work/frame.png" ] || fail "vocam grab wrote no picture"
VOCAM_SIM=model_02:state=ready "$root/usr/bin/VoCam_Capture" --screenshot "$work/window.png" \
  --frames 2 || fail "VoCam_Capture showed no frames"
[ -s "$work/window.png" ] || fail "VoCam_Capture wrote no screenshot"
echo "VoCam_Capture: a screenshot after two frames"
# Debian's interpreter, the one the package is for (not another found first on PATH).
PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c "
import vocam
assert vocam.__file__.startswith('$root/'), vocam.__file__
vocam.simulate('model_02:state=ready'); vocam.init()
with vocam.open() as cam, cam.stream() as s:
    frames = s.frames(1, timeout=5.0)
    shape = next(frames).rgb().shape
assert len(shape) == 3 and shape[0] * shape[1] > 0, shape
print('python3: vocam from the root, a frame of', shape)"
GST_PLUGIN_PATH="$root/$lib/gstreamer-1.0" GST_REGISTRY="$work/gst-registry.bin" \
  gst-inspect-1.0 vocamsrc > "$work/gst-inspect.txt" || fail "gst-inspect-1.0 vocamsrc failed"
grep -q "$root/$lib/gstreamer-1.0/libgstvocam.so" "$work/gst-inspect.txt" ||
  fail "gst-inspect-1.0 did not load the root's plugin"
GST_PLUGIN_PATH="$root/$lib/gstreamer-1.0" GST_REGISTRY="$work/gst-registry.bin" \
  VOCAM_SIM=model_02:state=ready gst-launch-1.0 -q vocamsrc num-buffers=2 ! fakesink ||
  fail "gst-launch-1.0 vocamsrc num-buffers=2 ! fakesink failed"
echo "gstreamer: vocamsrc from the root's plugin, two buffers from the simulated camera"
echo "deb.sh: $(wc -w <<< "$built") packages built, lintian clean of errors, contents and programs as expected"
[ $keep = 1 ] || rm -rf "$work"
