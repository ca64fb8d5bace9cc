#!/usr/bin/env bash
# Builds the API reference of include/qelsms with Doxygen:
#   scripts/docs.sh [OUTPUT-DIR]        (default build/docs; HTML in OUTPUT-DIR/html)
# Fails on any Doxygen warning, such as an undocumented public declaration.
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(realpath -m "${1:-build/docs}")
version=$(sed -n 's/^project(QelSMS VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -rf "$out/html"
mkdir -p "$out"
QELSMS_VERSION=$version QELSMS_DOCS_DIR=$out doxygen docs/Doxyfile
echo "API reference: $out/html/index.html"
