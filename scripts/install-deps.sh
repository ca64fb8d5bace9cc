#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing. Runs apt-get as root, through sudo otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates openssl
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev libcli11-dev
  clang-14 libclang-rt-14-dev iproute2 util-linux
  wrk python3 python3-aiohttp doxygen curl clang-tidy-14 dpkg-dev man-db
  tinyproxy
)
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
