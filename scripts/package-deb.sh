#!/usr/bin/env bash
# Builds the Debian packages and checks them with lintian:
#   scripts/package-deb.sh [--shared] [BUILD-DIR]      (default build/deb)
# Without --shared: libqelsms-static-dev (the static library). With --shared:
# libqelsms1 (the shared object) and libqelsms-dev. Both: qelsms-tools (the
# qelsms client) and qelsms-sandbox (the local test server), and a -dbgsym
# package of debug information for each package with programs or libraries.
# The build uses all of Debian's hardening flags (dpkg-buildflags). The packages
# land in BUILD-DIR/packages; install them with `apt install ./FILE.deb`. Any
# lintian error fails the script (lintian is skipped when not installed).
set -euo pipefail
cd "$(dirname "$0")/.."

shared=OFF
if [[ ${1:-} == --shared ]]; then
  shared=ON
  shift
fi
build=${1:-build/deb}

# All of Debian's hardening, bindnow included: the library and programs
# resolve their symbols at load, so the whole GOT is read-only (full RELRO).
export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
# CMake reads no CPPFLAGS: the preprocessor's flags (_FORTIFY_SOURCE) go with
# the compiler's.
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . --preset library -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_SHARED_LIBS="$shared" -DQELSMS_BUILD_SANDBOX=ON -DQELSMS_BUILD_TOOLS=ON \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags"
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB)

# CPack's -dbgsym packages (CMake 3.25) list their files in md5sums by the
# path they had in the build tree and carry no copyright: repack each with
# the right md5sums and, as dh_strip does, its documentation directory
# pointing to the package it belongs to (on which it depends exactly).
fix_dbgsym() {
  local ddeb=$1 tmp name
  tmp=$(mktemp -d)
  dpkg-deb -R "$ddeb" "$tmp"
  name=$(dpkg-deb -f "$ddeb" Package)
  (cd "$tmp" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
  mkdir -p "$tmp/usr/share/doc"
  ln -s "${name%-dbgsym}" "$tmp/usr/share/doc/$name"
  dpkg-deb --root-owner-group -b "$tmp" "$ddeb" >/dev/null
  rm -rf "$tmp"
}
shopt -s nullglob
for ddeb in "$build"/packages/*.ddeb; do
  fix_dbgsym "$ddeb"
done
packages=("$(realpath "$build")"/packages/*.deb "$(realpath "$build")"/packages/*.ddeb)
printf '%s\n' "${packages[@]}"

if command -v lintian >/dev/null; then
  # Errors fail; warnings are shown.
  lintian --fail-on error "${packages[@]}"
  echo "lintian: no error in ${#packages[@]} packages"
fi
