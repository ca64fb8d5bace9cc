#!/usr/bin/env bash
# The whole test suite: a warnings-as-errors debug build with every test.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"
