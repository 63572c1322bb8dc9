#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree
# elsewhere and hides the build tree, then brings simulated cameras up from
# it with no folder named: the library must find the simulated cameras'
# images beside itself, and its default data folder must be the moved tree's
# own, holding only its README (real cameras' files are the user's to add).
#   relocate_test.sh BUILD_DIR C_COMPILER
set -euo pipefail
build=$(realpath "$1") cc=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/installed" > "$work/install.log"
mv "$work/installed" "$work/moved"
prefix=$(realpath "$work/moved")
library=$(find "$prefix" -name 'libVoCamSDK.so' | head -1)
libdir=$(dirname "$library")

fail() { echo "$*"; exit 1; }
# Nothing installed refers to the build tree (debug information aside, which
# records where the objects were compiled).
while IFS= read -r -d '' file; do
  copy=$work/scan
  if ! strip --strip-debug -o "$copy" "$file" 2> /dev/null; then copy=$file; fi
  if grep -qF "$build" "$copy"; then fail "$file names the build tree"; fi
done < <(find "$prefix" -type f -print0)
[ -d "$prefix/share/vocam/files" ] || fail "no data folder"
[ "$(ls -A "$prefix/share/vocam/files")" = README ] || fail "the data folder holds more than its README"
[ -n "$(ls -A "$prefix/share/vocam/simulated")" ] || fail "no simulated cameras' images"

cat > "$work/states.c" << 'C'
#include <stdio.h>
#include "vocamapi.h"
int main(void) {
    int r = vocam_init(NULL);
    printf("root %s\n", RESOURCE_FILE_ROOT);
    if (r != 0) return 1;
    vocam_camera_state states[8];
    uint32_t count = 8;
    r = vocam_get_camera_states(states, &count);
    for (int i = 0; i < r && i < 8; ++i) printf("%u %d\n", states[i].serial_number, states[i].state);
    return r < 0;
}
C
"$cc" -std=c99 -Wall -Wextra -Werror -I"$prefix/include" -I"$prefix/include/vocam" \
  "$work/states.c" -L"$libdir" -lVoCamSDK -Wl,-rpath,"$libdir" -o "$work/states"

# The build tree is out of sight where user namespaces allow it.
hidden() {
  if unshare --user --map-root-user --mount true 2> /dev/null; then
    unshare --user --map-root-user --mount bash -c 'mount -t tmpfs none "$0" && exec "$@"' "$build" "$@"
  else
    echo "note: user namespaces unavailable; the build tree stays visible" >&2
    "$@"
  fi
}

# Two cameras still in their boot code come up from the moved tree.
out=$(VOCAM_SIM=model_02:serial=5,model_16:serial=6 hidden "$work/states" 2> "$work/states.log") ||
  fail "bring-up failed: $out $(cat "$work/states.log")"
[ "$out" = "root $prefix/share/vocam/simulated
5 2
6 2" ] || fail "unexpected: $out"

# Without the simulated bus the default is the moved tree's data folder (the
# USB layer itself may be out of reach on a build machine).
out=$(VOCAM_SIM= hidden "$work/states" 2> /dev/null || true)
[ "$(head -1 <<< "$out")" = "root $prefix/share/vocam/files" ] || fail "unexpected: $out"

# The installed command runs from the moved tree as well.
(cd "$work" && hidden "$prefix/bin/vocam" --sim model_02 grab -o frame.png > vocam.log 2>&1) ||
  fail "vocam grab: $(cat "$work/vocam.log")"
[ -s "$work/frame.png" ] || fail "vocam grab saved no picture"
echo "installed, moved and brought up without the build tree"
