#!/usr/bin/env bash
# Builds small applications outside the source tree against QelSMS, in each
# way an application can take the library in, and has each one send a message
# to a sandbox:
#
#   find_package(QelSMS)  on a static and a shared `cmake --install`, and on
#                         the static libqelsms-static-dev package
#   pkg-config            a plain g++ command, on the static package and on the
#                         shared pair libqelsms1 + libqelsms-dev
#   add_subdirectory      the source tree built inside the application (static)
#   FetchContent          a source archive fetched from a file:// URL (shared)
#
#   scripts/consumer-tests.sh SANDBOX [WORK-DIR]
#
# The libraries are built by scripts/package-deb.sh, static and shared, which
# also makes their Debian packages and fails on a lintian error; the packages
# are installed with dpkg into empty scratch roots. SANDBOX is a built qelsms-sandbox. WORK-DIR (default
# build/consumer) keeps the builds, so a second run is incremental. Each step's output goes to
# WORK-DIR/logs/STEP.log and is shown when the step fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 SANDBOX [WORK-DIR]" >&2
  exit 2
fi
sandbox=$(realpath "$1")
work=$(realpath -m "${2:-$root/build/consumer}")
consumers=$root/tests/consumer
jobs=$(nproc)
mkdir -p "$work/logs"

# shellcheck source=scripts/with-sandbox.sh
source "$root/scripts/with-sandbox.sh"
trap sandbox_stop EXIT

step() {
  local name=$1
  shift
  local start=$SECONDS
  if ! "$@" >"$work/logs/$name.log" 2>&1; then
    echo "consumer-tests: $name FAILED; last lines of $work/logs/$name.log:" >&2
    tail -n 40 "$work/logs/$name.log" >&2
    exit 1
  fi
  printf 'consumer-tests: %-28s ok (%d s)\n' "$name" $((SECONDS - start))
}

# Consumers build without optimisation: they test the build plumbing, and
# their one file is quickest to compile that way.
consumer_options=(-G Ninja -DCMAKE_BUILD_TYPE=)

# build_library DIR [--shared]: the build, packages and lintian check of
# scripts/package-deb.sh (programs and sandbox included).
build_library() {
  local dir=$1
  shift
  "$root/scripts/package-deb.sh" "$@" "$dir"
}

install_library() {
  rm -rf "$2"
  cmake --install "$1" --prefix "$2"
}

