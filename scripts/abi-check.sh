#!/usr/bin/env bash
# Compares the shared library's exported ABI with the checked-in baseline
# (abi/libqelsms.so.1.xml), and checks that no internal symbol is exported:
#   scripts/abi-check.sh [LIBRARY]            check (default: builds build/abi)
#   scripts/abi-check.sh --update [LIBRARY]   write the baseline from LIBRARY
# LIBRARY is a libqelsms.so.1 built with debug information (RelWithDebInfo or
# Debug). A removed or changed function, or a public type whose layout moved,
# fails; an added symbol does not (run --update to record it). docs/abi.md
# says what may change within soname 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

update=0
if [[ ${1:-} == --update ]]; then
  update=1
  shift
fi
if [[ $# -gt 1 ]]; then
  echo "usage: $0 [--update] [LIBRARY]" >&2
  exit 2
fi
library=${1:-}
if [[ -z $library ]]; then
  # As scripts/package-deb.sh builds it, with Debian's flags.
  cmake -S . --preset library -B build/abi -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  cmake --build build/abi -j "$(nproc)" --target qelsms
  library=build/abi/src/libqelsms.so.1
fi
library=$(realpath "$library")
# The generated public header (version.hpp) lies in the build tree.
generated=$(dirname "$(dirname "$library")")/include/qelsms
baseline=abi/libqelsms.so.1.xml

internal=$(nm -D --defined-only -C "$library" | grep -c 'qelsms::detail' || true)
if [[ $internal -ne 0 ]]; then
  nm -D --defined-only -C "$library" | grep 'qelsms::detail' >&2
  echo "abi-check: $library exports $internal internal symbols" >&2
  exit 1
fi

headers=(--headers-dir include/qelsms)
[[ -d $generated ]] && headers+=(--headers-dir "$generated")
current=$(mktemp --suffix=.xml)
trap 'rm -f "$current"' EXIT
abidw "${headers[@]}" --drop-private-types --drop-undefined-syms --no-show-locs --no-corpus-path \
  --no-comp-dir-path --type-id-style hash "$library" >"$current"

if [[ $update -eq 1 ]]; then
  mkdir -p "$(dirname "$baseline")"
  cp "$current" "$baseline"
  echo "abi-check: baseline written to $baseline ($(grep -c '<elf-symbol' "$baseline") symbols)"
  exit 0
fi

status=0
abidiff --no-added-syms --suppressions abi/suppressions.ini "$baseline" "$current" || status=$?
if [[ $status -ne 0 ]]; then
  echo "abi-check: the exported ABI differs from $baseline (abidiff status $status)." >&2
  echo "An intended change within soname 1 must keep old binaries working (docs/abi.md);" >&2
  echo "record it with: scripts/abi-check.sh --update $library" >&2
  exit 1
fi
echo "abi-check: $(grep -c '<elf-symbol' "$current") exported symbols, no change from $baseline"
