#!/usr/bin/env bash
# Builds the Debian packages of the library, and qelsms-tools (qelsms,
# qelsms-sandbox, qelsms-with-sandbox and their manual pages):
#   scripts/package-deb.sh [--shared] [BUILD-DIR]      (default build/deb)
# Without --shared: libqelsms-dev with the static library. With --shared:
# libqelsms1 (the shared object) and libqelsms-dev. The packages land in
# BUILD-DIR/packages; install them with `apt install ./FILE.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."

shared=OFF
if [[ ${1:-} == --shared ]]; then
  shared=ON
  shift
fi
build=${1:-build/deb}

cmake -S . --preset library -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS="$shared" \
  -DQELSMS_BUILD_SANDBOX=ON -DQELSMS_BUILD_TOOLS=ON
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB)
ls -1 "$(realpath "$build")"/packages/*.deb