# package_library BUILD-DIR ROOT: installs the Debian packages of a build with
# dpkg into an empty scratch root.
package_library() {
  local build=$1 scratch=$2 deb
  rm -rf "$scratch"
  local debs=("$build"/packages/*.deb)
  for deb in "${debs[@]}"; do
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb"
  done
  # dpkg proper, on an empty package database: the files go where an install
  # on a real system would put them, under the scratch root.
  mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates"
  touch "$scratch/var/lib/dpkg/status" "$scratch/var/lib/dpkg/available"
  dpkg --root="$scratch" --force-not-root --force-depends --force-script-chrootless --install "${debs[@]}"
  # The dependencies must be satisfiable from this system's Debian archive.
  apt-get install --simulate --no-install-recommends "${debs[@]}"
}

# cmake_consumer NAME PROJECT-DIR CMAKE-ARGS...
cmake_consumer() {
  local dir=$work/$1 project=$2
  shift 2
  # -U: a second run must look for the package afresh.
  cmake -S "$project" -B "$dir" -U QelSMS_DIR "${consumer_options[@]}" "$@"
  cmake --build "$dir" -j "$jobs" --verbose
}

# The imported package must be the one under PREFIX, not one installed on the
# system.
expect_package_from() {
  grep -q "^QelSMS_DIR:PATH=$2/" "$work/$1/CMakeCache.txt" || {
    grep "^QelSMS_DIR" "$work/$1/CMakeCache.txt"
    echo "QelSMS was not found under $2"
    return 1
  }
}

# pkgconfig_consumer NAME PKGCONFIG-DIR ROOT: a plain compiler command, the
# way a Makefile would build, against a package unpacked under ROOT.
pkgconfig_consumer() {
  local dir=$work/$1 flags
  mkdir -p "$dir"
  # As installed, the file names /usr itself: pkg-config must drop the system
  # include directory (-I/usr/include breaks GCC's #include_next).
  flags=$(PKG_CONFIG_PATH=$2 pkg-config --cflags qelsms)
  echo "pkg-config --cflags qelsms, as installed: '$flags'"
  if grep -Eq -e '/\.\./' -e '-I/usr/include( |$)' <<<"$flags"; then
    echo "the include path is not the canonical one pkg-config leaves out"
    return 1
  fi
  local define=(--define-variable=prefix="$3/usr")
  flags=$(PKG_CONFIG_PATH=$2 pkg-config "${define[@]}" --cflags --libs qelsms)
  local rpath
  rpath=$(PKG_CONFIG_PATH=$2 pkg-config "${define[@]}" --variable=libdir qelsms)
  echo "pkg-config --cflags --libs qelsms: $flags"
  # shellcheck disable=SC2086 # the flags are meant to split
  g++ -std=c++20 -Wall -Wextra -Wpedantic -Werror "$consumers/send_one.cpp" $flags -Wl,-rpath,"$rpath" \
    -o "$dir/send_one"
}

# The pkg-config flags must leave an application's own standard alone: a
# C++23 build stays C++23 (GCC 12 calls it 202100, later ones 202302).
pkgconfig_keeps_standard() {
  local dir=$work/pkg-config-c++23 flags expected
  mkdir -p "$dir"
  flags=$(PKG_CONFIG_PATH=$1 pkg-config --define-variable=prefix="$2/usr" --cflags qelsms)
  echo "pkg-config --cflags qelsms: $flags"
  if grep -q -- '-std=' <<<"$flags"; then echo "Cflags name a standard"; return 1; fi
  expected=$(g++ -std=c++23 -x c++ -dM -E /dev/null | sed -n 's/^#define __cplusplus \([0-9]*\)L$/\1/p')
  printf '#include <qelsms/qelsms.hpp>\n#include <cstdio>\nint main() { std::printf("%%ld\\n", __cplusplus); }\n' \
    >"$dir/standard.cpp"
  # shellcheck disable=SC2086 # the flags are meant to split
  g++ -std=c++23 "$dir/standard.cpp" $flags -o "$dir/standard"
  local reported
  reported=$("$dir/standard")
  echo "__cplusplus: $reported (the compiler's C++23: $expected)"
  [[ $reported == "$expected" && $reported -gt 202002 ]] || return 1
  # An older standard is told plainly what it lacks.
  # shellcheck disable=SC2086
  if g++ -std=c++17 -fsyntax-only "$dir/standard.cpp" $flags 2>"$dir/c++17.err"; then
    echo "a C++17 build was accepted"
    return 1
  fi
  grep -q 'QelSMS needs C++20 or newer' "$dir/c++17.err"
}

# The tools package as an application's CI meets it: its manual pages, and
# the sandbox started by the installed launcher serving the consumer.
tools_manual() {
  local man=$work/deb-static/usr/share/man page
  for page in qelsms qelsms-sandbox qelsms-with-sandbox; do
    MANPATH=$man man -w "$page"
  done
  MANPATH=$man man qelsms | grep -q 'YYYY-MM-DD HH:MM:SS'
  MANPATH=$man man qelsms-sandbox | grep -q 'ip route add default dev lo'
  "$work/deb-static/usr/bin/qelsms" --version
  test -f "$work/deb-static/usr/share/bash-completion/completions/qelsms"
  "$work/deb-static/usr/bin/qelsms-sandbox" --version
}

tools_launcher() {
  local root=$work/deb-static/usr/bin
  # No SANDBOX argument, and none on PATH: the launcher must find the
  # installed one beside itself.
  PATH=/usr/bin:/bin "$root/qelsms-with-sandbox" -- bash -c '
    set -e
    "$1" "$QELSMS_SANDBOX_CA" "$QELSMS_SANDBOX_PORT" "consumer tools-launcher"
    QELSMS_USER=demo QELSMS_PASSWORD=demo-password "$2" --base-url "$QELSMS_SANDBOX_URL" \
      --cacert "$QELSMS_SANDBOX_CA" balance
    curl --silent --show-error --fail --cacert "$QELSMS_SANDBOX_CA" "${QELSMS_SANDBOX_ROOT}messages" |
      grep -q "consumer tools-launcher"
  ' launcher "$work/find-package-deb/send_one" "$root/qelsms"
}

# Programs installed under a prefix find the shared library beside them
# ($ORIGIN-relative RUNPATH), with no LD_LIBRARY_PATH and no ldconfig.
prefix_programs_start() {
  local program
  for program in qelsms qelsms-sandbox; do
    readelf -d "$1/bin/$program" | grep -F 'RUNPATH' | grep -F '$ORIGIN/../lib' || {
      echo "$program has no \$ORIGIN-relative RUNPATH"
      return 1
    }
    env -u LD_LIBRARY_PATH "$1/bin/$program" --version
  done
  # The library directory may be multiarch (lib/x86_64-linux-gnu), as GNUInstallDirs picks it.
  ldd "$1/bin/qelsms" | grep -F "libqelsms.so.1 => $1/bin/../lib/"
}

# Every ELF file the packages install is built with Debian's full hardening:
# read-only relocations bound at load (RELRO with BIND_NOW) and a PIE program.
packages_hardened() {
  local file count=0
  while IFS= read -r -d '' file; do
    file -b "$file" | grep -q '^ELF' || continue
    count=$((count + 1))
    readelf -lW "$file" | grep -q GNU_RELRO || { echo "$file: no RELRO"; return 1; }
    readelf -dW "$file" | grep -Eq 'BIND_NOW|FLAGS.*\bNOW\b' || { echo "$file: not bound at load"; return 1; }
    if [[ $file == */bin/* ]]; then
      readelf -hW "$file" | grep -q 'DYN' || { echo "$file: not a PIE"; return 1; }
    fi
    echo "hardened: ${file#"$work"/}"
  done < <(find "$work/deb-static/usr/bin" "$work/deb-shared/usr/bin" "$work/deb-shared/usr/lib" -type f -print0)
  [[ $count -ge 3 ]] || { echo "only $count ELF files found"; return 1; }
}

# How each consumer links: a shared libqelsms is loaded at run time and curl
# stays its private dependency; a static one leaves no libqelsms behind.
expect_linkage() {
  local needed
  needed=$(readelf -d "$work/$1/send_one" | grep NEEDED)
  echo "$needed"
  case $2 in
    shared)
      grep -q 'libqelsms\.so\.1' <<<"$needed" || { echo "libqelsms.so.1 is not NEEDED"; return 1; }
      if grep -q libcurl <<<"$needed"; then echo "curl leaked into the application's link"; return 1; fi
      ;;
    static)
      if grep -q libqelsms <<<"$needed"; then echo "linked against a shared libqelsms"; return 1; fi
      grep -q libcurl <<<"$needed" || { echo "libcurl is not NEEDED"; return 1; }
      ;;
  esac
}

source_archive() {
  local archive=$work/qelsms-src.tar.gz
  # What a release archive holds: the tracked files and new ones that are
  # not ignored, as they are in the working tree.
  (cd "$root" && git ls-files --cached --others --exclude-standard -z |
    xargs -0 -I{} sh -c 'test -e "{}" && printf "%s\0" "{}"' |
    tar --null -T - --transform 's,^,qelsms/,' -czf "$archive")
  sha256sum "$archive" | cut -d' ' -f1 >"$archive.sha256"
}

run_consumer() {
  local name=$1
  "$work/$name/send_one" "$QELSMS_SANDBOX_CA" "$QELSMS_SANDBOX_PORT" "consumer $name"
}

# Where an install put qelsms.pc (lib/pkgconfig, or Debian's multiarch
# lib/x86_64-linux-gnu/pkgconfig under /usr).
pc_dir() {
  dirname "$(find "$1" -name qelsms.pc -print -quit)"
}

step library-static build_library "$work/lib-static"
step library-shared build_library "$work/lib-shared" --shared
step install-static install_library "$work/lib-static" "$work/static"
step install-shared install_library "$work/lib-shared" "$work/shared"
step prefix-runpath prefix_programs_start "$work/shared"
step package-deb-static package_library "$work/lib-static" "$work/deb-static"
step package-deb-shared package_library "$work/lib-shared" "$work/deb-shared"
step packages-hardened packages_hardened

step find-package-static cmake_consumer find-package-static "$consumers/find_package" \
  -DCMAKE_PREFIX_PATH="$work/static"
step find-package-static-origin expect_package_from find-package-static "$work/static"
step find-package-shared cmake_consumer find-package-shared "$consumers/find_package" \
  -DCMAKE_PREFIX_PATH="$work/shared"
step find-package-shared-origin expect_package_from find-package-shared "$work/shared"
step find-package-deb cmake_consumer find-package-deb "$consumers/find_package" \
  -DCMAKE_PREFIX_PATH="$work/deb-static/usr"
step find-package-deb-origin expect_package_from find-package-deb "$work/deb-static/usr"
step pkg-config-static pkgconfig_consumer pkg-config-static "$(pc_dir "$work/deb-static/usr")" "$work/deb-static"
step pkg-config-shared pkgconfig_consumer pkg-config-shared "$(pc_dir "$work/deb-shared/usr")" "$work/deb-shared"
step pkg-config-c++23 pkgconfig_keeps_standard "$(pc_dir "$work/deb-static/usr")" "$work/deb-static"
step tools-manual tools_manual
step add-subdirectory cmake_consumer add-subdirectory "$consumers/add_subdirectory" \
  -DQELSMS_SOURCE_DIR="$root"
step source-archive source_archive
step fetch-content cmake_consumer fetch-content "$consumers/fetch_content" -DBUILD_SHARED_LIBS=ON \
  -DQELSMS_ARCHIVE_URL="file://$work/qelsms-src.tar.gz" -DQELSMS_ARCHIVE_SHA256="$(cat "$work/qelsms-src.tar.gz.sha256")"

all=(find-package-static find-package-shared find-package-deb pkg-config-static pkg-config-shared add-subdirectory
  fetch-content)
for name in find-package-static find-package-deb pkg-config-static add-subdirectory; do
  step "linkage-$name" expect_linkage "$name" static
done
for name in find-package-shared pkg-config-shared fetch-content; do
  step "linkage-$name" expect_linkage "$name" shared
done

sandbox_start "$sandbox"
for name in "${all[@]}"; do
  step "send-$name" run_consumer "$name"
done

# Each message must have reached the sandbox, once.
check_messages() {
  curl --silent --show-error --fail --cacert "$QELSMS_SANDBOX_CA" "${QELSMS_SANDBOX_ROOT}messages" >"$work/messages.json"
  python3 - "$work/messages.json" "${all[@]}" <<'EOF'
import json, sys
listing = json.load(open(sys.argv[1]))
texts = [r["message"] for m in listing["messages"] for r in m["recipients"]]
for name in sys.argv[2:]:
    n = texts.count("consumer " + name)
    if n != 1:
        sys.exit(f"'consumer {name}' reached the sandbox {n} times")
print(f"{len(texts)} messages, one from each consumer")
EOF
}
step sandbox-messages check_messages
step tools-launcher tools_launcher
echo "consumer-tests: all ${#all[@]} consumers built and sent their message"
