#!/usr/bin/env bash
# The whole test suite: a warnings-as-errors debug build with every test.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

# The API reference builds without a warning, clang-tidy finds nothing, and
# applications outside the tree build against the library every supported
# way (installed package, pkg-config, add_subdirectory, FetchContent; static
# and shared) and reach the sandbox.
scripts/docs.sh build/ci/docs
scripts/clang-tidy.sh build/ci
scripts/consumer-tests.sh build/ci/sandbox/qelsms-sandbox build/consumer
