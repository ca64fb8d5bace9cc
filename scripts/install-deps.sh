#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing:
#   scripts/install-deps.sh [--demo] [PACKAGE...]
# With --demo only what the demo builds and runs with (the library, the
# sandbox, the examples); otherwise also what the tests, the benchmarks, the
# tools, the fuzzers and the checks need. Runs apt-get as root, through sudo
# otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ca-certificates openssl
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libcpp-httplib-dev
)
if [[ ${1:-} == --demo ]]; then
  shift
else
  packages+=(
    git libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
    clang-14 libclang-rt-14-dev iproute2 util-linux
    wrk python3 python3-aiohttp doxygen curl clang-tidy-14 dpkg-dev man-db tinyproxy
    libsqlite3-dev libphonenumber-dev
    file lintian abigail-tools bash-completion
  )
fi
# Extra packages a caller asks for (e.g. doxygen for the docs job).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
