#!/usr/bin/env bash
# Runs clang-tidy-14 with the repository's .clang-tidy over the library's
# sources (src/, and through them the headers in include/qelsms and src/):
#   scripts/clang-tidy.sh BUILD-DIR
# BUILD-DIR needs compile_commands.json (every preset writes one). Any finding
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/clang-tidy.sh BUILD-DIR}
if [[ ! -f $build/compile_commands.json ]]; then
  echo "clang-tidy: no $build/compile_commands.json; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
  exit 1
fi
run-clang-tidy-14 -p "$build" -j "$(nproc)" -quiet "$PWD/src/.*\\.cpp\$"
