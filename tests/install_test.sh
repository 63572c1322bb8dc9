#!/usr/bin/env bash
# Installs a build into a fresh prefix, builds the C example against it with
# pkg-config and with CMake's find_package, and runs both and the installed
# vocam on the simulated bus.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 source=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

for f in lib/libVoCamSDK.so lib/pkgconfig/vocam.pc lib/cmake/VoCamSDK/VoCamSDKConfig.cmake \
         include/vocam/vocamapi.h include/vocam/vocamusb.h bin/vocam share/man/man1/vocam.1 \
         lib/udev/rules.d/60-vocam.rules; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(readelf -d "$prefix/lib/libVoCamSDK.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libVoCamSDK.so.1" ] || { echo "soname is '$soname'"; exit 1; }

export VOCAM_SIM=model_02,model_16:state=ready
resources=$build/resources/files

# pkg-config, as a C99 program with every warning an error.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror "$source/examples/capture.c" \
  $(pkg-config --cflags --libs vocam) -Wl,-rpath,"$prefix/lib" -o "$work/capture-pc"
"$work/capture-pc" --resources "$resources" "$work/pc.ppm" 2> /dev/null
head -c 16 "$work/pc.ppm" | grep -q '^P6' || { echo "no picture from the pkg-config build"; exit 1; }

# find_package(VoCamSDK), in a project of its own.
cmake -S "$source/examples" -B "$work/example" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$prefix/lib" > "$work/example.log"
cmake --build "$work/example" > "$work/example-build.log"
"$work/example/capture" --resources "$resources" "$work/cmake.ppm" 2> /dev/null
cmp -s <(head -c 16 "$work/pc.ppm") <(head -c 16 "$work/cmake.ppm") || { echo "the two builds differ"; exit 1; }
"$work/example/capture" --help | grep -q '^usage:'

# Nothing lands outside the prefix; the Python package, where it was built,
# imports from there and finds the installed library beside it.
if grep -E '^-- (Installing|Up-to-date): ' "$work/install.log" | grep -v -F " $prefix/"; then
  echo "installed outside the prefix"; exit 1
fi
if compgen -G "$build/python/vocam/_vocam*.so" > /dev/null; then
  module=$(find "$prefix" -name '_vocam*.so')
  [ -n "$module" ] || { echo "the Python package is not under the prefix"; exit 1; }
  readelf -d "$module" | grep -q 'R.*PATH.*\$ORIGIN' || { echo "no \$ORIGIN run path in $module"; exit 1; }
  python=$(sed -n 's/^_\{0,1\}Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt" | head -n 1)
  (cd "$work" && PYTHONPATH=$(dirname "$(dirname "$module")") VOCAM_SIM=model_02:state=ready \
    "${python:-python3}" -c 'import vocam; vocam.init(); print(vocam.open().model)') | grep -q 'model_02' \
    || { echo "the installed Python package does not work"; exit 1; }
fi

# The installed tool finds the installed library beside it.
"$prefix/bin/vocam" --resources "$resources" list | grep -q 'waiting for firmware'
(cd "$work" && "$prefix/bin/vocam" --resources "$resources" grab -o tool.png) | grep -q 'saved tool.png'
echo "installed, built against with pkg-config and find_package, and run"
