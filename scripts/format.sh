#!/usr/bin/env bash
# Formats every C and C++ source of the repository with .clang-format (what
# `scripts/test.sh --config format` checks).
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format -i
