#!/usr/bin/env bash
# Runs one example against a fresh sandbox and checks what happened:
#
#   examples/run_example.sh SANDBOX [--http] [--expect TEXT]... -- EXAMPLE [ARGS...]
#
# The example gets "--sandbox URL --cacert FILE" after ARGS. The check passes
# when it exits 0 and every TEXT occurs, as a fixed string, in its output or
# in the sandbox's record of accepted messages (GET /sandbox/messages, JSON).
set -euo pipefail

sandbox=${1:?usage: run_example.sh SANDBOX [--http] [--expect TEXT]... -- EXAMPLE [ARGS...]}
shift
sandbox_options=()
expected=()
while [[ $# -gt 0 && $1 != "--" ]]; do
  case $1 in
    --http) sandbox_options+=(--http) ;;
    --expect) expected+=("$2"); shift ;;
    *) echo "run_example: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
shift

# shellcheck source=scripts/with-sandbox.sh
source "$(dirname "$0")/../scripts/with-sandbox.sh"
trap sandbox_stop EXIT
sandbox_start "$sandbox" "${sandbox_options[@]}"

status=0
output=$("$@" --sandbox "$QELSMS_SANDBOX_URL" --cacert "$QELSMS_SANDBOX_CA" 2>&1) || status=$?
printf '%s\n' "$output"
listing=$(curl --silent --show-error --fail --cacert "$QELSMS_SANDBOX_CA" "${QELSMS_SANDBOX_ROOT}messages")
printf 'sandbox messages: %s\n' "$listing"

if [[ $status -ne 0 ]]; then
  echo "run_example: the example exited with status $status" >&2
  exit 1
fi
for text in "${expected[@]}"; do
  if ! grep -qF -- "$text" <<<"$output$listing"; then
    echo "run_example: missing: $text" >&2
    exit 1
  fi
done
