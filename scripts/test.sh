#!/usr/bin/env bash
# Builds and runs the tests of one configuration or of all of them:
#   format  the sources against .clang-format
#   gcc     gcc, with CMake's default generator, benchmarks built (not run)
#   clang   clang, optimised: built with its warnings as errors (thread-safety
#           analysis included); its tests run once, in the asan stage,
#           which clang builds as well
#   asan    clang with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    clang with ThreadSanitizer, the threaded suites
#   fuzz    libFuzzer on the firmware file reader (20 s) and on the camera
#           side of open and streaming (60 s)
#   deb     the Debian packages built in a clean clone, lintian, their
#           contents and the unpacked programs (scripts/deb.sh; about 15
#           minutes, so only when asked for)
# Usage: scripts/test.sh [--config NAME]...   (default: all but deb, in that order)
# Every configuration's tests run through CTest; the last line counts them.
# Parallelism: CMAKE_BUILD_PARALLEL_LEVEL and CTEST_PARALLEL_LEVEL when set,
# else every core.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,18s/^# \{0,1\}//p' "$0"; }
all=(format gcc clang asan tsan fuzz)
known=("${all[@]}" deb)
configs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --config) [ $# -ge 2 ] || { usage >&2; exit 2; }; configs+=("$2"); shift 2 ;;
    --config=*) configs+=("${1#--config=}"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
[ ${#configs[@]} -gt 0 ] || configs=("${all[@]}")
for c in "${configs[@]}"; do
  [[ " ${known[*]} " == *" $c "* ]] || { echo "unknown configuration: $c (one of: ${known[*]})" >&2; exit 2; }
done

bash scripts/deps.sh --test
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$CMAKE_BUILD_PARALLEL_LEVEL}"

# The suites the thread sanitizer runs (executables of tests/).
tsan_tests=(stream_test stream_stress_test format_test convert_bands_test capture_controller_test
            capture_frame_queue_test vocamsrc_test)

configure() {  # name, then extra cmake arguments (a generator of its own included)
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -DVOCAM_BENCH=OFF -DVOCAM_WERROR=ON "$@" > /dev/null
}
# A build folder made by another generator cannot be configured again.
generator_is() {  # name, generator
  local cache="build/$1/CMakeCache.txt"
  [ ! -f "$cache" ] || grep -qx "CMAKE_GENERATOR:INTERNAL=$2" "$cache" || rm -rf "build/$1"
}
passed=0
run() {  # name, then extra ctest arguments
  local log
  log=$(mktemp)
  ctest --test-dir "build/$1" --output-on-failure "${@:2}" | tee "$log"
  passed=$((passed + $(sed -n 's/.* 0 tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -1)))
  rm -f "$log"
}

for config in "${configs[@]}"; do
  case "$config" in
    format)
      echo "== clang-format"
      git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
      ;;
    gcc)
      echo "== gcc (default generator)"
      generator_is gcc "Unix Makefiles"
      configure gcc -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DVOCAM_BENCH=ON
      cmake --build build/gcc
      run gcc
      ;;
    clang)
      echo "== clang"
      generator_is clang Ninja
      configure clang -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
      cmake --build build/clang
      ;;
    asan)
      echo "== clang, address and undefined-behaviour sanitizers"
      generator_is asan Ninja
      configure asan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVOCAM_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=Debug
      cmake --build build/asan
      # Qt's and fontconfig's process-lifetime caches are not leaks of ours.
      ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/capture/lsan.supp" run asan
      ;;
    tsan)
      echo "== clang, thread sanitizer: ${tsan_tests[*]}"
      generator_is tsan Ninja
      configure tsan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVOCAM_TSAN=ON \
        -DCMAKE_BUILD_TYPE=Debug "-DVOCAM_TEST_ONLY=$(IFS=';'; echo "${tsan_tests[*]}")"
      cmake --build build/tsan
      QT_QPA_PLATFORM=offscreen \
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/capture/tsan.supp" \
        run tsan
      ;;
    fuzz)
      echo "== fuzzing the firmware file reader (20 s) and the camera side of open and streaming (60 s)"
      generator_is fuzz Ninja
      configure fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVOCAM_FUZZ=ON \
        -DVOCAM_TESTS=OFF
      cmake --build build/fuzz --target hex_fuzz camera_fuzz
      run fuzz
      ;;
    deb)
      echo "== Debian packages: built in a clean clone, lintian, contents, the unpacked programs"
      bash scripts/deb.sh
      ;;
  esac
done
echo "total: $passed passed, 0 failed"
