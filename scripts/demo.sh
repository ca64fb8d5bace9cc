#!/usr/bin/env bash
# Runs the demo against a local sandbox:
#   scripts/demo.sh BUILD_DIR
# Starts qelsms-sandbox on a free port (scripts/with-sandbox.sh), runs
# qelsms-demo with the library's production host routed to it and TLS
# verified against the sandbox's CA, then stops the sandbox.
set -euo pipefail

build=${1:?usage: scripts/demo.sh BUILD_DIR}
sandbox="$build/sandbox/qelsms-sandbox"
demo="$build/examples/qelsms-demo"
for program in "$sandbox" "$demo"; do
  if [[ ! -x $program ]]; then
    echo "demo: $program is missing; build $build first" >&2
    exit 1
  fi
done

# shellcheck source=scripts/with-sandbox.sh
source "$(dirname "$0")/with-sandbox.sh"
trap sandbox_stop EXIT
sandbox_start "$sandbox"

echo "Started qelsms-sandbox (pid $SANDBOX_PID) at $QELSMS_SANDBOX_URL"
status=0
"$demo" --sandbox "$QELSMS_SANDBOX_URL" --cacert "$QELSMS_SANDBOX_CA" || status=$?

sandbox_stop
echo "Stopped the sandbox."
exit "$status"
