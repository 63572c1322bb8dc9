#!/usr/bin/env bash
# Builds and runs every test: gcc, clang, an AddressSanitizer +
# UndefinedBehaviorSanitizer build of the whole suite, and a ThreadSanitizer
# build of the streaming tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

build() {  # name, then extra cmake arguments; TARGET limits what is built
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -G Ninja -DVOCAM_BENCH=OFF "$@" > /dev/null
  # shellcheck disable=SC2086 # TARGET may name several targets
  cmake --build "$dir" -j "$jobs" ${TARGET:+--target $TARGET}
}
passed=0
run() {
  local log
  log=$(mktemp)
  ctest --test-dir "build/$1" --output-on-failure -j "$jobs" "${@:2}" | tee "$log"
  passed=$((passed + $(sed -n 's/.* 0 tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -1)))
  rm -f "$log"
}

echo "== gcc"
build gcc -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DVOCAM_BENCH=ON  # benchmarks are built, not run
run gcc
echo "== clang"
build clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
run clang
echo "== clang, address and undefined-behaviour sanitizers"
build asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVOCAM_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug
# Qt's and fontconfig's process-lifetime caches are not leaks of ours.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/capture/lsan.supp" run asan
echo "== clang, thread sanitizer: streaming and the capture application's worker"
tsan_tests=(stream_test format_test convert_bands_test capture/capture_controller_test)
cmake -S . -B build/tsan -G Ninja -DVOCAM_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVOCAM_TSAN=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build/tsan -j "$jobs" --target "${tsan_tests[@]##*/}"
for t in "${tsan_tests[@]}"; do
  QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/capture/tsan.supp" \
    "build/tsan/tests/$t"
done
fuzz() {  # target, seed corpus, seconds; seeded, so a run can be repeated
  local corpus
  corpus=$(mktemp -d)
  cp "$2"/* "$corpus"/
  if ! "build/fuzz/tests/fuzz/$1" -seed=1 -max_total_time="$3" -timeout=20 -print_final_stats=1 \
       -artifact_prefix="$corpus/" "$corpus" > "$corpus/log" 2>&1; then
    grep -v '^#' "$corpus/log" | tail -40
    for f in "$corpus"/crash-* "$corpus"/leak-* "$corpus"/oom-* "$corpus"/timeout-*; do
      [ -e "$f" ] && { echo "input that failed ($f):"; od -c "$f" | head -20; }
    done
    exit 1
  fi
  tail -3 "$corpus/log"
  rm -rf "$corpus"
}
echo "== fuzzing the firmware file reader (20 s) and the camera side of open and streaming (60 s)"
TARGET="hex_fuzz camera_fuzz" build fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVOCAM_FUZZ=ON -DVOCAM_TESTS=OFF
fuzz hex_fuzz tests/fuzz/corpus 20
fuzz camera_fuzz tests/fuzz/camera_corpus 60
echo "total: $passed passed, 0 failed"
