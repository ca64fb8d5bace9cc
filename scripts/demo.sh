#!/usr/bin/env bash
# Runs the demo against a local sandbox:
#   scripts/demo.sh BUILD_DIR
# Starts qelsms-sandbox on a free port, runs qelsms-demo with the library's
# production host routed to it and TLS verified against the sandbox's CA,
# then stops the sandbox.
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

work=$(mktemp -d)
sandbox_pid=
cleanup() {
  if [[ -n $sandbox_pid ]]; then
    kill "$sandbox_pid" 2>/dev/null || true
    wait "$sandbox_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$sandbox" --port 0 --write-ca "$work/ca.pem" >"$work/stdout" 2>"$work/stderr" &
sandbox_pid=$!

# The first line the sandbox prints is the base URL it serves.
url=
for _ in $(seq 100); do
  if IFS= read -r line <"$work/stdout" && [[ -n $line ]]; then
    url=$line
    break
  fi
  if ! kill -0 "$sandbox_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [[ -z $url ]]; then
  echo "demo: the sandbox did not start" >&2
  cat "$work/stderr" >&2
  exit 1
fi

echo "Started qelsms-sandbox (pid $sandbox_pid) at $url"
status=0
"$demo" --sandbox "$url" --cacert "$work/ca.pem" || status=$?

kill "$sandbox_pid"
wait "$sandbox_pid" 2>/dev/null || true
sandbox_pid=
echo "Stopped the sandbox."
exit "$status"
